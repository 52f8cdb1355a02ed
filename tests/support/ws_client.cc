#include "support/ws_client.h"

#include <chrono>
#include <cstdint>

#include "support/prompt.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kContinuation = 0, kClose = 8, kPing = 9, kPong = 10;
constexpr unsigned char kMask[4] = {0x37, 0xfa, 0x21, 0x3d};

int ms_left(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// One frame from the client, masked as the protocol requires.
std::string client_frame(int opcode, bool fin, const std::string& payload) {
  return WsSession::frame((fin ? 0x80 : 0) | opcode, payload);
}

// The head of an HTTP answer, up to and without its blank line.
bool read_head(NetSession* net, std::string* head, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  std::string byte;
  while (head->size() < 4 || head->compare(head->size() - 4, 4, "\r\n\r\n") != 0) {
    if (!net->read_exact(1, &byte, ms_left(deadline))) return false;
    *head += byte;
  }
  head->resize(head->size() - 4);
  return true;
}

int status_of(const std::string& head) {
  return head.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(head.c_str() + 9) : 0;
}

}  // namespace

WsSession::WsSession(int port, const WsOptions& options) : net_(port, options.net) {
  const std::string host =
      options.host.empty() ? "127.0.0.1:" + std::to_string(port) : options.host;
  std::string request = "GET " + options.path + " HTTP/1.1\r\nHost: " + host +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\n";
  if (options.origin) request += "Origin: " + *options.origin + "\r\n";
  std::string head;
  if (net_.send(request + "\r\n" + options.early) && read_head(&net_, &head, 30000)) {
    status_ = status_of(head);
  }
}

std::string WsSession::frame(int first, const std::string& payload, bool masked) {
  std::string f(1, static_cast<char>(first));
  const uint64_t n = payload.size();
  const int mask_bit = masked ? 0x80 : 0;
  if (n < 126) {
    f += static_cast<char>(mask_bit | n);
  } else if (n < 65536) {
    f += static_cast<char>(mask_bit | 126);
    for (int shift : {8, 0}) f += static_cast<char>((n >> shift) & 0xff);
  } else {
    f += static_cast<char>(mask_bit | 127);
    for (int shift = 56; shift >= 0; shift -= 8) f += static_cast<char>((n >> shift) & 0xff);
  }
  if (!masked) return f + payload;
  f.append(reinterpret_cast<const char*>(kMask), 4);
  for (size_t i = 0; i < payload.size(); ++i) f += static_cast<char>(payload[i] ^ kMask[i % 4]);
  return f;
}

bool WsSession::send(const std::string& payload, int fragments, int opcode) {
  const size_t piece = payload.size() / static_cast<size_t>(fragments) + 1;
  std::string frames;
  for (int i = 0; i < fragments; ++i) {
    frames += client_frame(i == 0 ? opcode : kContinuation, i == fragments - 1,
                           payload.substr(std::min(payload.size(), i * piece), piece));
  }
  return open() && net_.send(frames);
}

bool WsSession::read_frame(int* opcode, std::string* payload, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  std::string head, more;
  if (!net_.read_exact(2, &head, ms_left(deadline))) return false;
  *opcode = head[0] & 0x0f;
  uint64_t n = static_cast<unsigned char>(head[1]) & 0x7f;
  if (n >= 126) {
    if (!net_.read_exact(n == 126 ? 2 : 8, &more, ms_left(deadline))) return false;
    n = 0;
    for (unsigned char c : more) n = (n << 8) | c;
  }
  return net_.read_exact(n, payload, ms_left(deadline));  // a server's frames are not masked
}

bool WsSession::read_until_prompt(std::string* text, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  int opcode = 0;
  std::string payload;
  while (!take_answer(&pending_, text)) {
    if (!open() || !read_frame(&opcode, &payload, ms_left(deadline)) || opcode == kClose) {
      *text = std::move(pending_);
      pending_.clear();
      return false;
    }
    if (opcode == kPing) net_.send(client_frame(kPong, true, payload));
    if (opcode != kPing && opcode != kPong) pending_ += payload;
  }
  return true;
}

bool WsSession::read_to_close(std::string* text, int* code, int deadline_ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  int opcode = 0;
  std::string payload;
  *code = -1;
  while (open() && ms_left(deadline) > 0) {
    if (!read_frame(&opcode, &payload, ms_left(deadline))) {
      if (ms_left(deadline) > 0) *code = 0;  // the stream ended
      break;
    }
    if (opcode == kClose) {
      *code = payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8) |
                                        static_cast<unsigned char>(payload[1])
                                  : 0;
      net_.send(client_frame(kClose, true, payload.substr(0, 2)));
      break;
    }
    if (opcode != kPing && opcode != kPong) pending_ += payload;
  }
  *text = std::move(pending_);
  pending_.clear();
  return *code >= 0;
}

HttpAnswer http_get(int port, const std::string& path, bool tls) {
  HttpRequest request;
  request.path = path;
  request.tls = tls;
  return http_request(port, request);
}

HttpAnswer http_request(int port, const HttpRequest& request) {
  NetOptions options;
  options.tls = request.tls;
  NetSession net(port, options);
  HttpAnswer answer;
  std::string text;
  const std::string host =
      request.host.empty() ? "127.0.0.1:" + std::to_string(port) : request.host;
  if (!net.send(request.method + " " + request.path + " HTTP/1.1\r\nHost: " + host + "\r\n" +
                request.headers + "Connection: close\r\n\r\n") ||
      !net.read_to_end(&text)) {
    return answer;
  }
  const size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return answer;
  answer.status = status_of(text);
  answer.headers = text.substr(0, end);
  answer.body = text.substr(end + 4);
  return answer;
}
