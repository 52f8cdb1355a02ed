// The bytes that reach the client. Kept apart from the gathering in output.cc so that an
// in-process harness can take the bytes instead of standard output.
#include <unistd.h>

#include <cerrno>

#include "server/output.h"

void write_to_client(std::string_view bytes) {
  // One write; a pipe or socket may take less at once, and a signal may interrupt it.
  while (!bytes.empty()) {
    ssize_t n = write(1, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client is gone; nothing more can reach it
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}
