// Every write among the SQL texts (db/statements.h, read as source) has a form the write guard can
// take, and the guard gives it the form that changes no row outside a transaction: a new write
// in another form would run on a Galera node unguarded.
#include "db/write_guard.h"

#include <fmt/args.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Text {
  std::string name;
  std::string sql;  // with its {} placeholders filled in
};

// The C++ string literals from `at` on, adjacent ones joined, up to the declaration's semicolon.
std::string literals(const std::string& source, size_t at) {
  std::string joined;
  while (at < source.size() && source[at] != ';') {
    if (source.compare(at, 2, "//") == 0) {
      at = source.find('\n', at);
      continue;
    }
    if (source[at++] != '"') continue;
    for (; at < source.size() && source[at] != '"'; ++at) {
      if (source[at] == '\\') {
        const char escaped = source[++at];
        EXPECT_TRUE(escaped == '"' || escaped == '\\') << "escape \\" << escaped;
        joined += escaped;
      } else {
        joined += source[at];
      }
    }
    ++at;  // the closing quote
  }
  return joined;
}

// Each `constexpr char kName[] = "..." "...";` of statements.h, placeholders filled with numbers.
std::vector<Text> statement_texts() {
  std::ifstream file(KORVANE_STATEMENTS_PATH);
  std::stringstream source;
  source << file.rdbuf();
  const std::string text = source.str();
  std::vector<Text> texts;
  const std::string declaration = "constexpr char ";
  for (size_t at = text.find(declaration); at != std::string::npos;
       at = text.find(declaration, at + 1)) {
    const size_t name = at + declaration.size();
    const size_t brackets = text.find("[] =", name);
    if (brackets == std::string::npos) break;
    const std::string sql = literals(text, brackets + 4);
    fmt::dynamic_format_arg_store<fmt::format_context> values;
    for (size_t at = sql.find("{}"), n = 0; at != std::string::npos; at = sql.find("{}", at + 2)) {
      values.push_back(41 + n++);
    }
    texts.push_back({text.substr(name, brackets - name), fmt::vformat(sql, values)});
  }
  return texts;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Where `word` (upper case) first stands outside quotes and parentheses in `sql`, in either case,
// from `from` on; npos when nowhere.
size_t top_level(const std::string& sql, const std::string& word, size_t from = 0) {
  int depth = 0;
  char quote = 0;
  for (size_t at = from; at < sql.size(); ++at) {
    const char c = sql[at];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    if (depth != 0) continue;
    const auto word_char = [&](size_t i) {
      return i < sql.size() && (std::isalnum(static_cast<unsigned char>(sql[i])) || sql[i] == '_');
    };
    const bool symbol = !std::isalpha(static_cast<unsigned char>(word[0]));
    if (sql.size() - at < word.size() || (!symbol && at > 0 && word_char(at - 1)) ||
        (!symbol && word_char(at + word.size()))) {
      continue;
    }
    bool same = true;
    for (size_t i = 0; i < word.size() && same; ++i) {
      same = std::toupper(static_cast<unsigned char>(sql[at + i])) == word[i];
    }
    if (same) return at;
  }
  return std::string::npos;
}

// UPDATE/DELETE ... WHERE c: the guard's condition joins c, so c may hold nothing that binds more
// loosely than AND, or ends the condition, outside parentheses.
void expect_guarded_condition(const std::string& sql) {
  const bool semicolon = sql.back() == ';';
  const std::string body = semicolon ? sql.substr(0, sql.size() - 1) : sql;
  const size_t where = top_level(body, "WHERE");
  ASSERT_NE(where, std::string::npos) << "no WHERE: " << sql;
  for (const char* word : {"OR", "XOR", "||", "ORDER", "LIMIT"}) {
    EXPECT_TRUE(top_level(body, word, where) == std::string::npos) << word << " in: " << sql;
  }
  EXPECT_EQ(only_in_transaction(sql), body + " AND @@in_transaction" + (semicolon ? ";" : ""));
}

// INSERT INTO t VALUES(v) of one row, nothing after but a semicolon.
void expect_guarded_insert(const std::string& sql) {
  const std::string into = "INSERT INTO ";
  const size_t table_end = sql.find(' ', into.size());
  ASSERT_TRUE(starts_with(sql, into) && table_end != std::string::npos &&
              sql.compare(table_end, 8, " VALUES(") == 0)
      << "not INSERT INTO t VALUES(...): " << sql;
  const std::string table = sql.substr(into.size(), table_end - into.size());
  const size_t values = table_end + 7;             // its opening parenthesis
  const size_t end = top_level(sql, ")", values);  // and the one that closes it
  ASSERT_NE(end, std::string::npos) << sql;
  EXPECT_TRUE(sql.substr(end + 1).empty() || sql.substr(end + 1) == ";") << "not one row: " << sql;
  EXPECT_EQ(only_in_transaction(sql), "INSERT INTO " + table + " SELECT " +
                                          sql.substr(values + 1, end - values - 1) +
                                          " FROM DUAL WHERE @@in_transaction");
}

TEST(WriteGuard, EveryWriteOfTheStatementsTakesTheGuard) {
  const std::vector<Text> texts = statement_texts();
  // The guard's own pieces, and the locking read's, are not statements.
  const std::set<std::string> pieces = {"kOnlyInTransaction", "kInsertOnlyInTransaction",
                                        "kLockingRead"};
  std::set<std::string> writes;
  for (const Text& text : texts) {
    SCOPED_TRACE(text.name);
    if (pieces.count(text.name) != 0) continue;
    const bool update = starts_with(text.sql, "UPDATE ") || starts_with(text.sql, "DELETE ");
    const bool insert = starts_with(text.sql, "INSERT ");
    EXPECT_EQ(is_write(text.sql), update || insert);
    if (update) expect_guarded_condition(text.sql);
    if (insert) expect_guarded_insert(text.sql);
    if (update || insert) {
      writes.insert(text.name);
      continue;
    }
    // Every other text reads, or controls the transaction or the session, and passes unchanged.
    EXPECT_TRUE(starts_with(text.sql, "SELECT ") || starts_with(text.sql, "SET ") ||
                text.sql == "START TRANSACTION" || text.sql == "COMMIT" || text.sql == "ROLLBACK")
        << text.sql;
    EXPECT_EQ(only_in_transaction(text.sql), text.sql);
  }
  // The reading of the source found the writes, among them one from each path they are sent by.
  EXPECT_GE(texts.size(), 30u);
  for (const char* name : {"kInsertAccount", "kInsertAddress", "kUpdateEachAddress", "kAddStock"}) {
    EXPECT_EQ(writes.count(name), 1u) << name;
  }
}

}  // namespace
