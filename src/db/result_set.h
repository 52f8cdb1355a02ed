// ResultSet owns one stored result of the database client library and frees it when it goes
// out of scope. An empty ResultSet stands for "no result set": the statement failed, or it was
// an INSERT or UPDATE, which never yields rows.
#ifndef KORVANE_DB_RESULT_SET_H_
#define KORVANE_DB_RESULT_SET_H_

#include <mysql.h>

#include <utility>

class ResultSet {
 public:
  ResultSet() = default;
  explicit ResultSet(MYSQL_RES* res) : res_(res) {}
  ~ResultSet() {
    if (res_ != nullptr) mysql_free_result(res_);
  }
  ResultSet(ResultSet&& other) noexcept : res_(std::exchange(other.res_, nullptr)) {}
  ResultSet& operator=(ResultSet&& other) noexcept {
    std::swap(res_, other.res_);
    return *this;
  }
  ResultSet(const ResultSet&) = delete;
  ResultSet& operator=(const ResultSet&) = delete;

  explicit operator bool() const { return res_ != nullptr; }

  // REQUIRES: *this holds a result set.
  unsigned int num_fields() const { return mysql_num_fields(res_); }

  // Returns the next row (an array of column texts, null for SQL NULL), or null when no row is
  // left. REQUIRES: *this holds a result set.
  MYSQL_ROW fetch_row() { return mysql_fetch_row(res_); }

  // Byte lengths of the columns of the row fetched last; a column text may hold NUL bytes.
  // REQUIRES: *this holds a result set and a row has been fetched.
  unsigned long* fetch_lengths() { return mysql_fetch_lengths(res_); }

  // The first row of a result set, or null when there is no result set or no row. Call it
  // before any fetch_row().
  MYSQL_ROW first_row() { return res_ == nullptr ? nullptr : mysql_fetch_row(res_); }

 private:
  MYSQL_RES* res_ = nullptr;
};

#endif  // KORVANE_DB_RESULT_SET_H_
