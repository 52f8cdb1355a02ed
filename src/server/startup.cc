#include "server/startup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "account/session.h"
#include "base/end_process.h"
#include "base/output.h"
#include "base/session_waits.h"
#include "base/wire_facts.h"
#include "db/connection_params.h"
#include "server/envelopes.h"
#include "server/request_runner.h"

namespace {

constexpr size_t kBufferSize = wire::kMaxRequestBytes;
// The mysql client takes its password from this variable of its environment when neither its
// command line nor an option file gives one. A command line shows in `ps` to every user of the
// machine; a process's environment only to its own user and root.
constexpr char kPasswordVariable[] = "MYSQL_PWD";

// Static so the crash handler needs no allocation.
char crash_buffer[kBufferSize];
// Where the crash handler writes, chosen at start-up: standard output, unless that is a socket.
// A served session's socket is its network client, which must not see the process's memory
// map; standard error then goes to the service's journal instead.
int crash_fd = 1;

}  // namespace

// The command names no database, since the script creates it.
std::string bootstrap_command(const std::string& script) {
  // A port of 0 leaves the mysql client its own default, as it leaves the library's.
  const std::string port =
      db_params::kPort == 0 ? std::string() : " -P" + std::to_string(db_params::kPort);
  return std::string("mysql -h") + db_params::kHost + port + " -u" + db_params::kUser + " < " +
         script;
}

std::string bootstrap_command() { return bootstrap_command(db_params::kInitScript); }

int run_bootstrap(const std::string& script) {
  std::string command = bootstrap_command(script);
  const std::string name = std::string(kPasswordVariable) + "=";
  const std::string password = name + db_params::kPassword;
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, name.c_str(), name.size()) != 0) envp.push_back(*entry);
  }
  envp.push_back(const_cast<char*>(password.c_str()));
  envp.push_back(nullptr);
  char sh[] = "sh", dash_c[] = "-c";
  char* argv[] = {sh, dash_c, command.data(), nullptr};
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  restore_signals_in_child(&attr);
  pid_t pid;
  const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) return -1;
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

int run_bootstrap() { return run_bootstrap(db_params::kInitScript); }

void handler(int) {
  int fd = open("/proc/self/maps", O_RDONLY);
  if (fd >= 0) {
    ssize_t n = read(fd, crash_buffer, sizeof(crash_buffer));
    if (n > 0) {
      ssize_t unused = write(crash_fd, crash_buffer, static_cast<size_t>(n));
      (void)unused;
    }
  }
  _exit(255);  // exit() is not safe inside a signal handler
}

void init(const SessionLimits& limits) {
  // A transaction still open is rolled back by the database when the connection closes, as it
  // would be when the process just ended; closing says so instead of leaving the database to
  // find a dropped connection.
  set_process_end_hook([] {
    if (client != nullptr) client->close();
  });
  user = new User();
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // First, so that a stop signal that comes during start-up waits for the first prompt.
  set_up_waits(limits.idle_seconds);
  struct stat out;
  if (fstat(1, &out) == 0 && S_ISSOCK(out.st_mode)) crash_fd = 2;
  // Its outcome is ignored on purpose: the connection below decides whether we can serve.
  run_bootstrap();
  client = new MySQLClient(limits.reconnect_seconds);
  if (!client->init_mysql_connect()) end_without_database();
  std::signal(SIGSEGV, handler);
}

namespace {

// Reads the client's next bytes into `buffer`, after the bytes of `kept` (in the buffer, cut off
// by the end of the last read), which move to its start; returns all the buffer holds. So a
// request is never longer than the buffer. Ends the process when the input is broken, and at its
// end when nothing is kept: kept bytes go on as the last request.
size_t read_after(char* buffer, std::string_view kept) {
  if (!kept.empty()) std::memmove(buffer, kept.data(), kept.size());
  char* rest = buffer + kept.size();
  std::memset(rest, 0, kBufferSize - kept.size());
  ssize_t n;
  do {
    n = read(0, rest, kBufferSize - kept.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) end_process(255);                 // nothing more can be read
  if (n == 0 && kept.empty()) end_process(0);  // the client closed its side
  return kept.size() + static_cast<size_t>(n);
}

}  // namespace

void serve_requests() {
  static char buffer[kBufferSize];
  // The envelopes of the last read, run one by one, each answered with its own prompt.
  std::vector<std::string_view> requests;
  size_t next = 0;
  // The start of an envelope that a full read ended in, completed by the next read. Only a read
  // that also held whole envelopes keeps one: a single message longer than the buffer is two
  // requests, refused, as it always was.
  std::string_view kept;
  for (;;) {
    // The request's output and the prompt reach the client in one write, and only now: the
    // request's transactions have ended, so a client that does not read blocks nobody else.
    print_text(wire::kPrompt);
    flush_output();
    if (next < requests.size()) {
      // More of the same read: a stop signal still ends the session between two of them.
      if (stop_has_come()) end_process(0);
    } else {
      // The limit ends a session that sends nothing as the end of input does, and so does a
      // stop signal: status 0, the database connection closed on the way out.
      if (wait_for_request(0) != RequestWait::kReadable) end_process(0);
      const size_t size = read_after(buffer, kept);
      requests = split_envelopes(std::string_view(buffer, size));
      kept = size == kBufferSize ? cut_envelope_start(requests) : std::string_view();
      requests.back().remove_suffix(kept.size());
      if (requests.back().empty()) requests.pop_back();
      next = 0;
    }
    const std::string_view request = requests[next++];
    run_request(request.data(), static_cast<int32_t>(request.size()));
  }
}
