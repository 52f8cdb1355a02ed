#include "server_proc.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "support/prompt.h"

extern char** environ;

namespace bench {

namespace {

std::vector<char*> c_argv(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  for (const std::string& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

int wait_status(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

ServerProc::~ServerProc() {
  if (to_server_ >= 0) close(to_server_);
  if (from_server_ >= 0) close(from_server_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool ServerProc::start(const std::string& path) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  // A server that dies must not kill the driver through a write to its input.
  signal(SIGPIPE, SIG_IGN);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv = c_argv({path});
  int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  to_server_ = in[1];
  from_server_ = out[0];
  if (rc != 0) pid_ = -1;
  return rc == 0;
}

bool ServerProc::read_prompt(std::string* answer) {
  char buf[65536];
  while (!take_answer(&pending_, answer)) {
    ssize_t n = read(from_server_, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
  return true;
}

bool ServerProc::send(const std::string& bytes) {
  ssize_t n = write(to_server_, bytes.data(), bytes.size());
  return n == static_cast<ssize_t>(bytes.size());
}

bool ServerProc::request(const std::string& bytes, std::string* answer) {
  return send(bytes) && read_prompt(answer);
}

int ServerProc::read_some(std::string* answer) {
  char buf[65536];
  ssize_t n;
  do {
    n = read(from_server_, buf, sizeof(buf));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return -1;
  pending_.append(buf, static_cast<size_t>(n));
  return take_answer(&pending_, answer) ? 1 : 0;
}

void ServerProc::close_input() {
  if (to_server_ >= 0) close(to_server_);
  to_server_ = -1;
}

long ServerProc::peak_rss_kib() const { return read_peak_rss_kib(pid_); }

int ServerProc::finish() {
  close_input();
  if (pid_ <= 0) return -1;
  int status = wait_status(pid_);
  pid_ = -1;
  return status;
}

int run_program(const std::vector<std::string>& argv, const std::string& stdin_path,
                int stdout_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
  if (stdout_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> args = c_argv(argv);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  return wait_status(pid);
}

std::string capture_output(const std::vector<std::string>& argv, bool quiet) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args = c_argv(argv);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  if (rc == 0) {
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      text.append(buf, static_cast<size_t>(n));
    }
    wait_status(pid);
  }
  close(out[0]);
  return text;
}

long read_peak_rss_kib(pid_t pid) { return read_proc_kib(pid, "status", "VmHWM:"); }

long read_proc_kib(pid_t pid, const std::string& file, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
  }
  return -1;
}

}  // namespace bench
