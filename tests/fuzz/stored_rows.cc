#include "stored_rows.h"

#include <utility>

StoredRows::StoredRows(unsigned int num_fields, std::vector<Row> rows)
    : num_fields_(num_fields), rows_(std::move(rows)) {
  for (Row& row : rows_) {
    std::vector<char*>& columns = columns_.emplace_back();
    std::vector<unsigned long>& lengths = lengths_.emplace_back();
    for (std::optional<std::string>& column : row) {
      columns.push_back(column ? column->data() : nullptr);
      lengths.push_back(column ? column->size() : 0);
    }
  }
}

MYSQL_ROW StoredRows::fetch_row() {
  if (next_ == rows_.size()) return nullptr;
  return columns_[next_++].data();
}
