// The half of MySQLClient that talks to the database server: opening and closing the connection
// and sending one statement. What the answers mean for a request lives in
// mysql_client_requests.cc, and the filter in mysql_client_filter.cc, so that an in-process
// stand-in can replace this file alone.
#include "db/mysql_client.h"

#include <time.h>

#include "db/connection_params.h"
#include "db/statements.h"

MySQLClient::MySQLClient()
    : host_(db_params::kHost),
      user_(db_params::kUser),
      password_(db_params::kPassword),
      database_(db_params::kDatabase) {}

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
  mysql_options(&handle_, MYSQL_INIT_COMMAND, sql::kSessionSettings);
  connected_ = mysql_real_connect(&handle_, host_, user_, password_, database_, db_params::kPort,
                                  nullptr, 0) != nullptr;
  if (!connected_) mysql_close(&handle_);
  return connected_;
}

void MySQLClient::disconnect() {
  if (connected_) mysql_close(&handle_);
  connected_ = false;
}

ResultSet MySQLClient::send(const std::string& statement) {
  // The library takes a NUL-terminated text: a NUL byte inside client text ends the statement
  // there, inside its quotes, so such a statement fails instead of running cut short.
  mysql_query(&handle_, statement.c_str());
  wire_error_ = mysql_errno(&handle_);
  return ResultSet(mysql_store_result(&handle_));
}

uint64_t MySQLClient::wire_insert_id() { return mysql_insert_id(&handle_); }

void MySQLClient::pause_ms(int ms) {
  timespec pause{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0) {
  }
}
