// The database stand-in of the fuzz build, and the MySQLClient that talks to it instead of a
// server. See fuzz_support.h for what it answers and what it checks.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/end_process.h"
#include "db/connection_params.h"
#include "db/error_classes.h"
#include "db/mysql_client.h"
#include "db/statements.h"
#include "fuzz_support.h"
#include "stored_rows.h"

namespace {

using Row = StoredRows::Row;

// Error numbers a MariaDB server gives.
constexpr unsigned int kDuplicateKey = 1062;
constexpr unsigned int kParseError = 1064;
using db_errors::kDeadlock;
using db_errors::kLockWaitTimeout;
constexpr unsigned int kServerLost = 2013;
constexpr unsigned int kNodeNotReady = 1047;  // a Galera node outside the primary component
constexpr unsigned int kInterrupted = 1317;

// One statement text of the server and its plausible answer.
struct Shape {
  const char* text;
  // Moves money, coins or accounts: must run inside a transaction.
  bool guarded;
  // A statement without a result set (INSERT, UPDATE) has no fields.
  unsigned int num_fields;
  std::vector<Row> rows;
  // SELECT *: how many columns come back depends on the table, not on the statement.
  bool whole_row;
  // The text cut at each {}, for matching.
  std::vector<std::string> pieces;
};

Shape write(const char* text, bool guarded) { return {text, guarded, 0, {}, false, {}}; }
Shape read(const char* text, unsigned int fields, std::vector<Row> rows, bool whole_row = false) {
  return {text, false, fields, std::move(rows), whole_row, {}};
}

// A statement without the semicolon that ends it, if it has one: a batch comes split at them.
std::string_view without_end(std::string_view statement) {
  if (!statement.empty() && statement.back() == ';') statement.remove_suffix(1);
  return statement;
}

// Every statement text of the server. Where one text also matches another with other values in
// its placeholders, the narrower one comes first.
std::vector<Shape> make_shapes() {
  std::vector<Shape> shapes = {
      write(sql::kInsertAccount, true),
      read(sql::kSelectAccountIdByName, 1, {{"7"}}),
      write(sql::kInsertVault, true),
      read(sql::kSelectAccountByLogin, 3, {{"7", "fuzz", std::string(64, 'a')}}, true),
      read(sql::kSelectKrwBalance, 1, {{"100000000"}}),
      write(sql::kFenceVault, true),
      write(sql::kSubtractKrw, true),
      write(sql::kAddKrw, true),
      write(sql::kAddCoin, true),
      write(sql::kSubtractCoin, true),
      read(sql::kLockVault, 1, {{"7"}}),
      read(sql::kLockVaultBalances, 2, {{"100000000", "10"}}),
      read(sql::kReadMarketRow, 2, {{"100", "50"}}),
      read(sql::kLockStock, 1, {{"50"}}),
      write(sql::kSubtractStock, true),
      write(sql::kAddStock, true),
      read(sql::kCountSameTrade, 1, {{"0"}}),
      read(sql::kProveTrade, 1, {{"1"}}),
      read(sql::kProveAccount, 1, {{"1"}}),
      read(sql::kProveAttempt, 1, {{"1"}}),
      read(sql::kProveAddress, 1, {{"1"}}),
      write(sql::kPruneAttempts, true),
      write(sql::kInsertAttempt, true),
      write(sql::kInsertTradeAtMarket, true),
      read(sql::kAwaitAccountOrders, 1, {{"7"}}),
      read(sql::kSelectTrades, 8,
           {{"1", "7", "BTC", "100", "2", "200", "1", "1970-01-01 00:16:40"}}, true),
      read(sql::kCountAddressesForModify, 1, {{"1"}}),
      read(sql::kSelectAddressBook, 5,
           {{"3", "XRP", "rA", "1", "1"}, {"4", "BTC", "rB", "7", "2"}}),
      read(sql::kCountAddresses, 1, {{"1"}}),
      write(sql::kInsertAddress, true),
      read(sql::kLockAddressById, 1, {{"rOld"}}),
      write(sql::kUpdateAddressById, false),
      read(sql::kCountAddressesByText, 1, {{"1"}}),
      read(sql::kLockAllAddresses, 2, {{"3", "rA"}, {"4", "rB"}}),
      write(sql::kUpdateEachAddress, false),
      read(sql::kSelectMarket, 3,
           {{"SOL", "310000", "400000"}, {"BTC", "100", "50"}, {"DOG", "1", "1"}}),
      read(sql::kSelectBalances, 5, {{"100000000", "1", "0", "2", "3"}}),
  };
  for (Shape& shape : shapes) {
    std::string_view text = without_end(shape.text);
    for (size_t at; (at = text.find("{}")) != std::string_view::npos; text.remove_prefix(at + 2)) {
      shape.pieces.emplace_back(text.substr(0, at));
    }
    shape.pieces.emplace_back(text);
  }
  return shapes;
}

// True when `statement` is `shape` with some text in each placeholder.
bool matches(const Shape& shape, std::string_view statement) {
  const std::vector<std::string>& pieces = shape.pieces;
  if (statement.substr(0, pieces.front().size()) != pieces.front()) return false;
  size_t at = pieces.front().size();
  if (pieces.size() == 1) return statement.size() == at;
  const std::string& last = pieces.back();
  if (statement.size() < at + last.size() ||
      statement.substr(statement.size() - last.size()) != last) {
    return false;
  }
  const size_t end = statement.size() - last.size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    size_t found = statement.substr(0, end).find(pieces[i], at);
    if (found == std::string_view::npos) return false;
    at = found + pieces[i].size();
  }
  return at <= end;
}

