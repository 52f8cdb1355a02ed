// Every error the database (or the client library) can answer a statement with, and what the
// server does about it: the one table the statement client reads (mysql_client_requests.cc), and
// the one docs/reliability.md shows.
//
// Each error has an action:
// - kRetry: the attempt was undone and need not meet the error again: the request runs again
//   after a short pause, on the same connection.
// - kReconnect: the connection, or the node behind it, is of no more use: the request runs again
//   on a new connection, which HAProxy may route to another node. What the old connection left
//   open the database undoes when it closes.
// - kRefuse: the request's own fault, or one that would meet it again: the attempt ends as a
//   refusal, through the handler's ordinary refusal paths.
//
// And a meaning for a COMMIT that answered with it: kNotApplied, or kUnknown, which the request's
// proof settles on a new connection (MySQLClient::commit). A lost connection's error may stand
// for any statement of a batch, the COMMIT included, so it is kUnknown wherever it comes.
#ifndef KORVANE_DB_ERROR_CLASSES_H_
#define KORVANE_DB_ERROR_CLASSES_H_

namespace db_errors {

enum class Action { kRetry, kReconnect, kRefuse };
enum class Commit { kNotApplied, kUnknown };

struct ErrorClass {
  unsigned int code;
  Action action;
  // kRetry only: the attempt waited a whole timeout before it failed. Such attempts are counted
  // (request_runner.h); the others are bounded by time.
  bool waited;
  Commit commit;
  const char* reason;
};

constexpr unsigned int kDuplicateKey = 1062;
constexpr unsigned int kLockWaitTimeout = 1205;
constexpr unsigned int kDeadlock = 1213;

constexpr Action kRetry = Action::kRetry;
constexpr Action kReconnect = Action::kReconnect;
constexpr Action kRefuse = Action::kRefuse;
constexpr Commit kNotApplied = Commit::kNotApplied;
constexpr Commit kUnknown = Commit::kUnknown;

// clang-format off
inline constexpr ErrorClass kErrorTable[] = {
    // The connection is gone. Nothing of the attempt was committed unless its COMMIT was sent.
    {2002, kReconnect, false, kUnknown, "cannot connect over the unix socket"},
    {2003, kReconnect, false, kUnknown, "cannot connect over TCP"},
    {2006, kReconnect, false, kUnknown, "server gone: the connection broke before the statement"},
    {2013, kReconnect, false, kUnknown, "connection lost while waiting for the answer"},
    {2055, kReconnect, false, kUnknown, "connection lost (system error)"},
    {1053, kReconnect, false, kUnknown, "the server is shutting down; it may have committed first"},
    {1927, kReconnect, false, kUnknown,
     "connection killed (idle-transaction timeout, an operator); a COMMIT may have ended first"},
    // The node cannot serve; another one may.
    {1047, kReconnect, false, kUnknown,
     "a Galera node outside the primary component refuses every statement until it rejoins; "
     "its last write set may have reached the cluster before it left"},
    {1180, kReconnect, false, kUnknown,
     "the engine or the cluster failed the commit: the node is suspect, and what the cluster "
     "holds is not said"},
    {1290, kReconnect, false, kNotApplied,
     "the server runs read-only (a replica, a node taken out of service): nothing was written"},
    {1792, kReconnect, false, kNotApplied, "a read-only transaction: nothing was written"},
    {1836, kReconnect, false, kNotApplied, "the server runs in read-only mode: nothing written"},
    // The attempt was undone, by no fault of the request.
    {kDeadlock, kRetry, false, kNotApplied,
     "deadlock or a cluster's certification conflict: the transaction was rolled back"},
    {kLockWaitTimeout, kRetry, true, kNotApplied,
     "a row lock waited the whole timeout: the statement was undone, the transaction rolls back"},
    {1317, kRetry, false, kUnknown,
     "statement interrupted (KILL QUERY, a Galera node's replicated write): a COMMIT may have "
     "been certified first"},
    {1969, kRetry, true, kUnknown,
     "the statement ran past max_statement_time: undone, but a COMMIT may have ended first"},
    // The request's own values: the statement failed and the batch stopped there.
    {kDuplicateKey, kRefuse, false, kNotApplied, "duplicate key: a taken name (\"Duplicate ID\")"},
    {1064, kRefuse, false, kNotApplied, "a NUL byte cut the statement inside its quotes"},
    {4025, kRefuse, false, kNotApplied, "a CHECK constraint: a balance or stock below zero"},
    {1048, kRefuse, false, kNotApplied, "NULL in a NOT NULL column (a time beyond 2038)"},
    {1264, kRefuse, false, kNotApplied, "a value out of its column's range"},
    {1690, kRefuse, false, kNotApplied, "arithmetic out of range"},
    {1292, kRefuse, false, kNotApplied, "a time the database cannot store"},
    {1406, kRefuse, false, kNotApplied, "a text longer than its column"},
    {1366, kRefuse, false, kNotApplied, "a text or number the column cannot take"},
};
// clang-format on

// Every other number: running again would meet it again, so the attempt is refused; a COMMIT
// that answered with it is settled by proof.
inline constexpr ErrorClass kOtherError = {0, kRefuse, false, kUnknown, "the rest"};

// The class of error `code`. REQUIRES: code != 0.
constexpr const ErrorClass& classify(unsigned int code) {
  for (const ErrorClass& error : kErrorTable) {
    if (error.code == code) return error;
  }
  return kOtherError;
}

}  // namespace db_errors

#endif  // KORVANE_DB_ERROR_CLASSES_H_
