#include "support/client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "support/shell.h"

namespace {

constexpr int kDeadlineMs = 60000;

// The lowest port the kernel hands out as the local end of a connection.
int first_ephemeral_port() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  range >> low;
  return low > 1024 ? low : 32768;
}

// The inode of the socket listening on 127.0.0.1:`port` ("" when there is none), from the
// kernel's table of TCP sockets.
std::string listener_inode(int port) {
  char local[16];
  std::snprintf(local, sizeof(local), "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (address == local && state == "0A") return inode;  // 0A: listening
  }
  return "";
}

// The whole of a small file, read with plain system calls: a /proc file of a process that ends
// meanwhile reads as an error (ESRCH), which a C++ stream would throw. False when it cannot be
// read.
bool read_small_file(const std::string& path, std::string* text) {
  text->clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) text->append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return n == 0;
}

// What /proc/PID/stat says of process `pid` (a decimal string): its command (as the kernel
// keeps it, cut at 15 bytes), its state and its process group. False when it has ended.
bool read_stat(const std::string& pid, std::string* name, std::string* state, long* group) {
  std::string text;
  if (!read_small_file("/proc/" + pid + "/stat", &text)) return false;
  // After the command, which is in parentheses: the state, the parent, the process group.
  const size_t start = text.find('('), end = text.rfind(')');
  if (start == std::string::npos || end == std::string::npos) return false;
  *name = text.substr(start + 1, end - start - 1);
  std::istringstream after(text.substr(end + 1));
  long parent = 0;
  return static_cast<bool>(after >> *state >> parent >> *group);
}

struct Running {
  pid_t pid;
  std::string name;  // the command, as the kernel keeps it
};

// The processes of process group `group` that have not ended; a zombie has. A process that ends
// during the scan is passed over.
std::vector<Running> running_in_group(pid_t group) {
  std::vector<Running> running;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    const std::string pid = entry->d_name;
    std::string name, state;
    long pgrp = -1;
    if (pid.find_first_not_of("0123456789") == std::string::npos &&
        read_stat(pid, &name, &state, &pgrp) && pgrp == group && state != "Z") {
      running.push_back({std::stoi(pid), name});
    }
  }
  if (proc != nullptr) closedir(proc);
  return running;
}

// The paths (/proc/PID/fd/N) of the descriptors open in processes of process group `group`.
std::vector<std::string> group_descriptors(pid_t group) {
  std::vector<std::string> paths;
  for (const Running& p : running_in_group(group)) {
    const std::string fds = "/proc/" + std::to_string(p.pid) + "/fd/";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    while (dirent* fd = readdir(dir)) {
      if (fd->d_name[0] != '.') paths.push_back(fds + fd->d_name);
    }
    closedir(dir);
  }
  return paths;
}

// True when a process of process group `group` has the socket with `inode` open.
bool group_holds_socket(pid_t group, const std::string& inode) {
  const std::string target = "socket:[" + inode + "]";
  for (const std::string& path : group_descriptors(group)) {
    char link[64];
    ssize_t n = readlink(path.c_str(), link, sizeof(link));
    if (n > 0 && target == std::string(link, static_cast<size_t>(n))) return true;
  }
  return false;
}

// The start of a bash script that uses the scripts' helpers.
std::string helpers() {
  return "source " + shell_quote(std::string(KORVANE_SOURCE_DIR) + "/scripts/lib/common.sh") + "; ";
}

int run_with_helpers(const std::string& script) {
  std::string command = "bash -c " + shell_quote("set -euo pipefail; " + helpers() + script);
  return std::system(command.c_str());
}

}  // namespace

bool group_listens(pid_t group, int port) {
  const std::string inode = listener_inode(port);
  return !inode.empty() && group_holds_socket(group, inode);
}

