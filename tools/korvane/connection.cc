// Requests and answers on an open connection (connection.h): one write a request, an answer read
// up to the prompt, the waits between, and the end of the session. How a connection is opened
// is connection_open.cc (TCP, and a server on pipes) and connection_tls.cc.
#include "korvane/connection.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/wire_facts.h"

namespace {

// The server ends every line it prints, so its prompt is "> " at the very start of its output or
// right after a line end. Checking the line end too keeps a long line that happens to be cut
// just after a "> " from being taken for the prompt.
bool ends_with_prompt(const std::string& s) {
  const size_t n = s.size();
  const size_t prompt = sizeof(wire::kPrompt) - 1;
  if (n < prompt || s.compare(n - prompt, prompt, wire::kPrompt) != 0) return false;
  return n == prompt || s[n - prompt - 1] == '\n';
}

}  // namespace

void Connection::set_reset_on_close(int fd, bool reset) {
  linger how{reset ? 1 : 0, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &how, sizeof(how));
}

Connection::~Connection() {
  if (tls_ != nullptr) {
    SSL_shutdown(tls_);  // says the session ends; no need to wait for the answer
    SSL_free(tls_);
  }
  if (tls_context_ != nullptr) SSL_CTX_free(tls_context_);
  close(to_server_);
  if (from_server_ != to_server_) close(from_server_);
  if (child_ > 0) {
    while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

long Connection::receive(char* buf, size_t size) {
  if (tls_ == nullptr) return read(from_server_, buf, size);
  for (;;) {
    ERR_clear_error();
    const int n = SSL_read(tls_, buf, static_cast<int>(size));
    if (n > 0) return n;
    // On this blocking socket a read "wants" more only when a signal interrupted it, or when the
    // record held no data (a session ticket): neither ends the stream, so read again, as a plain
    // read(2) is read again after EINTR.
    const int error = SSL_get_error(tls_, n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
    if (error == SSL_ERROR_SYSCALL && errno == EINTR) continue;
    return 0;  // a closed or broken TLS session both end the answer
  }
}

bool Connection::wait_readable(int ms) {
  if (!pending_.empty() || (tls_ != nullptr && SSL_pending(tls_) > 0)) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{from_server_, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0)));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0 || tls_ == nullptr) return rc != 0;  // an error shows on the read that follows
    // Over TLS the bytes may be a record that holds no data (a TLS 1.3 session ticket, which
    // comes first): peek without waiting, so that only data or the end counts, and otherwise
    // wait on for the rest of the time.
    const int flags = fcntl(from_server_, F_GETFL);
    fcntl(from_server_, F_SETFL, flags | O_NONBLOCK);
    char c;
    ERR_clear_error();
    const int n = SSL_peek(tls_, &c, 1);
    const int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(tls_, n);
    fcntl(from_server_, F_SETFL, flags);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return true;
    if (left <= 0) return false;
  }
}

bool Connection::read_answer(std::string* answer) {
  char buf[65536];
  while (!ends_with_prompt(pending_)) {
    long n = receive(buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *answer = std::move(pending_);
      pending_.clear();
      return false;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
  *answer = pending_.substr(0, pending_.size() - (sizeof(wire::kPrompt) - 1));
  pending_.clear();
  if (!greeted_ && child_ <= 0) set_reset_on_close(to_server_, false);
  greeted_ = true;
  return true;
}

bool Connection::send_request(const std::string& bytes, std::string* error) {
  if (tls_ != nullptr) {
    // One record: SSL_write sends the whole request or fails.
    errno = 0;
    if (SSL_write(tls_, bytes.data(), static_cast<int>(bytes.size())) > 0) return true;
    *error = errno != 0 ? std::strerror(errno) : "the TLS session broke";
    return false;
  }
  ssize_t n;
  do {
    n = write(to_server_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  *error = n < 0 ? std::strerror(errno) : "the server took only part of it";
  return false;
}
