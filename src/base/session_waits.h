// Where a session waits: for its next request, and for its client to take an answer. Both waits
// are bounded by the idle limit, and they are the only places where a stop signal comes in.
//
// SIGTERM (a service manager or scripts/serve shutting down), SIGINT and SIGHUP ask the session
// to end. They are blocked for the whole life of the process and let through only during these
// waits (ppoll with a mask that lets them in). So a request that is running when one comes
// finishes first: its transaction ends and its answer is written, and then the wait for the next
// request sees the signal and the process ends the usual way (end_process: the database
// connection closed, status 0). The database client library never sees EINTR either, since no
// signal can arrive while it works. A client that reads goes on getting its answer after a stop
// signal; one that does not is given a few seconds more, not the whole idle limit, so that a
// stopping service is not held up by it.
//
// SIGPIPE is ignored: a write to a client that has gone fails with EPIPE instead of killing the
// process before it closes its database connection.
#ifndef KORVANE_BASE_SESSION_WAITS_H_
#define KORVANE_BASE_SESSION_WAITS_H_

#include <spawn.h>

// Installs the stop signals' handlers and blocks them, ignores SIGPIPE, and bounds both waits
// by `idle_seconds` (0: no limit).
// REQUIRES: 0 <= idle_seconds <= 24 days (a wait in milliseconds fits an int).
void set_up_waits(int idle_seconds);

// How a wait for the next request ended.
enum class RequestWait { kReadable, kIdle, kStop };

// Waits until `fd` has something to read (a request, the end of input or an error), for at most
// the idle limit. kStop when a stop signal has come, even if input came as well.
RequestWait wait_for_request(int fd);

// True when a stop signal has come, or is waiting to be let in, outside a wait.
bool stop_has_come();

// Waits until `fd` can take bytes, for at most the idle limit and, once a stop signal has come,
// for at most a few seconds. True when it can (or has an error that a write will report), false
// when the wait ran out.
bool wait_for_room(int fd);

// Sets `attr` so that a child starts with the signal mask and dispositions that the process had
// before set_up_waits().
void restore_signals_in_child(posix_spawnattr_t* attr);

#endif  // KORVANE_BASE_SESSION_WAITS_H_
