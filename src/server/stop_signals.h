// Ending a session on a signal, at a request boundary.
//
// SIGTERM (a service manager or scripts/serve shutting down), SIGINT and SIGHUP ask the session
// to end. They are blocked for the whole life of the process and let through only while it waits
// for the next request (ppoll with a mask that lets them in). So a request that is running when
// one comes finishes first: its transaction ends and its answer is written, and only then does the
// wait for the next request see the signal and end the process the usual way (end_process: the
// database connection closed, status 0). The database client library never sees EINTR either,
// since no signal can arrive while it works; its own waits need not cope with one.
//
// SIGPIPE is ignored: a write to a client that has gone fails with EPIPE instead of killing the
// process before it closes its database connection.
#ifndef KORVANE_SERVER_STOP_SIGNALS_H_
#define KORVANE_SERVER_STOP_SIGNALS_H_

#include <spawn.h>

// Installs the handlers, blocks the stop signals and ignores SIGPIPE.
void hold_stop_signals();

// How a wait for the next request ended.
enum class RequestWait { kReadable, kIdle, kStop };

// Waits until `fd` has something to read (a request, the end of input or an error) for at most
// `idle_seconds` (0: no limit), letting the stop signals in meanwhile. kStop when one has come,
// even if input came as well.
RequestWait wait_for_request(int fd, int idle_seconds);

// Sets `attr` so that a child starts with the signal mask and dispositions that the process had
// before hold_stop_signals().
void restore_signals_in_child(posix_spawnattr_t* attr);

#endif  // KORVANE_SERVER_STOP_SIGNALS_H_
