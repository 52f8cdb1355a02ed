// The byte streams to one server session: a TCP connection, plain or TLS, or the pipes of a
// korvane-server that the client started itself. The server reads each request with one read and
// prints the prompt "> " when it is ready for the next, so the client writes a request with one
// write and reads the answer up to the prompt before it writes again: requests are never merged or
// split. Over TLS a request (at most 10240 bytes) goes out as one record, which the far end
// decrypts whole, so it arrives in one piece however the network cuts it into segments.
#ifndef KORVANE_TOOLS_KORVANE_CONNECTION_H_
#define KORVANE_TOOLS_KORVANE_CONNECTION_H_

#include <sys/types.h>

#include <memory>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// How a TLS connection checks the server.
struct TlsSettings {
  // PEM file of the certificates to trust; empty: the system's store.
  std::string ca_file;
  // Skip checking the server's certificate and name (anyone on the path can then read along).
  bool insecure = false;
};

class Connection {
 public:
  // Connects to a server at host:port. Null, with *error set, when that fails.
  static std::unique_ptr<Connection> connect_tcp(const std::string& host, const std::string& port,
                                                 std::string* error);

  // Connects to a server at host:port and starts TLS, checking that the server's certificate is
  // trusted and made out to `host` unless settings.insecure. Null, with *error set, when the
  // connection or the handshake fails.
  static std::unique_ptr<Connection> connect_tls(const std::string& host, const std::string& port,
                                                 const TlsSettings& settings, std::string* error);

  // Starts the program at `path` with its standard input and output on pipes (standard error
  // stays the client's). Null, with *error set, when it cannot be started.
  static std::unique_ptr<Connection> start_server(const std::string& path, std::string* error);

  // Ends the session: closes the streams (over TLS after saying so), so a server on pipes sees
  // the end of its input, and waits for that server to exit.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  enum class Kind { kTcp, kTls, kPipes };
  Kind kind() const {
    return child_ > 0 ? Kind::kPipes : tls_ != nullptr ? Kind::kTls : Kind::kTcp;
  }

  // True when the server has written something, or closed its side, within `ms` milliseconds
  // (0: already). Between requests, that can only be the end of the session.
  bool wait_readable(int ms);

  // Reads until the server's prompt and stores what it printed before it in *answer. False when
  // the server closed its side first; *answer then holds whatever it printed.
  bool read_answer(std::string* answer);

  // Writes one request with one write. False, with *error set, when it cannot be written whole.
  bool send_request(const std::string& bytes, std::string* error);

 private:
  Connection(int to_server, int from_server, pid_t child)
      : to_server_(to_server), from_server_(from_server), child_(child) {}

  // One read of what the server sent, decrypted over TLS: as read(2).
  long receive(char* buf, size_t size);

  // A connected TCP socket to host:port, or -1 with *error set.
  static int open_socket(const std::string& host, const std::string& port, std::string* error);
  // Until the server has greeted, a close (the client giving up the wait, however it ends) resets
  // the connection instead of ending it: a connection waiting in the listener's backlog for a
  // place is then seen there to be gone, and gets no session (scripts/lib/session). After the
  // greeting a close is the usual end, so that the server sees the end of its input.
  static void set_reset_on_close(int fd, bool reset);

  int to_server_;
  int from_server_;  // the same descriptor as to_server_ for TCP
  pid_t child_;      // the server started on pipes, or -1
  SSL_CTX* tls_context_ = nullptr;
  SSL* tls_ = nullptr;  // set over TLS
  std::string pending_;
  bool greeted_ = false;  // the first prompt has come
};

#endif  // KORVANE_TOOLS_KORVANE_CONNECTION_H_
