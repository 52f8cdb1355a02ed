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
// committed nothing and runs again on a new connection (after a pause, from the second on). Before
// each new attempt the session is put back as it was before the request and the attempt's output is
// forgotten, so the client sees exactly one answer: that of the attempt that counted. A connection
// that cannot be made again ends the process with "[MySQL] Connection Error" and status 255, never
// with a guess.
#ifndef KORVANE_SERVER_REQUEST_RUNNER_H_
#define KORVANE_SERVER_REQUEST_RUNNER_H_

#include <cstdint>

// Attempts at a request undone by lock wait timeouts, in all, before it is refused.
constexpr int kMaxAttemptsAfterLockWaits = 5;
// How long after its first attempt a request may still start one after a deadlock.
constexpr int kDeadlockRetryBudgetMs = 10000;

// Runs the request in `data` (its `length` bytes, as dispatch expects them) to its end.
void run_request(const char* data, int32_t length);

#endif  // KORVANE_SERVER_REQUEST_RUNNER_H_
