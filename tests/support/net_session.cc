#include "support/net_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "support/prompt.h"

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in loopback(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

}  // namespace

NetSession::NetSession(int port, const NetOptions& options) {
  signal(SIGPIPE, SIG_IGN);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = loopback(options.source, 0);
  sockaddr_in to = loopback("127.0.0.1", port);
  if (options.segment_size > 0) {
    // Before the connection is made, so that both ends keep to it.
    setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &options.segment_size, sizeof(options.segment_size));
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
  if (!options.tls) return;
  context_ = SSL_CTX_new(TLS_client_method());
  tls_ = SSL_new(context_);
  SSL_set_fd(tls_, fd_);
  if (SSL_connect(tls_) != 1) {
    close(fd_);
    fd_ = -1;
  }
}

NetSession::~NetSession() {
  if (tls_ != nullptr) SSL_free(tls_);
  if (context_ != nullptr) SSL_CTX_free(context_);
  if (fd_ >= 0) close(fd_);
}

long NetSession::read_some(char* buf, size_t size, int timeout_ms) {
  if (tls_ == nullptr || SSL_pending(tls_) == 0) {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
      rc = poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return -1;
  }
  if (tls_ != nullptr) {
    int n = SSL_read(tls_, buf, static_cast<int>(size));
    return n > 0 ? n : 0;
  }
  ssize_t n;
  do {
    n = read(fd_, buf, size);
  } while (n < 0 && errno == EINTR);
  return n > 0 ? n : 0;
}

bool NetSession::read_until_prompt(std::string* text, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  char buf[65536];
  while (fd_ >= 0 && !ends_with_prompt(pending_)) {
    long n = read_some(buf, sizeof(buf), ms_left(deadline));
    if (n <= 0) {
      *text = std::move(pending_);
      pending_.clear();
      return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
  if (fd_ < 0) return false;
  *text = pending_.substr(0, pending_.size() - 2);
  pending_.clear();
  return true;
}

bool NetSession::read_to_end(std::string* text, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  char buf[65536];
  long n = -1;
  while (fd_ >= 0 && (n = read_some(buf, sizeof(buf), ms_left(deadline))) > 0) {
    pending_.append(buf, static_cast<size_t>(n));
  }
  *text = std::move(pending_);
  pending_.clear();
  return n == 0;
}

bool NetSession::read_exact(size_t size, std::string* bytes, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  char buf[65536];
  while (fd_ >= 0 && pending_.size() < size) {
    long n = read_some(buf, sizeof(buf), ms_left(deadline));
    if (n <= 0) return false;
    pending_.append(buf, static_cast<size_t>(n));
  }
  if (fd_ < 0) return false;
  bytes->assign(pending_, 0, size);
  pending_.erase(0, size);
  return true;
}

bool NetSession::quiet_for(int ms) {
  if (fd_ < 0 || !pending_.empty()) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

bool NetSession::send(const std::string& bytes) {
  if (fd_ < 0) return false;
  if (tls_ != nullptr) {
    return SSL_write(tls_, bytes.data(), static_cast<int>(bytes.size())) ==
           static_cast<int>(bytes.size());
  }
  return write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool NetSession::close_write() {
  if (fd_ < 0) return false;
  if (tls_ != nullptr && SSL_shutdown(tls_) < 0) return false;
  return shutdown(fd_, SHUT_WR) == 0;
}

void NetSession::abort() {
  if (fd_ < 0) return;
  linger reset{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
  close(fd_);
  fd_ = -1;
}

int greeted_at_once(int port, int clients, int deadline_ms) {
  std::vector<pollfd> fds;
  std::vector<std::string> seen(static_cast<size_t>(clients));
  sockaddr_in to = loopback("127.0.0.1", port);
  for (int i = 0; i < clients; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 && errno != EINPROGRESS) {
      ADD_FAILURE() << "connect failed: " << errno;
    }
    fds.push_back({fd, POLLIN, 0});
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  int greeted = 0;
  int open = clients;
  while (open > 0 && ms_left(deadline) > 0) {
    if (poll(fds.data(), fds.size(), ms_left(deadline)) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n > 0) seen[i].append(buf, static_cast<size_t>(n));
      if (n <= 0 || ends_with_prompt(seen[i])) {
        if (n > 0) ++greeted;
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  return greeted;
}

TestCertificate::TestCertificate(const std::string& names, const std::string& common_name) {
  std::string command =
      "cd " + folder_.dir() +
      " && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + common_name +
      (names.empty() ? "" : " -addext subjectAltName=" + names) +
      " -keyout key.pem -out cert.pem 2>/dev/null"
      " && cat cert.pem key.pem > both.pem";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}
