#include "korvane/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char kPrompt[] = "> ";

// The server ends every line it prints, so its prompt is "> " at the very start of its output or
// right after a line end. Checking the line end too keeps a long line that happens to be cut
// just after a "> " from being taken for the prompt.
bool ends_with_prompt(const std::string& s) {
  size_t n = s.size();
  if (n < 2 || s.compare(n - 2, 2, kPrompt) != 0) return false;
  return n == 2 || s[n - 3] == '\n';
}

std::string errno_text(int err) { return std::strerror(err); }

}  // namespace

std::unique_ptr<Connection> Connection::connect_tcp(const std::string& host,
                                                    const std::string& port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot connect to " + host + ":" + port + ": " + gai_strerror(rc);
    return nullptr;
  }
  int fd = -1;
  int last_errno = 0;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_errno = errno;
      continue;
    }
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      last_errno = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *error = "cannot connect to " + host + ":" + port + ": " + errno_text(last_errno);
    return nullptr;
  }
  // Each request goes out at once; there is never a second one waiting behind it.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return std::unique_ptr<Connection>(new Connection(fd, fd, -1));
}

std::unique_ptr<Connection> Connection::start_server(const std::string& path, std::string* error) {
  int in[2], out[2], report[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    *error = "cannot start " + path + ": " + errno_text(errno);
    return nullptr;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *error = "cannot start " + path + ": " + errno_text(errno);
    return nullptr;
  }
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execl(path.c_str(), path.c_str(), static_cast<char*>(nullptr));
    // Tell the parent why; the report pipe closes by itself on a successful exec.
    int err = errno;
    ssize_t unused = write(report[1], &err, sizeof(err));
    (void)unused;
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(report[1]);
  int err = 0;
  ssize_t n;
  do {
    n = read(report[0], &err, sizeof(err));
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n == sizeof(err)) {
    close(in[1]);
    close(out[0]);
    waitpid(pid, nullptr, 0);
    *error = "cannot start " + path + ": " + errno_text(err);
    return nullptr;
  }
  return std::unique_ptr<Connection>(new Connection(in[1], out[0], pid));
}

Connection::~Connection() {
  close(to_server_);
  if (from_server_ != to_server_) close(from_server_);
  if (child_ > 0) {
    while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Connection::read_answer(std::string* answer) {
  char buf[65536];
  while (!ends_with_prompt(pending_)) {
    ssize_t n = read(from_server_, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *answer = std::move(pending_);
      pending_.clear();
      return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
  *answer = pending_.substr(0, pending_.size() - 2);
  pending_.clear();
  return true;
}

bool Connection::send_request(const std::string& bytes, std::string* error) {
  ssize_t n;
  do {
    n = write(to_server_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  *error = n < 0 ? errno_text(errno) : "the server took only part of it";
  return false;
}
