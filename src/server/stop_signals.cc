#include "server/stop_signals.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace {

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t stop_requested = 0;
// The mask the process started with, and the same without the stop signals: the one the wait
// for a request lets them in with.
sigset_t started_mask;
sigset_t waiting_mask;
bool held = false;

void on_stop(int) { stop_requested = 1; }

}  // namespace

void hold_stop_signals() {
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
  held = true;
}

RequestWait wait_for_request(int fd, int idle_seconds) {
  const timespec limit{idle_seconds, 0};
  pollfd in{fd, POLLIN, 0};
  int rc;
  do {
    rc = ppoll(&in, 1, idle_seconds == 0 ? nullptr : &limit, &waiting_mask);
  } while (rc < 0 && errno == EINTR && stop_requested == 0);
  if (stop_requested != 0) return RequestWait::kStop;
  return rc == 0 ? RequestWait::kIdle : RequestWait::kReadable;
}

void restore_signals_in_child(posix_spawnattr_t* attr) {
  if (!held) return;  // a test process runs the bootstrap as it is
  sigset_t reset;
  sigemptyset(&reset);
  for (int s : kStopSignals) sigaddset(&reset, s);
  sigaddset(&reset, SIGPIPE);
  posix_spawnattr_setsigmask(attr, &started_mask);
  posix_spawnattr_setsigdefault(attr, &reset);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}