// Column texts that a bent answer may carry: numbers at and beyond the limits of the columns'
// types, texts that are no numbers, date-times, and a NUL byte inside a text.
const char* const kOddValues[] = {"0",
                                  "-1",
                                  "1",
                                  "2147483647",
                                  "-2147483648",
                                  "4294967295",
                                  "9223372036854775807",
                                  "-9223372036854775808",
                                  "99999999999999999999",
                                  "",
                                  "abc",
                                  " 12",
                                  "+5",
                                  "2038-01-19 03:14:07",
                                  "0000-00-00 00:00:00",
                                  "9999-12-31 23:59:59.999999"};

std::string odd_value(unsigned int i) {
  if (i == 0) return std::string("1\0'", 3);
  return kOddValues[i % (sizeof(kOddValues) / sizeof(kOddValues[0]))];
}

struct State {
  std::vector<Shape> shapes = make_shapes();
  std::string script;
  size_t next = 0;
  bool in_transaction = false;
  bool committed = false;            // a commit succeeded during the current request
  bool lost_commit_applied = false;  // the last commit whose answer was lost was applied
  int statements = 0;
  unsigned int error = 0;

  // The next script byte, or 0 (the plausible answer) once the script is used up.
  unsigned char bend() {
    return next < script.size() ? static_cast<unsigned char>(script[next++]) : 0;
  }
};

State& state() {
  static State s;
  return s;
}

size_t count(std::string_view text, char c) { return std::count(text.begin(), text.end(), c); }

bool is_proof(const Shape& shape) {
  return shape.text == sql::kProveTrade || shape.text == sql::kProveAccount ||
         shape.text == sql::kProveAddress || shape.text == sql::kProveAttempt;
}

// Fails unless `statement` is one of the server's texts with no client text out of its quotes.
// A proof's check may come as a locking read.
const Shape& shape_of(const std::string& whole) {
  std::string statement(without_end(whole));
  const std::string locking = sql::kLockingRead;
  if (statement.size() > locking.size() &&
      statement.compare(statement.size() - locking.size(), locking.size(), locking) == 0) {
    const std::string read = statement.substr(0, statement.size() - locking.size());
    for (const Shape& shape : state().shapes) {
      if (is_proof(shape) && matches(shape, read)) return shape;
    }
  }
  for (const Shape& shape : state().shapes) {
    if (!matches(shape, statement)) continue;
    std::string_view text = without_end(shape.text);
    if (count(statement, '\'') != count(text, '\'') || count(statement, '\\') != 0 ||
        count(statement, ';') != count(text, ';')) {
      fuzz_failure("client text broke out of its quotes: " + statement);
    }
    return shape;
  }
  fuzz_failure("a statement that is none of the server's texts: " + statement);
}

// Answers a statement as the stand-in: sets the error number and returns the result set.
ResultSet answer(const std::string& statement) {
  State& s = state();
  ++s.statements;
  const Shape& shape = shape_of(statement);
  if (is_proof(shape)) {
    // Asked on a new connection after a commit lost its answer: it tells the truth.
    s.error = 0;
    std::vector<Row> rows = {{std::string(s.lost_commit_applied ? "1" : "0")}};
    return ResultSet(std::make_unique<StoredRows>(1, std::move(rows)));
  }
  if (shape.guarded && !s.in_transaction) {
    fuzz_failure("money moved outside a transaction: " + statement);
  }
  s.error = 0;
  // The library sends the text up to its first NUL byte, which client text can only hold
  // inside quotes: the server sees an unterminated string.
  if (statement.find('\0') != std::string::npos) {
    s.error = kParseError;
    return ResultSet();
  }
  const unsigned char bend = s.bend();
  switch (bend & 0x0f) {
    case 1:
      s.error = kServerLost;
      s.in_transaction = false;  // the database undoes a dropped connection's transaction
      s.lost_commit_applied = false;
      return ResultSet();
    case 2:
      s.error = kDuplicateKey;
      return ResultSet();
    case 3:
      s.error = kLockWaitTimeout;
      return ResultSet();
    case 4:
      s.error = kDeadlock;
      s.in_transaction = false;  // InnoDB rolls the whole transaction back
      return ResultSet();
    case 11:
      s.error = kNodeNotReady;  // the transaction stays open until the connection closes
      return ResultSet();
    case 12:
      s.error = kInterrupted;  // the statement is undone, the transaction stays open
      return ResultSet();
    default:
      break;
  }
  if (shape.num_fields == 0) return ResultSet();  // a write that succeeded

  unsigned int fields = shape.num_fields;
  std::vector<Row> rows = shape.rows;
  switch (bend & 0x0f) {
    case 5:
      rows.clear();
      break;
    case 6:
      for (Row& row : rows) std::fill(row.begin(), row.end(), std::nullopt);
      break;
    case 7:
      for (Row& row : rows) std::fill(row.begin(), row.end(), odd_value(bend >> 4));
      break;
    case 8:
      for (Row& row : rows) row[0] = odd_value(bend >> 4);
      break;
    case 9:
      for (size_t n = rows.size(), i = 0; i < 2 * n; ++i) rows.push_back(rows[i % n]);
      break;
    case 10:
      if (shape.whole_row) {
        fields = std::max(1u, static_cast<unsigned int>(bend >> 4));
        for (Row& row : rows) row.resize(fields, std::string("1"));
      }
      break;
    default:
      break;
  }
  return ResultSet(std::make_unique<StoredRows>(fields, std::move(rows)));
}

