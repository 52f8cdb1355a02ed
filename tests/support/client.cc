#include "support/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

constexpr int kDeadlineMs = 60000;

int exit_status(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ADD_FAILURE() << "no free port";
  }
  close(fd);
  return ntohs(a.sin_port);
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int run_with_helpers(const std::string& script) {
  std::string command =
      "bash -c " +
      shell_quote("set -euo pipefail; source " +
                  shell_quote(std::string(KORVANE_SOURCE_DIR) + "/scripts/lib/common.sh") + "; " +
                  script);
  return std::system(command.c_str());
}

// A signed-in server on the test database, with XRP cheap and in stock.
struct Probe {
  Probe() {
    db.set_market("XRP", 100, 1000000);
    server.read_until_prompt();
    std::string name = unique_name("probe");
    server.send(envelopes::signup(name, "pw"));
    server.send(envelopes::signin(name, "pw"));
  }
  TestDb db;
  ServerProcess server;
};

}  // namespace

ClientRun run_client(const std::vector<std::string>& args, const std::string& input) {
  ClientRun run;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return run;
  }
  signal(SIGPIPE, SIG_IGN);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char*> argv{const_cast<char*>("korvane")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KORVANE_CLIENT_PATH, argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!input.empty() && write(in[1], input.data(), input.size()) != ssize_t(input.size())) {
    ADD_FAILURE() << "short write to the client";
  }
  close(in[1]);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_fds = 2;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      ADD_FAILURE() << "the client did not end; output so far: " << run.out << run.err;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  run.status = exit_status(st);
  return run;
}

ServedOverTcp::ServedOverTcp(const ServeOptions& options) {
  port_ = free_port();
  banner_file_ = testing::TempDir() + "korvane_serve_" + std::to_string(getpid()) + "_" +
                 std::to_string(port_);
  std::vector<std::string> args = {std::string(KORVANE_SOURCE_DIR) + "/scripts/serve",
                                   "--port",
                                   std::to_string(port_),
                                   "--bind",
                                   "127.0.0.1",
                                   "--server",
                                   options.server.empty() ? KORVANE_SERVER_PATH : options.server};
  if (!options.tls_cert.empty()) {
    args.insert(args.end(), {"--tls-cert", options.tls_cert, "--tls-key", options.tls_key});
  }
  if (options.max_sessions > 0) {
    args.insert(args.end(), {"--max-sessions", std::to_string(options.max_sessions)});
  }
  if (options.max_per_source >= 0) {
    args.insert(args.end(), {"--max-per-source", std::to_string(options.max_per_source)});
  }
  if (options.backlog > 0) args.insert(args.end(), {"--backlog", std::to_string(options.backlog)});
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);  // socat's children too, so that all of them can be stopped at the end
    int devnull = open("/dev/null", O_RDWR);
    int banner = open(banner_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(devnull, 0);
    dup2(banner, 1);
    for (const auto& [key, value] : options.env) setenv(key.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  setpgid(pid_, pid_);
  // Bounded wait for the listener; a probe connection just starts a server that sees the end of
  // its input and exits (over TLS, not even that: the handshake fails).
  for (int i = 0; i < 1000 && !accepts(port_); ++i) usleep(20000);
}

ServedOverTcp::~ServedOverTcp() {
  unlink(banner_file_.c_str());
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

std::string ServedOverTcp::banner() const {
  std::ifstream in(banner_file_);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

FreshDatabase::FreshDatabase() {
  char tmpl[] = "/tmp/korvane-fresh-db.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  EXPECT_EQ(run_with_helpers("db_start " + shell_quote(dir_)), 0);
}

FreshDatabase::~FreshDatabase() {
  if (dir_.empty()) return;
  run_with_helpers("db_stop " + shell_quote(dir_) + "; rm -rf " + shell_quote(dir_));
}

std::map<std::string, std::string> FreshDatabase::env() const {
  return {{"MYSQL_UNIX_PORT", dir_ + "/mysqld.sock"}, {"MYSQL_HOME", dir_}};
}
