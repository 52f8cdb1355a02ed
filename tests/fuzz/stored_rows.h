// StoredRows holds the rows of a result in memory, served in the shape the client library serves
// its own stored results: each row an array of NUL-terminated column texts (null for SQL NULL),
// with the byte length of each column beside it. The database stand-in, which answers statements
// without a server, hands its results out this way inside a ResultSet.
#ifndef KORVANE_TESTS_FUZZ_STORED_ROWS_H_
#define KORVANE_TESTS_FUZZ_STORED_ROWS_H_

#include <mysql.h>

#include <optional>
#include <string>
#include <vector>

#include "db/result_set.h"

class StoredRows final : public RowSource {
 public:
  // One row: one text per column, nothing for SQL NULL.
  using Row = std::vector<std::optional<std::string>>;

  // REQUIRES: every row has `num_fields` columns.
  StoredRows(unsigned int num_fields, std::vector<Row> rows);
  StoredRows(const StoredRows&) = delete;
  StoredRows& operator=(const StoredRows&) = delete;

  unsigned int num_fields() const override { return num_fields_; }

  // The next row, or null when no row is left.
  MYSQL_ROW fetch_row() override;

  // Byte lengths of the columns of the row fetched last. REQUIRES: a row has been fetched.
  unsigned long* fetch_lengths() override { return lengths_[next_ - 1].data(); }

 private:
  unsigned int num_fields_;
  std::vector<Row> rows_;                    // never changed after construction: texts stay put
  std::vector<std::vector<char*>> columns_;  // per row, a pointer into rows_ or null
  std::vector<std::vector<unsigned long>> lengths_;
  size_t next_ = 0;
};

#endif  // KORVANE_TESTS_FUZZ_STORED_ROWS_H_
