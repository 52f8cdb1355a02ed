// WebSocket sessions with the web endpoint of scripts/serve, and plain HTTP requests for its
// page, for the tests of that endpoint: the opening handshake, masked frames from the client and
// the server's frames read one by one. Over a NetSession, so with TLS too and from any address of
// 127/8; every wait has a deadline.
#ifndef KORVANE_TESTS_SUPPORT_WS_CLIENT_H_
#define KORVANE_TESTS_SUPPORT_WS_CLIENT_H_

#include <optional>
#include <string>

#include "support/net_session.h"

struct WsOptions {
  NetOptions net;
  std::string path = "/ws";
  std::optional<std::string> origin;  // the Origin header, when there is one
  std::string host;                   // the Host header; empty: 127.0.0.1:PORT
  std::string early;                  // frames sent with the upgrade request, before its answer
};

class WsSession {
 public:
  // Connects to 127.0.0.1:`port` and asks for the upgrade; status() tells the answer.
  explicit WsSession(int port, const WsOptions& options = {});
  WsSession(const WsSession&) = delete;
  WsSession& operator=(const WsSession&) = delete;

  // The HTTP status of the answer to the upgrade: 101 when it was taken, 0 when none came.
  int status() const { return status_; }
  bool open() const { return status_ == 101; }

  // Sends `payload` as one message of `opcode` (2: binary), cut into `fragments` frames.
  bool send(const std::string& payload, int fragments = 1, int opcode = 2);
  // Sends frames made with frame(), as they are.
  bool send_frames(const std::string& frames) { return open() && net_.send(frames); }
  // One frame from a client: `first` is its first byte (FIN, reserved bits and opcode), and it
  // is masked unless `masked` is false, which the protocol forbids.
  static std::string frame(int first, const std::string& payload, bool masked = true);

  // Reads messages until their bytes so far end with the prompt "> " and stores what came before
  // it. False, with *text holding what came, when the connection closed or the deadline passed.
  bool read_until_prompt(std::string* text, int deadline_ms = 30000);

  // Reads until the server's close frame or the end of the stream; *text gets the bytes of the
  // messages before it, *code the close code (0: no close frame, -1: neither came in time).
  // True when the connection ended within the deadline.
  bool read_to_close(std::string* text, int* code, int deadline_ms = 30000);

  // True when no frame arrives and the connection stays open for `ms` milliseconds.
  bool quiet_for(int ms) { return pending_.empty() && net_.quiet_for(ms); }

  // Ends the client's side of the stream, without a close frame; or resets the connection.
  bool close_write() { return net_.close_write(); }
  void abort() { net_.abort(); }

 private:
  // Reads one frame from the server; false when none came whole within the deadline.
  bool read_frame(int* opcode, std::string* payload, int deadline_ms);

  NetSession net_;
  int status_ = 0;
  std::string pending_;  // message bytes not yet handed out
};

struct HttpAnswer {
  int status = 0;  // 0 when no answer came
  std::string headers;
  std::string body;
};

struct HttpRequest {
  std::string method = "GET";
  std::string path = "/";
  std::string host;     // the Host header; empty: 127.0.0.1:PORT
  std::string headers;  // more header lines, each ending with \r\n
  bool tls = false;
};

// Sends `request` to 127.0.0.1:`port` and reads the answer to its end.
HttpAnswer http_request(int port, const HttpRequest& request);

// GETs `path` from 127.0.0.1:`port`, over TLS when `tls`, and reads the answer to its end.
HttpAnswer http_get(int port, const std::string& path, bool tls = false);

#endif  // KORVANE_TESTS_SUPPORT_WS_CLIENT_H_
