#include "server/startup.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/connection_params.h"
#include "korvane_config.h"
#include "server/end_process.h"
#include "server/output.h"
#include "server/request_runner.h"
#include "server/session.h"

User* user = nullptr;
MySQLClient* client = nullptr;
int32_t login_count = 0;

namespace {

constexpr size_t kBufferSize = 10240;
constexpr char kPrompt[] = "> ";
// How long a session may sit at the prompt before it ends (KORVANE_IDLE_SECONDS; 0: forever).
// An idle session still holds a database connection, so without a limit enough idle clients
// would take every connection the database allows.
constexpr int kIdleSeconds = KORVANE_IDLE_SECONDS;
// poll() takes the wait in milliseconds as an int: 24 days at most.
static_assert(kIdleSeconds >= 0 && kIdleSeconds <= 24 * 24 * 3600,
              "KORVANE_IDLE_SECONDS is 0 (no limit) or a number of seconds up to 24 days");

// Static so the crash handler needs no allocation.
char crash_buffer[kBufferSize];

// Waits for the next request for at most the idle limit. True when standard input has something
// to read (a request, the end of input or an error, all of which the read then tells apart).
bool request_arrives_in_time() {
  if (kIdleSeconds == 0) return true;
  pollfd in{0, POLLIN, 0};
  int rc;
  do {
    rc = poll(&in, 1, kIdleSeconds * 1000);
  } while (rc < 0 && errno == EINTR);
  return rc != 0;
}

}  // namespace

// The password follows its option letter with no blank, as the mysql client requires; the
// command names no database, since the script creates it.
std::string bootstrap_command(const std::string& script) {
  // A port of 0 leaves the mysql client its own default, as it leaves the library's.
  const std::string port =
      db_params::kPort == 0 ? std::string() : " -P" + std::to_string(db_params::kPort);
  return std::string("mysql -h") + db_params::kHost + port + " -u" + db_params::kUser + " -p" +
         db_params::kPassword + " < " + script;
}

std::string bootstrap_command() { return bootstrap_command(db_params::kInitScript); }

void handler(int) {
  int fd = open("/proc/self/maps", O_RDONLY);
  if (fd >= 0) {
    ssize_t n = read(fd, crash_buffer, sizeof(crash_buffer));
    if (n > 0) {
      ssize_t unused = write(1, crash_buffer, static_cast<size_t>(n));
      (void)unused;
    }
  }
  _exit(255);  // exit() is not safe inside a signal handler
}

void init() {
  user = new User();
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // Its outcome is ignored on purpose: the connection below decides whether we can serve.
  int unused = std::system(bootstrap_command().c_str());
  (void)unused;
  client = new MySQLClient();
  client->init_mysql_connect();
  std::signal(SIGSEGV, handler);
}

void serve_requests() {
  static char buffer[kBufferSize];
  for (;;) {
    // The request's output and the prompt reach the client in one write, and only now: the
    // request's transactions have ended, so a client that does not read blocks nobody else.
    print_text(kPrompt);
    flush_output();
    // The limit ends a session that sends nothing as the end of input does: status 0, the
    // database connection closed on the way out.
    if (!request_arrives_in_time()) end_process(0);
    std::memset(buffer, 0, sizeof(buffer));
    ssize_t n;
    do {
      n = read(0, buffer, sizeof(buffer));
    } while (n < 0 && errno == EINTR);
    if (n == 0) end_process(0);   // the client closed its side
    if (n < 0) end_process(255);  // the input is broken; nothing more can be read
    run_request(buffer, static_cast<int32_t>(n));
  }
}
