// korvane-server: serves one client over standard input and output.
#include <google/protobuf/stubs/logging.h>

#include <cstdio>
#include <string>

#include "server/startup.h"

// The session's time limits this program runs with, given by its build (CMakeLists.txt,
// korvane_server()): the deployment's server has those of the CMake cache variables, and the
// tests of the limits run servers built with one of them at 2 seconds. This is the one place that
// reads them.
static_assert(KORVANE_IDLE_SECONDS >= 0 && KORVANE_IDLE_SECONDS <= 24 * 24 * 3600,
              "KORVANE_IDLE_SECONDS is 0 (no limit) or a number of seconds up to 24 days");
constexpr SessionLimits kLimits = {KORVANE_IDLE_SECONDS, KORVANE_RECONNECT_SECONDS};

namespace {

// The protocol library logs why it could not decode a request (a missing required field, say) on
// standard error, which a deployment sends to its journal: any client could fill it at will. The
// client already hears about it from the server's own answer, so only the library's fatal errors
// are kept.
void library_log(google::protobuf::LogLevel level, const char* file, int line,
                 const std::string& message) {
  if (level != google::protobuf::LOGLEVEL_FATAL) return;
  std::fprintf(stderr, "[libprotobuf FATAL %s:%d] %s\n", file, line, message.c_str());
}

}  // namespace

int main() {
  google::protobuf::SetLogHandler(library_log);
  init(kLimits);
  serve_requests();
}
