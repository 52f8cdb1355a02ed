// The request runner: one request from its bytes to its last printed line, however often the
// database makes it start over. When an attempt counts, runs again or ends the session, and what
// the handlers may and may not do about it, is the exactly-once contract: db/exactly_once.h.
#ifndef KORVANE_SERVER_REQUEST_RUNNER_H_
#define KORVANE_SERVER_REQUEST_RUNNER_H_

#include <cstdint>

// Runs the request in `data` (its `length` bytes, as dispatch expects them) to its end.
void run_request(const char* data, int32_t length);

// Prints "[MySQL] Connection Error" and ends the process with status 255: the session has no
// database and will not get one back (at start-up, or when a reconnect gives up).
[[noreturn]] void end_without_database();

#endif  // KORVANE_SERVER_REQUEST_RUNNER_H_
