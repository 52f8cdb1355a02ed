// Opening a connection to a server (connection.h): a TCP socket to host:port, or a
// korvane-server started by the client on a pair of pipes. TLS over the socket is
// connection_tls.cc.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "korvane/connection.h"

int Connection::open_socket(const std::string& host, const std::string& port, std::string* error) {
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
    *error = "cannot connect to " + host + ":" + port + ": " + std::strerror(last_errno);
    return -1;
  }
  // Each request goes out at once; there is never a second one waiting behind it.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

std::unique_ptr<Connection> Connection::connect_tcp(const std::string& host,
                                                    const std::string& port, std::string* error) {
  int fd = open_socket(host, port, error);
  if (fd < 0) return nullptr;
  return std::unique_ptr<Connection>(new Connection(fd, fd, -1));
}

std::unique_ptr<Connection> Connection::start_server(const std::string& path, std::string* error) {
  int in[2], out[2], report[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    *error = "cannot start " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  pid_t pid = fork();
  if (pid < 0) {
    *error = "cannot start " + path + ": " + std::strerror(errno);
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
    *error = "cannot start " + path + ": " + std::strerror(err);
    return nullptr;
  }
  return std::unique_ptr<Connection>(new Connection(in[1], out[0], pid));
}
