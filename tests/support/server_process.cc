#include "support/server_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "support/prompt.h"
#include "support/reaper.h"

namespace {

constexpr int kExitTimeoutMs = 5000;

// The test's environment with `overrides` put in or replaced.
std::vector<std::string> merged_environment(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    if (overrides.count(text.substr(0, text.find('='))) == 0) merged.push_back(text);
  }
  for (const auto& [key, value] : overrides) merged.push_back(key + "=" + value);
  return merged;
}

// The path of `program` as execvp would find it on PATH.
std::string find_on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

}  // namespace

ServerProcess::ServerProcess(const std::map<std::string, std::string>& env,
                             const std::vector<std::string>& wrapper, const std::string& server,
                             Stdio stdio) {
  const std::string server_path = server.empty() ? KORVANE_SERVER_PATH : server;
  // in[0], out[1] and err[1] are the child's ends; on a socket, in and out are one socket pair.
  int in[2], out[2], err[2] = {-1, -1};
  bool made = stdio == kSocket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) == 0 &&
                                     (out[0] = fcntl(in[1], F_DUPFD_CLOEXEC, 0)) >= 0 &&
                                     (out[1] = fcntl(in[0], F_DUPFD_CLOEXEC, 0)) >= 0
                               : pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0;
  if (stdio != kPipes) made = made && pipe2(err, O_CLOEXEC) == 0;
  if (!made) {
    ADD_FAILURE() << "pipe or socketpair failed";
    return;
  }
  signal(SIGPIPE, SIG_IGN);
  // Everything the child needs is made before fork: the child of a threaded test (a fault proxy
  // runs a thread) may not allocate, and setenv allocates.
  std::vector<char*> argv;
  for (const std::string& arg : wrapper) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(const_cast<char*>(wrapper.empty() ? "korvane-server" : server_path.c_str()));
  argv.push_back(nullptr);
  std::string program = wrapper.empty() ? server_path : argv[0];
  if (program.find('/') == std::string::npos) program = find_on_path(program);
  std::vector<std::string> environment = merged_environment(env);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (err[1] >= 0) dup2(err[1], 2);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  if (err[1] >= 0) close(err[1]);
  to_server_ = in[1];
  from_server_ = out[0];
  stderr_ = err[0];
}

ServerProcess::~ServerProcess() {
  // End of input ends a server normally, so that whatever checks the process at its exit
  // (a sanitizer's leak check) runs. One that does not end in time is killed.
  close_input();
  for (int i = 0; pid_ > 0 && !exited_ && i < kExitTimeoutMs / 10; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) exited_ = true;
    if (!exited_) usleep(10000);
  }
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (from_server_ >= 0) close(from_server_);
  if (stderr_ >= 0) close(stderr_);
}

bool ServerProcess::read_some(int timeout_ms) {
  pollfd p{from_server_, POLLIN, 0};
  int ready = poll(&p, 1, timeout_ms);
  if (ready <= 0) return ready == 0 ? true : errno == EINTR;
  char buf[65536];
  ssize_t n = read(from_server_, buf, sizeof(buf));
  if (n <= 0) return n < 0 && errno == EINTR;
  pending_.append(buf, static_cast<size_t>(n));
  return true;
}

std::string ServerProcess::read_until_prompt() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_timeout_ms_);
  while (!ends_with_prompt(pending_)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "no prompt within the deadline; output so far: " << pending_;
      return std::exchange(pending_, {});
    }
    if (!read_some(static_cast<int>(left.count()))) {
      ADD_FAILURE() << "server closed its output before the prompt; output: " << pending_;
      return std::exchange(pending_, {});
    }
  }
  std::string answer;
  take_answer(&pending_, &answer);
  return answer;
}

void ServerProcess::write_raw(const std::string& bytes) {
  ssize_t n = write(to_server_, bytes.data(), bytes.size());
  if (n != static_cast<ssize_t>(bytes.size())) ADD_FAILURE() << "short write to the server";
}

std::string ServerProcess::send(const std::string& bytes) {
  write_raw(bytes);
  return read_until_prompt();
}

std::string ServerProcess::send(const korvane::KorvaneInterface& envelope) {
  std::string bytes;
  envelope.SerializePartialToString(&bytes);
  return send(bytes);
}

void ServerProcess::close_input() {
  if (to_server_ < 0) return;
  shutdown(to_server_, SHUT_WR);  // on a socket, whose other descriptor stays open for reading
  close(to_server_);
  to_server_ = -1;
}

std::string ServerProcess::read_to_end() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer_timeout_ms_);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ADD_FAILURE() << "server output did not end within the deadline";
      break;
    }
    if (!read_some(static_cast<int>(left.count()))) break;
  }
  return std::exchange(pending_, {});
}

std::string ServerProcess::stderr_to_end() {
  std::string all;
  char buf[4096];
  for (pollfd p{stderr_, POLLIN, 0}; poll(&p, 1, answer_timeout_ms_) > 0;) {
    ssize_t n = read(stderr_, buf, sizeof(buf));
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  return all;
}

int ServerProcess::shrink_output_pipe(int bytes) {
  int capacity = fcntl(from_server_, F_SETPIPE_SZ, bytes);
  if (capacity < 0) ADD_FAILURE() << "F_SETPIPE_SZ failed: " << strerror(errno);
  return capacity;
}

int ServerProcess::output_waiting() const {
  int bytes = 0;
  if (ioctl(from_server_, FIONREAD, &bytes) != 0) ADD_FAILURE() << "FIONREAD failed";
  return bytes;
}

int ServerProcess::wait_exit() {
  if (exited_) return status_;
  for (int i = 0; i < kAnswerTimeoutMs / 10; ++i) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      status_ = ::exit_status(st);
      return status_;
    }
    usleep(10000);
  }
  ADD_FAILURE() << "server did not exit";
  return -1;
}

namespace {

// Whether `l` has the form of a line of /proc/PID/maps: "start-end perms offset major:minor inode",
// then the path, if any, after blanks. (No std::regex: GCC 12 warns inside it under the
// sanitizers.)
bool maps_line(const std::string& l) {
  unsigned long start, end, offset, inode;
  unsigned int major, minor;
  char perms[5] = {};
  int used = 0;
  if (std::sscanf(l.c_str(), "%lx-%lx %4s %lx %x:%x %lu%n", &start, &end, perms, &offset, &major,
                  &minor, &inode, &used) != 7) {
    return false;
  }
  const char* allowed[] = {"r-", "w-", "x-", "ps"};
  for (int i = 0; i < 4; ++i) {
    if (perms[i] == '\0' || std::strchr(allowed[i], perms[i]) == nullptr) return false;
  }
  return static_cast<size_t>(used) == l.size() || l[static_cast<size_t>(used)] == ' ';
}

}  // namespace

bool is_memory_map(const std::string& text) {
  std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
  bool program = false;
  int whole = 0;
  for (std::string l; std::getline(lines, l); ++whole) {
    if (!maps_line(l)) return false;
    program = program || l.find("korvane-server") != std::string::npos;
  }
  return whole > 0 && program;
}
