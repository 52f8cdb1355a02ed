// The request runner: one request from its bytes to its last printed line, however often the
// database makes it start over.
//
// A request runs as attempts; what ends one is classed in db/error_classes.h. An attempt that the
// database undid as a whole runs again after a short random pause that grows with the attempts.
// Attempts that waited a whole timeout first (a lock wait, a statement time limit) are counted:
// the kMaxAttemptsAfterLockWaits-th stands. Attempts undone by a deadlock, a cluster's
// certification conflict or an interruption are bounded by time instead: the request starts no
// new attempt once kDeadlockRetryBudgetMs have passed since its first. They are cheap to try
// again, and on a cluster with several writers they come in runs that can outlast any small
// count. The attempt that stands ends as it ended, a refusal, but spends no sign-in: the client
// was not at fault. An attempt cut off by a lost connection, or by a node that cannot serve,
// committed nothing and runs again on a new connection (after a pause, from the second on). A
// connection that cannot be made again ends the process with "[MySQL] Connection Error" and
// status 255, never with a guess.
//
// The contract between the runner and the handlers:
// - The runner alone decides whether an attempt counts. It reads one value after each attempt,
//   MySQLClient::attempt(): the outcome and the error that decided it. A handler never retries,
//   reconnects or looks at error classes.
// - A handler treats every failed statement (an empty result, fewer results than asked, a
//   failed commit, last_error() not 0) as a refusal and returns through its ordinary refusal
//   path. Once the attempt is decided every later statement fails the same way without reaching
//   the database, so the handler cannot go on by mistake.
// - A handler that keeps output of a failed transaction (commit_output) does so only while
//   attempt().outcome is kDone: the refusal is then the request's own.
// - Before each new attempt the runner forgets the attempt's output and puts back the session as
//   it was before the request: the sign-in guard and the whole UserRecord (account/user.h),
//   copied at once, so a field added there is restored without a word here. The client sees
//   exactly one answer: that of the attempt that counted.
#ifndef KORVANE_SERVER_REQUEST_RUNNER_H_
#define KORVANE_SERVER_REQUEST_RUNNER_H_

#include <cstdint>

// Attempts at a request undone by lock wait timeouts, in all, before it is refused.
constexpr int kMaxAttemptsAfterLockWaits = 5;
// How long after its first attempt a request may still start one after a deadlock.
constexpr int kDeadlockRetryBudgetMs = 10000;

// Runs the request in `data` (its `length` bytes, as dispatch expects them) to its end.
void run_request(const char* data, int32_t length);

// Prints "[MySQL] Connection Error" and ends the process with status 255: the session has no
// database and will not get one back (at start-up, or when a reconnect gives up).
[[noreturn]] void end_without_database();

#endif  // KORVANE_SERVER_REQUEST_RUNNER_H_
