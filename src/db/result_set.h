// ResultSet owns one stored result and frees it when it goes out of scope. An empty ResultSet
// stands for "no result set": the statement failed, or it was an INSERT or UPDATE, which never
// yields rows.
//
// The result is normally the client library's own; a stand-in of the database may hand out rows
// it holds in memory (a RowSource) instead. Both are read the same way.
#ifndef KORVANE_DB_RESULT_SET_H_
#define KORVANE_DB_RESULT_SET_H_

#include <mysql.h>

#include <memory>
#include <utility>

// Rows served the way the client library serves a stored result, by a stand-in of the database
// (the fuzz build's StoredRows). The server itself never makes one.
class RowSource {
 public:
  virtual ~RowSource() = default;
  virtual unsigned int num_fields() const = 0;
  virtual MYSQL_ROW fetch_row() = 0;
  virtual unsigned long* fetch_lengths() = 0;
};

class ResultSet {
 public:
  ResultSet() = default;
  explicit ResultSet(MYSQL_RES* res) : res_(res) {}
  explicit ResultSet(std::unique_ptr<RowSource> rows) : stored_(std::move(rows)) {}
  ~ResultSet() {
    if (res_ != nullptr) mysql_free_result(res_);
  }
  ResultSet(ResultSet&& other) noexcept
      : res_(std::exchange(other.res_, nullptr)), stored_(std::move(other.stored_)) {}
  ResultSet& operator=(ResultSet&& other) noexcept {
    std::swap(res_, other.res_);
    std::swap(stored_, other.stored_);
    return *this;
  }
  ResultSet(const ResultSet&) = delete;
  ResultSet& operator=(const ResultSet&) = delete;

  explicit operator bool() const { return res_ != nullptr || stored_ != nullptr; }

  // REQUIRES: *this holds a result set.
  unsigned int num_fields() const {
    return stored_ ? stored_->num_fields() : mysql_num_fields(res_);
  }

  // Returns the next row (an array of column texts, null for SQL NULL), or null when no row is
  // left. REQUIRES: *this holds a result set.
  MYSQL_ROW fetch_row() { return stored_ ? stored_->fetch_row() : mysql_fetch_row(res_); }

  // Byte lengths of the columns of the row fetched last; a column text may hold NUL bytes.
  // REQUIRES: *this holds a result set and a row has been fetched.
  unsigned long* fetch_lengths() {
    return stored_ ? stored_->fetch_lengths() : mysql_fetch_lengths(res_);
  }

  // The first row of a result set, or null when there is no result set or no row. Call it
  // before any fetch_row().
  MYSQL_ROW first_row() { return *this ? fetch_row() : nullptr; }

 private:
  MYSQL_RES* res_ = nullptr;
  std::unique_ptr<RowSource> stored_;
};

#endif  // KORVANE_DB_RESULT_SET_H_
