// Raw sessions with a served korvane over TCP or TLS, for tests of the serving itself: where a
// connection comes from, how its bytes are cut into segments, and what arrives when. Every wait
// has a deadline, so a session that hangs fails the test instead of hanging it.
#ifndef KORVANE_TESTS_SUPPORT_NET_SESSION_H_
#define KORVANE_TESTS_SUPPORT_NET_SESSION_H_

#include <string>

#include "support/client.h"
#include "support/reaper.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

struct NetOptions {
  std::string source = "127.0.0.1";  // the local address to connect from (any of 127/8)
  bool tls = false;                  // TLS, without checking the certificate
  int segment_size = 0;              // the largest TCP segment to send (TCP_MAXSEG); 0: default
};

class NetSession {
 public:
  // Connects to 127.0.0.1:`port` and, with options.tls, does the handshake. connected() tells
  // whether that worked.
  explicit NetSession(int port, const NetOptions& options = {});
  ~NetSession();
  NetSession(const NetSession&) = delete;
  NetSession& operator=(const NetSession&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Reads until the output so far ends with the prompt "> " and stores what came before it.
  // False, with *text holding what came, when the stream ended or the deadline passed first.
  bool read_until_prompt(std::string* text, int deadline_ms = 30000);

  // Reads until the far end closes the stream; true when it did within the deadline. *text gets
  // everything read.
  bool read_to_end(std::string* text, int deadline_ms = 30000);

  // Reads exactly `size` bytes into *bytes; false when the stream ended or the deadline passed
  // first. For protocols framed by lengths (WebSocket) carried over this stream.
  bool read_exact(size_t size, std::string* bytes, int deadline_ms = 30000);

  // True when nothing arrives and the stream stays open for `ms` milliseconds.
  bool quiet_for(int ms);

  // Writes `bytes` with one write (one TLS record).
  bool send(const std::string& bytes);

  // Ends the client's side of the stream and goes on reading (a half-close): over TLS the
  // close_notify alert, then the end of the TCP stream.
  bool close_write();

  // Resets the connection (a close with SO_LINGER 0), as a client that gives up does.
  void abort();

 private:
  // Reads what is there within the deadline; 0 at the end of the stream, -1 on timeout.
  long read_some(char* buf, size_t size, int timeout_ms);

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* tls_ = nullptr;
  std::string pending_;
};

// Opens `clients` connections to 127.0.0.1:`port` all at once (each connect started before any
// is waited for) and returns how many of them were greeted with the prompt before the deadline.
int greeted_at_once(int port, int clients, int deadline_ms);

// A self-signed certificate and its key in a directory of their own, removed at the end (or when
// the test process dies).
class TestCertificate {
 public:
  // `names` is the subjectAltName value, e.g. "DNS:localhost,IP:127.0.0.1"; empty: none, and
  // the subject's common name is `common_name`.
  explicit TestCertificate(const std::string& names, const std::string& common_name = "korvane");
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  std::string cert() const { return folder_.dir() + "/cert.pem"; }
  std::string key() const { return folder_.dir() + "/key.pem"; }
  // The certificate and the key in one file, as HAProxy takes them.
  std::string pem() const { return folder_.dir() + "/both.pem"; }

  // Serving over TLS with it: scripts/serve --tls-cert and --tls-key.
  ServeOptions tls_serving() const {
    ServeOptions options;
    options.tls_cert = cert();
    options.tls_key = key();
    return options;
  }

 private:
  TempFolder folder_{"cert"};
};

#endif  // KORVANE_TESTS_SUPPORT_NET_SESSION_H_
