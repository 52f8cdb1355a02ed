// The bytes that reach the client. Kept apart from the gathering in output.cc so that an
// in-process harness can take the bytes instead of standard output.
//
// A write never blocks for longer than the limit: a client that stops reading would otherwise
// keep its session, and its database connection, forever, and the idle limit only counts while
// the session waits for a request. So each chunk waits in poll() for room first and then goes
// out in a write that cannot block: a send() with MSG_DONTWAIT on a socket, and on anything else
// (a pipe, a terminal) at most PIPE_BUF bytes, which a pipe that polls writable takes whole at
// once. The descriptor itself stays blocking: it may be a terminal shared with a shell.
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/end_process.h"
#include "server/output.h"

namespace {

int limit_ms = -1;  // poll()'s "no limit"
bool to_socket = false;

}  // namespace

void limit_client_writes(int seconds) {
  limit_ms = seconds == 0 ? -1 : seconds * 1000;
  struct stat out;
  to_socket = fstat(1, &out) == 0 && S_ISSOCK(out.st_mode);
}

void write_to_client(std::string_view bytes) {
  while (!bytes.empty()) {
    pollfd out{1, POLLOUT, 0};
    const int ready = poll(&out, 1, limit_ms);
    if (ready < 0 && errno == EINTR) continue;
    // The client has taken nothing for the whole limit: it ends like an idle one.
    if (ready == 0) end_process(0);
    if (ready < 0) return;
    ssize_t n = to_socket ? send(1, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                          : write(1, bytes.data(), std::min<size_t>(bytes.size(), PIPE_BUF));
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return;  // the client is gone; nothing more can reach it
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}