int free_local_port() {
  static std::mt19937 pick(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
  const int high = first_ephemeral_port();
  const int low = std::max(1025, high - 8192);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int port = low + static_cast<int>(pick() % static_cast<unsigned>(high - low));
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

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
  std::vector<std::string> args = {"--bind", "127.0.0.1", "--server",
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
  if (!options.web_root.empty()) args.insert(args.end(), {"--web-root", options.web_root});
  if (!options.web_origin.empty()) args.insert(args.end(), {"--web-origin", options.web_origin});
  args.insert(args.end(), options.args.begin(), options.args.end());
  const auto given = std::find(options.args.begin(), options.args.end(), "--port");
  if (given != options.args.end()) {
    // Any text that is not a port leaves port_ 0: the script refuses it before it listens.
    const long port =
        given + 1 == options.args.end() ? 0 : std::strtol(given[1].c_str(), nullptr, 10);
    port_ = port > 0 && port < 65536 ? static_cast<int>(port) : 0;
    start(options.script, args, options.env);
    return;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::vector<std::string> with_ports = args;
    if (options.web) {
      web_port_ = free_local_port();
      with_ports.insert(with_ports.end(), {"--web-port", std::to_string(web_port_)});
    }
    do {
      port_ = free_local_port();
    } while (port_ != 0 && port_ == web_port_);
    with_ports.insert(with_ports.end(), {"--port", std::to_string(port_)});
    if (port_ != 0 && start(options.script, with_ports, options.env)) return;
  }
  ADD_FAILURE() << options.script << " listened on none of the ports it was given:\n" << err();
}

bool ServedOverTcp::start(const std::string& script, const std::vector<std::string>& options,
                          const std::map<std::string, std::string>& env) {
  static int started = 0;
  unlink(banner_file_.c_str());  // an earlier attempt's
  unlink(err_file_.c_str());
  const std::string files = testing::TempDir() + "korvane_serve_" + std::to_string(getpid()) + "_" +
                            std::to_string(++started);
  banner_file_ = files + ".out";
  err_file_ = files + ".err";
  std::vector<std::string> args = {std::string(KORVANE_SOURCE_DIR) + "/" + script};
  args.insert(args.end(), options.begin(), options.end());
  group_ = start_group(args, env, banner_file_, err_file_);
  if (group_ == nullptr) return false;
  const pid_t pid = group_->leader();
  // Bounded wait for the listeners (scripts/run builds first, and may take long to find nothing
  // to build). The script ends at once when socat cannot bind the port.
  for (int i = 0; i < 3000 && !group_->leader_ended(); ++i) {
    if (port_ != 0 && group_listens(pid, port_) &&
        (web_port_ == 0 || group_listens(pid, web_port_))) {
      return true;
    }
    usleep(20000);
  }
  return false;
}

ServedOverTcp::~ServedOverTcp() {
  group_.reset();
  unlink(banner_file_.c_str());
  unlink(err_file_.c_str());
}

bool ServedOverTcp::serving() { return group_ != nullptr && !group_->leader_ended(); }

void ServedOverTcp::signal(int signal) {
  if (group_ != nullptr) kill(group_->leader(), signal);
}

int ServedOverTcp::exit_status() {
  return group_ != nullptr && group_->leader_ended() ? group_->exit_status() : -1;
}

int ServedOverTcp::wait_exit() {
  for (int i = 0; i < kDeadlineMs / 20 && serving(); ++i) usleep(20000);
  if (serving()) ADD_FAILURE() << "the script did not end";
  return exit_status();
}

bool ServedOverTcp::wait_all_ended() {
  std::vector<Running> running;
  for (int i = 0; i < kDeadlineMs / 20; ++i) {
    if (group_ == nullptr || (running = running_in_group(group_->leader())).empty()) return true;
    usleep(20000);
  }
  for (const Running& p : running) ADD_FAILURE() << "still running: " << p.pid << " " << p.name;
  return false;
}

std::string ServedOverTcp::err() const {
  std::ifstream in(err_file_);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int ServedOverTcp::sessions() const {
  // The files locked with flock, as /proc/locks names them: a line is
  // "1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF". The pid there is the locker's, which may
  // be a flock(1) that has ended, so a lock counts when a process of the group has its file open.
  std::string text;
  if (group_ == nullptr || !read_small_file("/proc/locks", &text)) return -1;
  std::set<std::string> locked;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string slot, kind, advisory, mode, pid, file;
    if (fields >> slot >> kind >> advisory >> mode >> pid >> file && kind == "FLOCK") {
      locked.insert(file);
    }
  }
  std::set<std::string> held;
  for (const std::string& path : group_descriptors(group_->leader())) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) continue;
    char file[64];
    std::snprintf(file, sizeof(file), "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    if (locked.count(file) != 0) held.insert(file);
  }
  return static_cast<int>(held.size());
}

std::vector<pid_t> ServedOverTcp::servers() const {
  std::vector<pid_t> found;
  if (group_ == nullptr) return found;
  for (const Running& p : running_in_group(group_->leader())) {
    // "korvane-server-" for the short builds.
    if (p.name.compare(0, 14, "korvane-server") == 0) found.push_back(p.pid);
  }
  return found;
}

std::string ServedOverTcp::banner() const {
  // The script prints it once it finds its listener up, which may be just after the test did:
  // wait for its last line, or for its end.
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    const bool ended = group_ == nullptr || group_->leader_ended();
    std::ifstream in(banner_file_);
    text.assign(std::istreambuf_iterator<char>(in), {});
    const size_t stop = text.find("\n  stop:");
    if (ended || (stop != std::string::npos && text.find('\n', stop + 1) != std::string::npos)) {
      break;
    }
    usleep(20000);
  }
  return text;
}

FreshDatabase::FreshDatabase(const std::vector<std::string>& server_options) {
  char tmpl[] = "/tmp/korvane-fresh-db.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  std::string start = "set -euo pipefail; " + helpers() + "db_start " + shell_quote(dir_);
  for (const std::string& option : server_options) start += " " + shell_quote(option);
  // db_start runs in a process group of its own, which the database it starts stays in: should
  // the test die, even half way through the start, the reaper kills everything in the group.
  pid_t starter = fork();
  if (starter == 0) {
    setpgid(0, 0);
    execl("/bin/bash", "bash", "-c", start.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (starter < 0) {
    ADD_FAILURE() << "fork failed";
    return;
  }
  setpgid(starter, starter);
  reaper_ = std::make_unique<Reaper>("kill -KILL -- -" + std::to_string(starter) + "; rm -rf " +
                                     shell_quote(dir_));
  int status = 0;
  waitpid(starter, &status, 0);
  EXPECT_EQ(exit_status(status), 0) << "db_start failed; see " << dir_ << "/mysqld.err";
}

FreshDatabase::~FreshDatabase() {
  if (dir_.empty()) return;
  run_with_helpers("db_stop " + shell_quote(dir_) + "; rm -rf " + shell_quote(dir_));
}

std::map<std::string, std::string> FreshDatabase::env() const {
  return {{"MYSQL_UNIX_PORT", dir_ + "/mysqld.sock"}, {"MYSQL_HOME", dir_}};
}
