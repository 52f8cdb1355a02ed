// The request runner: one request from its bytes to its last printed line, however often the
// database makes it start over.
//
// A request runs as attempts. An attempt that the database undid as a whole runs again after a
// short random pause: up to kMaxAttemptsAfterLockWaits in all when a lock wait timed out (each
// has waited the whole timeout already), up to kMaxAttemptsAfterDeadlocks when a deadlock or a
// cluster's certification conflict undid it (cheap to try again, and on a cluster with several
// writers they come in runs). The last attempt stands as it ended, a refusal. An attempt cut off by
// a lost connection committed nothing and runs again once the connection is back. Before each new
// attempt the session is put back as it was before the request and the attempt's output is
// forgotten, so the client sees exactly one answer: that of the attempt that counted. A connection
// that cannot be made again ends the process with "[MySQL] Connection Error" and status 255, never
// with a guess.
#ifndef KORVANE_SERVER_REQUEST_RUNNER_H_
#define KORVANE_SERVER_REQUEST_RUNNER_H_

#include <cstdint>

// Attempts at a request that the database undid, in all, before it is refused.
constexpr int kMaxAttemptsAfterLockWaits = 5;
constexpr int kMaxAttemptsAfterDeadlocks = 10;

// Runs the request in `data` (its `length` bytes, as dispatch expects them) to its end.
void run_request(const char* data, int32_t length);

#endif  // KORVANE_SERVER_REQUEST_RUNNER_H_
