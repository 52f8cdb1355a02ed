#include "korvane/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr char kPrompt[] = "> ";
constexpr char kNotTlsHint[] = " (if the server does not serve TLS, connect without --tls)";

// The server ends every line it prints, so its prompt is "> " at the very start of its output or
// right after a line end. Checking the line end too keeps a long line that happens to be cut
// just after a "> " from being taken for the prompt.
bool ends_with_prompt(const std::string& s) {
  size_t n = s.size();
  if (n < 2 || s.compare(n - 2, 2, kPrompt) != 0) return false;
  return n == 2 || s[n - 3] == '\n';
}

std::string errno_text(int err) { return std::strerror(err); }

// Until the server has greeted, a close (the client giving up the wait, however it ends) resets
// the connection instead of ending it: a connection waiting in the listener's backlog for a
// place is then seen there to be gone, and gets no session (scripts/lib/session). After the
// greeting a close is the usual end, so that the server sees the end of its input.
void set_reset_on_close(int fd, bool reset) {
  linger how{reset ? 1 : 0, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &how, sizeof(how));
}

// A connected TCP socket to host:port, or -1 with *error set.
int open_socket(const std::string& host, const std::string& port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot connect to " + host + ":" + port + ": " + gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  int last_errno = 0;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last_errno = errno;
      continue;
    }
    set_reset_on_close(fd, true);  // before the connection exists: from its first moment
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      last_errno = errno;
      close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *error = "cannot connect to " + host + ":" + port + ": " + errno_text(last_errno);
    return -1;
  }
  // Each request goes out at once; there is never a second one waiting behind it.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

bool is_ip_address(const std::string& host) {
  unsigned char addr[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), addr) == 1 ||
         inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

// Why a handshake failed, in a few words.
std::string handshake_error(SSL* tls, int rc) {
  long verify = SSL_get_verify_result(tls);
  if (verify != X509_V_OK) {
    return std::string("the server's certificate is not trusted: ") +
           X509_verify_cert_error_string(verify);
  }
  unsigned long queued = ERR_get_error();
  if (queued != 0) {
    char text[256];
    ERR_error_string_n(queued, text, sizeof(text));
    return std::string("TLS handshake failed: ") + text;
  }
  if (SSL_get_error(tls, rc) == SSL_ERROR_SYSCALL && errno != 0) {
    return "TLS handshake failed: " + errno_text(errno);
  }
  return "TLS handshake failed: the server closed the connection";
}

}  // namespace

std::unique_ptr<Connection> Connection::connect_tcp(const std::string& host,
                                                    const std::string& port, std::string* error) {
  int fd = open_socket(host, port, error);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Connection>(new Connection(fd, fd, -1));
}

std::unique_ptr<Connection> Connection::connect_tls(const std::string& host,
                                                    const std::string& port,
                                                    const TlsSettings& settings,
                                                    std::string* error) {
  const std::string where = "cannot connect to " + host + ":" + port + ": ";
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) {
    *error = where + "cannot set up TLS";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (!settings.insecure) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    int loaded = settings.ca_file.empty()
                     ? SSL_CTX_set_default_verify_paths(context)
                     : SSL_CTX_load_verify_locations(context, settings.ca_file.c_str(), nullptr);
    if (loaded != 1) {
      SSL_CTX_free(context);
      *error = where + "cannot read the certificates to trust" +
               (settings.ca_file.empty() ? "" : " from " + settings.ca_file);
      return nullptr;
    }
  }
  int fd = open_socket(host, port, error);
  if (fd < 0) {
    SSL_CTX_free(context);
    return nullptr;
  }
  std::unique_ptr<Connection> connection(new Connection(fd, fd, -1));
  connection->tls_context_ = context;
  SSL* tls = SSL_new(context);
  connection->tls_ = tls;
  SSL_set_fd(tls, fd);
  if (is_ip_address(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), host.c_str());
  } else {
    SSL_set_tlsext_host_name(tls, host.c_str());
    SSL_set1_host(tls, host.c_str());
  }
  ERR_clear_error();
  errno = 0;
  int rc = SSL_connect(tls);
  if (rc != 1) {
    *error = where + handshake_error(tls, rc);
    // A plain server answers the hello with its prompt, which is no TLS record.
    if (SSL_get_verify_result(tls) == X509_V_OK) *error += kNotTlsHint;
    return nullptr;
  }
  return connection;
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
    // Out of the terminal's foreground group: a Ctrl-C at the client's prompt clears the line
    // and must not stop the server. The server ends with the end of its input.
    setpgid(0, 0);
    sigset_t none;  // the prompt holds some signals back; the server starts with none held
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
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
  *answer = pending_.substr(0, pending_.size() - 2);
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
    *error = errno != 0 ? errno_text(errno) : "the TLS session broke";
    return false;
  }
  ssize_t n;
  do {
    n = write(to_server_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(bytes.size())) return true;
  *error = n < 0 ? errno_text(errno) : "the server took only part of it";
  return false;
}
