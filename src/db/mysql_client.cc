// The half of MySQLClient that talks to the database: connecting, running statements and
// transaction control. The filter and the error report use no connection and live in
// mysql_client_filter.cc, so that an in-process stand-in can replace this file alone.
#include "db/mysql_client.h"

#include "db/connection_params.h"
#include "db/statements.h"
#include "server/end_process.h"
#include "server/output.h"

namespace {

constexpr char kConnectionError[] = "[MySQL] Connection Error";

}  // namespace

MySQLClient::MySQLClient()
    : host_(db_params::kHost),
      user_(db_params::kUser),
      password_(db_params::kPassword),
      database_(db_params::kDatabase) {}

int MySQLClient::init_mysql_connect() {
  mysql_init(&handle_);
  mysql_options(&handle_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(&handle_, MYSQL_INIT_COMMAND, sql::kUtcSession);
  mysql_options(&handle_, MYSQL_INIT_COMMAND, sql::kReadCommitted);
  if (mysql_real_connect(&handle_, host_, user_, password_, database_, 0, nullptr, 0) != nullptr) {
    return 0;
  }
  print_line(kConnectionError);
  end_process(255);
}

void MySQLClient::exec_query(std::string statement) {
  if (statement.empty()) end_process(255);
  // The library takes a NUL-terminated text: a NUL byte inside client text ends the statement
  // there, inside its quotes, so such a statement fails instead of running cut short.
  mysql_query(&handle_, statement.c_str());
  handle_error(static_cast<int>(mysql_errno(&handle_)));
}

ResultSet MySQLClient::exec_query_result(std::string statement) {
  if (statement.empty()) end_process(255);
  mysql_query(&handle_, statement.c_str());
  return ResultSet(mysql_store_result(&handle_));
}

bool MySQLClient::begin_transaction() { return mysql_query(&handle_, sql::kBeginTransaction) == 0; }

bool MySQLClient::commit() { return mysql_query(&handle_, sql::kCommit) == 0; }

void MySQLClient::rollback() { mysql_query(&handle_, sql::kRollback); }

unsigned int MySQLClient::last_error() { return mysql_errno(&handle_); }
