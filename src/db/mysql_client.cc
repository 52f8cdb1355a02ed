// The half of MySQLClient that talks to the database server: opening and closing the connection
// and sending one statement. What the answers mean for a request lives in
// mysql_client_requests.cc, so that an in-process stand-in can replace this file alone.
#include "db/mysql_client.h"

#include <time.h>

#include "db/connection_params.h"
#include "db/statements.h"
#include "db/write_guard.h"

namespace {

// A batch that ended without an error before all its statements ran: only a NUL byte in a text
// does that (the batch ends there). Counted as the parse error the cut statement would give.
constexpr unsigned int kBatchCutShort = 1064;

// A transaction that a Galera node undid without saying so (db/exactly_once.h): counted as the
// deadlock error the node gives when it does say so, and run again like one.
constexpr unsigned int kTransactionUndone = 1213;

// Every statement that reads starts so (statements.h); none that writes does.
bool is_read(const std::string& statement) { return statement.compare(0, 6, "SELECT") == 0; }

}  // namespace

bool MySQLClient::connect_once() {
  disconnect();
  mysql_init(&handle_);
  // A network that is cut silently is noticed after these, instead of never; reads wait longer
  // than the longest lock wait the session settings allow, so a slow answer is not taken for a
  // lost one.
  unsigned int connect_timeout = db_params::kConnectTimeoutSeconds;
  unsigned int read_timeout = db_params::kReadTimeoutSeconds;
  unsigned int write_timeout = db_params::kWriteTimeoutSeconds;
  mysql_options(&handle_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_options(&handle_, MYSQL_OPT_READ_TIMEOUT, &read_timeout);
  mysql_options(&handle_, MYSQL_OPT_WRITE_TIMEOUT, &write_timeout);
  mysql_options(&handle_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  // Sent as part of every connect, so a new connection after a lost one has the same settings.
  mysql_options(&handle_, MYSQL_INIT_COMMAND, db_params::session_settings().c_str());
  // Batches: an order sends its reads in one round trip and its writes with the commit in a
  // second. Client text cannot end a statement early: detect_sqli keeps semicolons and quotes
  // out of every text that reaches one.
  connected_ = mysql_real_connect(&handle_, host_, user_, password_, database_, db_params::kPort,
                                  nullptr, CLIENT_MULTI_STATEMENTS) != nullptr;
  if (!connected_) {
    mysql_close(&handle_);
    return false;
  }
  // A Galera node gets its statements one at a time, watched (db/exactly_once.h). A connection
  // that cannot say which kind of database it reached is not used.
  one_at_a_time_ = false;
  in_transaction_ = false;
  if (mysql_query(&handle_, sql::kIsClusterNode) != 0) {
    mysql_close(&handle_);
    connected_ = false;
    return false;
  }
  {
    ResultSet node(mysql_store_result(&handle_));
    MYSQL_ROW row = node.first_row();
    one_at_a_time_ = row != nullptr && row[0] != nullptr && row[0][0] == '1';
  }
  return true;
}

void MySQLClient::disconnect() {
  if (connected_) mysql_close(&handle_);
  connected_ = false;
}

ResultSet MySQLClient::send(const std::string& statement) {
  // Every statement of every request passes here, so on a Galera node every write inside a
  // transaction goes in the guarded form (db/write_guard.h), whichever path sent it.
  const std::string text =
      one_at_a_time_ && in_transaction_ ? only_in_transaction(statement) : statement;
  // The library takes a NUL-terminated text: a NUL byte inside client text ends the statement
  // there, inside its quotes, so such a statement fails instead of running cut short.
  mysql_query(&handle_, text.c_str());
  wire_error_ = mysql_errno(&handle_);
  ResultSet result(mysql_store_result(&handle_));
  if (one_at_a_time_) watch_transaction(statement);
  return result;
}

std::vector<ResultSet> MySQLClient::send_batch(const std::string& batch, size_t count) {
  if (one_at_a_time_) return send_each(batch, count);
  std::vector<ResultSet> results;
  // As for one statement, the text ends at its first NUL byte: the statement holding it is cut
  // inside its quotes and fails, and the batch stops there.
  int status = mysql_query(&handle_, batch.c_str());
  while (status == 0) {
    results.emplace_back(mysql_store_result(&handle_));
    if (mysql_errno(&handle_) != 0) break;
    status = mysql_next_result(&handle_);  // 0: another result; -1: none left; >0: it failed
  }
  wire_error_ = mysql_errno(&handle_);
  if (wire_error_ == 0 && results.size() < count) wire_error_ = kBatchCutShort;
  // Whatever the database still has to say about a batch that stopped is read and dropped, so
  // that the connection is ready for the next statement.
  while (mysql_more_results(&handle_) && mysql_next_result(&handle_) == 0) {
    ResultSet ignored(mysql_store_result(&handle_));
  }
  return results;
}

std::vector<ResultSet> MySQLClient::send_each(const std::string& batch, size_t count) {
  // The statements hold no semicolon but the one that ends each (see exec_batch), and the text
  // ends at its first NUL byte, as a batch does.
  const std::string text = batch.substr(0, batch.find('\0'));
  std::vector<ResultSet> results;
  wire_error_ = 0;
  for (size_t start = 0; start < text.size() && wire_error_ == 0;) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string statement = text.substr(start, end - start);
    ResultSet result = send(statement);
    if (wire_error_ == 0) results.push_back(std::move(result));
    start = end + 1;
  }
  if (wire_error_ == 0 && results.size() < count) wire_error_ = kBatchCutShort;
  return results;
}

// A Galera node undoing a transaction without saying so (db/exactly_once.h) shows here: a
// transaction that closed without COMMIT or ROLLBACK, or a read answered without its result.
void MySQLClient::watch_transaction(const std::string& statement) {
  const bool open = (handle_.server_status & SERVER_STATUS_IN_TRANS) != 0;
  const bool rows = mysql_field_count(&handle_) > 0;
  if (statement == sql::kBeginTransaction) {
    in_transaction_ = wire_error_ == 0 && open;
    return;
  }
  if (statement == sql::kCommit || statement == sql::kRollback || wire_error_ != 0) {
    in_transaction_ = false;
    return;
  }
  if (!in_transaction_) return;
  if (!open || (is_read(statement) && !rows)) {
    wire_error_ = kTransactionUndone;
    in_transaction_ = false;
  }
}

uint64_t MySQLClient::wire_insert_id() { return mysql_insert_id(&handle_); }

void MySQLClient::pause_ms(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}
