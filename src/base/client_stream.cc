// The bytes that reach the client. Kept apart from the gathering in output.cc so that the fuzz
// build can build tests/fuzz/captured_output.cc in place of this file and keep the bytes (the
// table of such stand-ins is in tests/fuzz/CMakeLists.txt).
//
// A write never blocks for longer than the idle limit (session_waits.h): a client that stops
// reading would otherwise keep its session, and its database connection, forever, and the idle
// limit only counts while the session waits for a request. A client that takes nothing for that
// long is as good as idle, so the session ends the same way, status 0.
//
// So writes do not block: they take what the client has room for, and wait_for_room() waits for
// more. Standard output itself stays blocking, since it may be shared (a terminal with a shell, a
// pipe with other writers) and the flag belongs to every holder. A socket gets send() with
// MSG_DONTWAIT; a pipe or a terminal is opened again through /proc/self/fd/1, which makes an
// open file of its own for the same pipe or terminal, with its own O_NONBLOCK. Anything else (a
// regular file; a pipe where /proc is missing) is written as it is, blocking.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/end_process.h"
#include "base/output.h"
#include "base/session_waits.h"

namespace {

struct Stream {
  int fd;       // where the bytes go
  bool socket;  // then send() with MSG_DONTWAIT to standard output
};

Stream open_stream() {
  struct stat s;
  if (fstat(1, &s) != 0) return {1, false};
  if (S_ISSOCK(s.st_mode)) return {1, true};
  if (S_ISFIFO(s.st_mode) || S_ISCHR(s.st_mode)) {
    int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) return {fd, false};
  }
  return {1, false};
}

}  // namespace

void write_to_client(std::string_view bytes) {
  static const Stream stream = open_stream();
  while (!bytes.empty()) {
    const ssize_t n = stream.socket
                          ? send(1, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                          : write(stream.fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The client has taken nothing for the whole limit: it ends like an idle one.
      if (!wait_for_room(1)) end_process(0);
    } else if (n == 0 || errno != EINTR) {
      return;  // the client is gone; nothing more can reach it
    }
  }
}
