#include "base/session_waits.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
// How long a write waits for a client to take bytes once a stop signal has come. systemd waits
// 90 s by default before it kills what is left of a stopping service.
constexpr int kStopWriteMs = 5000;

volatile sig_atomic_t stop_requested = 0;
int idle_ms = -1;  // no limit
// The mask the process started with, and the same without the stop signals: the one the waits
// let them in with.
sigset_t started_mask;
sigset_t waiting_mask;
bool set_up = false;

void on_stop(int) { stop_requested = 1; }

// ppoll() on one descriptor for at most `ms` (-1: no limit), with the stop signals let in.
int wait_once(pollfd* p, int ms) {
  const timespec limit{ms / 1000, (ms % 1000) * 1000000L};
  return ppoll(p, 1, ms < 0 ? nullptr : &limit, set_up ? &waiting_mask : nullptr);
}

}  // namespace

void set_up_waits(int idle_seconds) {
  idle_ms = idle_seconds == 0 ? -1 : idle_seconds * 1000;
  sigset_t stop;
  sigemptyset(&stop);
  for (int s : kStopSignals) sigaddset(&stop, s);
  sigprocmask(SIG_BLOCK, &stop, &started_mask);
  waiting_mask = started_mask;
  for (int s : kStopSignals) sigdelset(&waiting_mask, s);
  // No SA_RESTART: the signal has to end the ppoll it arrives in.
  struct sigaction on {};
  on.sa_handler = on_stop;
  sigemptyset(&on.sa_mask);
  for (int s : kStopSignals) sigaction(s, &on, nullptr);
  signal(SIGPIPE, SIG_IGN);
  set_up = true;
}

RequestWait wait_for_request(int fd) {
  pollfd in{fd, POLLIN, 0};
  int rc;
  do {
    rc = wait_once(&in, idle_ms);
  } while (rc < 0 && errno == EINTR && stop_requested == 0);
  if (stop_requested != 0) return RequestWait::kStop;
  return rc == 0 ? RequestWait::kIdle : RequestWait::kReadable;
}

bool stop_has_come() {
  if (stop_requested != 0) return true;
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (int s : kStopSignals) {
    if (sigismember(&pending, s) == 1) return true;
  }
  return false;
}

bool wait_for_room(int fd) {
  pollfd out{fd, POLLOUT, 0};
  for (;;) {
    int ms = idle_ms;
    if (stop_requested != 0 && (ms < 0 || ms > kStopWriteMs)) ms = kStopWriteMs;
    const int rc = wait_once(&out, ms);
    if (rc >= 0) return rc > 0;
    // A stop signal shortens the wait from now on.
    if (errno != EINTR) return true;
  }
}

void restore_signals_in_child(posix_spawnattr_t* attr) {
  if (!set_up) return;  // a test process runs the bootstrap as it is
  sigset_t reset;
  sigemptyset(&reset);
  for (int s : kStopSignals) sigaddset(&reset, s);
  sigaddset(&reset, SIGPIPE);
  posix_spawnattr_setsigmask(attr, &started_mask);
  posix_spawnattr_setsigdefault(attr, &reset);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}
