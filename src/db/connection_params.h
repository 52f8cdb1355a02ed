// The database the server talks to. The host, its port and the bootstrap script are chosen when
// the server is built (CMake cache variables KORVANE_DB_HOST, KORVANE_DB_PORT and
// KORVANE_INIT_SQL); the rest is fixed. The reconnect bound is the server program's own
// (MySQLClient's constructor).
#ifndef KORVANE_DB_CONNECTION_PARAMS_H_
#define KORVANE_DB_CONNECTION_PARAMS_H_

#include <fmt/format.h>

#include <string>

#include "db/statements.h"
#include "korvane_config.h"

namespace db_params {

constexpr char kHost[] = KORVANE_DB_HOST;
// 0 is the client library's default (MYSQL_TCP_PORT in the environment, else 3306); a host of
// "localhost" uses the unix socket instead (MYSQL_UNIX_PORT in the environment).
constexpr unsigned int kPort = KORVANE_DB_PORT;
constexpr char kUser[] = "korvane";
constexpr char kPassword[] = "wexolim";
constexpr char kDatabase[] = "korvane_db";
constexpr char kInitScript[] = KORVANE_INIT_SQL;

// Each try to connect gives up after this.
constexpr unsigned int kConnectTimeoutSeconds = 5;
// The longest a statement waits for a row lock (the session settings ask for it; a lower server
// setting is kept). An order's last round trip may wait this long for its coin's market row.
constexpr int kLockWaitSeconds = 50;
// An answer that takes longer than these counts as a lost connection. They exceed the longest
// lock wait, so a statement that waits for a row lock is never taken for a lost one.
constexpr unsigned int kReadTimeoutSeconds = 60;
constexpr unsigned int kWriteTimeoutSeconds = 60;
static_assert(kReadTimeoutSeconds > unsigned{kLockWaitSeconds} &&
              kWriteTimeoutSeconds > unsigned{kLockWaitSeconds});
// The database ends a transaction whose client has sent nothing for this long (the session
// settings ask it to), releasing its locks. A commit whose answer was lost relies on it: the
// database runs the rest of a batch whose client is gone (a lock wait included), and this long
// after that the old transaction has ended on a single server, whatever became of the batch.
constexpr int kIdleTransactionSeconds = 30;

// The session settings sent with every connect (statements.h, kSessionSettings).
inline std::string session_settings() {
  return fmt::format(sql::kSessionSettings, kLockWaitSeconds, kIdleTransactionSeconds);
}

}  // namespace db_params

#endif  // KORVANE_DB_CONNECTION_PARAMS_H_
