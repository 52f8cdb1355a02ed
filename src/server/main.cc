// korvane-server: serves one client over standard input and output.
#include <google/protobuf/stubs/logging.h>

#include <cstdio>
#include <string>

#include "server/startup.h"

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
  init();
  serve_requests();
}