// Transaction control: the script may make it fail as a lost connection does.
bool control_succeeds() {
  ++state().statements;
  const unsigned char bend = state().bend() & 0x0f;
  state().error = bend >= 1 && bend <= 4 ? kServerLost : 0;
  if (state().error != 0) state().in_transaction = false;
  return state().error == 0;
}

// A commit. The script may lose its answer, with the commit applied or not (bit 4 of the byte):
// the proofs asked afterwards tell the truth about it.
void commit_stand_in() {
  State& s = state();
  ++s.statements;
  const unsigned char bend = s.bend();
  const bool open = s.in_transaction;
  s.in_transaction = false;
  s.error = (bend & 0x0f) >= 1 && (bend & 0x0f) <= 4 ? kServerLost : 0;
  const bool applied = s.error == 0 || (bend & 0x10) != 0;
  if (s.error != 0) s.lost_commit_applied = applied;
  if (applied) s.committed = s.committed || open;
}

}  // namespace

namespace stand_in_db {

void reset(std::string_view script) {
  State& s = state();
  s.script.assign(script);
  s.next = 0;
  s.in_transaction = false;
  s.committed = false;
  s.lost_commit_applied = false;
  s.statements = 0;
  s.error = 0;
}

int statements_run() { return state().statements; }

void finish_request(const std::string& output, bool ended) {
  State& s = state();
  if (s.in_transaction && !ended) fuzz_failure("a request left its transaction open");
  if (output.find("\"flag\"") != std::string::npos && !s.committed) {
    fuzz_failure("a trade was answered without a commit");
  }
  s.in_transaction = false;
  s.committed = false;
  s.statements = 0;
}

}  // namespace stand_in_db

bool MySQLClient::connect_once() {
  connected_ = true;
  state().in_transaction = false;  // a new connection has no transaction open
  return true;
}

void MySQLClient::disconnect() {
  connected_ = false;
  state().in_transaction = false;  // the database undoes a dropped connection's transaction
}

ResultSet MySQLClient::send(const std::string& statement) {
  State& s = state();
  if (statement == sql::kBeginTransaction) {
    // MySQL commits an open transaction when another begins, which would split an order in two.
    if (s.in_transaction) fuzz_failure("a transaction began inside another");
    s.in_transaction = control_succeeds();
  } else if (statement == sql::kCommit) {
    commit_stand_in();
  } else if (statement == sql::kRollback) {
    ++s.statements;
    s.in_transaction = false;
    s.error = 0;
  } else {
    ResultSet result = answer(statement);
    wire_error_ = s.error;
    return result;
  }
  wire_error_ = s.error;
  return ResultSet();
}

std::vector<ResultSet> MySQLClient::send_batch(const std::string& batch, size_t count) {
  // The library sends the text up to its first NUL byte, which client text can only hold inside
  // quotes: the statement holding it arrives cut short, and the batch stops there. Each statement
  // of what arrives is checked as a statement of its own; client text with a semicolon would
  // split into pieces that are none of the server's texts.
  const size_t nul = batch.find('\0');
  const std::string text = batch.substr(0, nul);
  std::vector<std::string> statements;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    statements.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::vector<ResultSet> results;
  for (size_t i = 0; i < statements.size(); ++i) {
    if (nul != std::string::npos && i + 1 == statements.size()) {
      ++state().statements;
      wire_error_ = kParseError;
      return results;
    }
    ResultSet result = send(statements[i]);
    if (wire_error_ != 0) return results;
    results.push_back(std::move(result));
  }
  if (results.size() < count) wire_error_ = kParseError;
  return results;
}

uint64_t MySQLClient::wire_insert_id() { return 1; }

void MySQLClient::pause_ms(int) {}
