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

#include "base/reasons.h"

namespace db_errors {

enum class Action { kRetry, kReconnect, kRefuse };
enum class Commit { kNotApplied, kUnknown };

struct ErrorClass {
  unsigned int code;
  const char* name;  // the library's or the server's symbol
  Action action;
  // kRetry only: the attempt waited a whole timeout before it failed. Such attempts are counted
  // (db/exactly_once.h); the others are bounded by time.
  bool waited;
  Commit commit;
  const char* reason;
};

constexpr unsigned int kLockWaitTimeout = 1205;
constexpr unsigned int kDeadlock = 1213;

constexpr Action kRetry = Action::kRetry;
constexpr Action kReconnect = Action::kReconnect;
constexpr Action kRefuse = Action::kRefuse;
constexpr Commit kNotApplied = Commit::kNotApplied;
constexpr Commit kUnknown = Commit::kUnknown;

// docs/reliability.md shows this table row for row (tests/unit/error_classes_test.cc).
// clang-format off
inline constexpr ErrorClass kErrorTable[] = {
    // The connection is gone: whatever the attempt sent last may or may not have run.
    {2002, "CR_CONNECTION_ERROR", kReconnect, false, kUnknown,
     "no connection over the unix socket: the database is down or restarting"},
    {2003, "CR_CONN_HOST_ERROR", kReconnect, false, kUnknown,
     "no connection over TCP: the database (or HAProxy) is down or restarting"},
    {2006, "CR_SERVER_GONE_ERROR", kReconnect, false, kUnknown,
     "the connection broke while the statement was sent"},
    {2013, "CR_SERVER_LOST", kReconnect, false, kUnknown,
     "the connection broke while the answer was awaited"},
    {2055, "CR_SERVER_LOST_EXTENDED", kReconnect, false, kUnknown,
     "the connection broke (with a system error)"},
    {1053, "ER_SERVER_SHUTDOWN", kReconnect, false, kUnknown,
     "the server is going down and closes the connection"},
    {1927, "ER_CONNECTION_KILLED", kReconnect, false, kUnknown,
     "the connection was killed (idle-transaction timeout, an operator), perhaps during COMMIT"},
    // The node cannot serve; another one may.
    {1047, "ER_UNKNOWN_COM_ERROR", kReconnect, false, kUnknown,
     "a Galera node outside the primary component refuses every statement until it rejoins; "
     "HAProxy routes a new connection to one that serves. A write set may have reached the "
     "cluster before the node left"},
    {1180, "ER_ERROR_DURING_COMMIT", kReconnect, false, kUnknown,
     "the engine or the cluster failed the commit: the node is suspect, and whether the cluster "
     "holds the transaction is not said"},
    {1290, "ER_OPTION_PREVENTS_STATEMENT", kReconnect, false, kNotApplied,
     "the server runs read-only (a replica, a node taken out of service): another may not"},
    {1792, "ER_CANT_EXECUTE_IN_READ_ONLY_TRANSACTION", kReconnect, false, kNotApplied,
     "the server makes transactions read-only: another may not"},
    {1836, "ER_READ_ONLY_MODE", kReconnect, false, kNotApplied,
     "the engine runs read-only: another server may not"},
    // The attempt was undone, by no fault of the request; it may get through next time.
    {kDeadlock, "ER_LOCK_DEADLOCK", kRetry, false, kNotApplied,
     "a deadlock or a cluster's certification conflict rolled the transaction back"},
    {kLockWaitTimeout, "ER_LOCK_WAIT_TIMEOUT", kRetry, true, kNotApplied,
     "a row lock waited the whole timeout; the transaction is rolled back"},
    {1317, "ER_QUERY_INTERRUPTED", kRetry, false, kUnknown,
     "the statement was interrupted (KILL QUERY, a Galera node's replicated write), a COMMIT "
     "perhaps once certified"},
    {1969, "ER_STATEMENT_TIMEOUT", kRetry, true, kUnknown,
     "the statement ran past max_statement_time, a COMMIT perhaps once done"},
    // The request's own values: the statement failed and its batch stopped there.
    {1062, "ER_DUP_ENTRY", kRefuse, false, kNotApplied,
     "a taken name: \"Duplicate ID\""},
    {1064, "ER_PARSE_ERROR", kRefuse, false, kNotApplied,
     "a NUL byte in client text cut the statement inside its quotes"},
    {4025, "ER_CONSTRAINT_FAILED", kRefuse, false, kNotApplied,
     "a CHECK constraint: a balance, price or stock below zero"},
    {1048, "ER_BAD_NULL_ERROR", kRefuse, false, kNotApplied,
     "NULL for a NOT NULL column"},
    {1264, "ER_WARN_DATA_OUT_OF_RANGE", kRefuse, false, kNotApplied,
     "a value beyond its column (strict mode): a KRW balance past the INT range"},
    {1690, "ER_DATA_OUT_OF_RANGE", kRefuse, false, kNotApplied,
     "arithmetic beyond its type"},
    {1292, "ER_TRUNCATED_WRONG_VALUE", kRefuse, false, kNotApplied,
     "a time the database cannot store (beyond 2038)"},
    {1406, "ER_DATA_TOO_LONG", kRefuse, false, kNotApplied,
     "a text longer than its column"},
    {1366, "ER_TRUNCATED_WRONG_VALUE_FOR_FIELD", kRefuse, false, kNotApplied,
     "a value its column cannot take"},
};
// clang-format on

// Every other number: running again would meet it again, so the attempt is refused; a COMMIT
// that answered with it is settled by proof.
// clang-format off
inline constexpr ErrorClass kOtherError = {
    0, "(not listed)", kRefuse, false, kUnknown,
    "not known to come and go: running again would meet it again"};
// clang-format on

// The class of error `code`. REQUIRES: code != 0.
constexpr const ErrorClass& classify(unsigned int code) {
  for (const ErrorClass& error : kErrorTable) {
    if (error.code == code) return error;
  }
  return kOtherError;
}

// The reason a request gives when a statement's error `code` refused it (an error of the refuse
// class: the request's own values); kDatabase for the codes that name none.
constexpr Reason reason_of(unsigned int code) {
  switch (code) {
    case 1062:  // a taken name: the one unique key that client text reaches
      return Reason::kNameTaken;
    case 1064:  // a NUL byte cut the statement inside its quotes
      return Reason::kBadText;
    case 1292:  // a time past 2038
      return Reason::kBadTime;
    case 1264:
    case 1690:
    case 4025:
      return Reason::kTooLarge;
    case 1406:
      return Reason::kTooLong;
    default:
      return Reason::kDatabase;
  }
}

}  // namespace db_errors

#endif  // KORVANE_DB_ERROR_CLASSES_H_
