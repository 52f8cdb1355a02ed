#include "db/write_guard.h"

#include <fmt/format.h>

#include "db/statements.h"

namespace {

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

bool is_write(const std::string& statement) {
  return starts_with(statement, "UPDATE ") || starts_with(statement, "DELETE ") ||
         starts_with(statement, "INSERT ");
}

std::string only_in_transaction(const std::string& statement) {
  if (starts_with(statement, "UPDATE ") || starts_with(statement, "DELETE ")) {
    // A text may end with its own semicolon: the condition goes before it.
    const bool semicolon = !statement.empty() && statement.back() == ';';
    const std::string body = semicolon ? statement.substr(0, statement.size() - 1) : statement;
    return body + sql::kOnlyInTransaction + (semicolon ? ";" : "");
  }
  const size_t values = statement.find(" VALUES(");
  const size_t end = statement.rfind(')');
  if (!starts_with(statement, "INSERT INTO ") || values == std::string::npos ||
      end == std::string::npos || end < values) {
    return statement;
  }
  const size_t first = values + 8;  // past " VALUES("
  return fmt::format(sql::kInsertOnlyInTransaction, statement.substr(0, values),
                     statement.substr(first, end - first));
}
