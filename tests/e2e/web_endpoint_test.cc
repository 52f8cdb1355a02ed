// The web endpoint of scripts/serve (--web-port): one WebSocket message is one request with the
// answer the server gives on standard input; a message over the server's read size is refused and
// ends the connection without reaching the server; other origins are refused; the caps on
// sessions hold over WebSocket as over TCP; the page is served at /; TLS gives https and wss.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/client.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/reaper.h"
#include "support/server_process.h"
#include "support/test_db.h"
#include "support/ws_client.h"

namespace {

constexpr int kXrp = 2;
constexpr size_t kReadSize = 10240;  // the server's read: the largest request
constexpr int kMessageTooBig = 1009;
constexpr char kPolicy[] = "default-src 'self'; object-src 'none'";
const std::string kIndex = std::string(
                               "<!doctype html><meta http-equiv=\"Content-Security-Policy\" "
                               "content=\"") +
                           kPolicy + "\"><title>korvane</title>\n";
constexpr char kScript[] = "export const answer = 42;\n";

// The prompts in `output`: the answers here hold no "> " of their own.
int prompts_in(const std::string& output) {
  int n = 0;
  for (size_t at = 0; (at = output.find("> ", at)) != std::string::npos; at += 2) ++n;
  return n;
}

WsOptions from(const std::string& source, bool tls = false) {
  WsOptions options;
  options.net.source = source;
  options.net.tls = tls;
  return options;
}

class WebEndpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    page.write("index.html", kIndex);
    page.write("app.js", kScript);
  }

  std::unique_ptr<ServedOverTcp> serve(ServeOptions options = {}) {
    options.web = true;
    options.web_root = page.dir();
    return std::make_unique<ServedOverTcp>(options);
  }

  // A WebSocket session that has been greeted.
  std::unique_ptr<WsSession> greeted(int port, const WsOptions& options = {}) {
    auto ws = std::make_unique<WsSession>(port, options);
    std::string text;
    EXPECT_TRUE(ws->open()) << ws->status();
    EXPECT_TRUE(ws->read_until_prompt(&text));
    EXPECT_EQ(text, "");
    return ws;
  }

  TestDb db;
  TempFolder page;
};

// The same requests, in the same order, to a server on pipes and over WebSocket, both signed in
// to one account: every answer is the same, byte for byte, whether the message came in one frame
// or in several.
TEST_F(WebEndpoint, EachMessageIsOneRequestAnsweredAsOnStandardInput) {
  db.set_known_market();
  auto served = serve();
  const std::string name = unique_name("ws");
  ServerProcess piped;
  piped.read_until_prompt();
  piped.send(envelopes::signup(name, "pw"));
  std::unique_ptr<WsSession> ws = greeted(served->web_port());
  struct Case {
    std::string what;
    std::string bytes;
    int fragments;
    int answers;  // each with its prompt
  };
  const std::vector<Case> cases = {
      {"sign-in", envelopes::bytes_of(envelopes::signin(name, "pw")), 1, 1},
      {"market", envelopes::bytes_of(envelopes::view_market()), 1, 1},
      {"market in three frames", envelopes::bytes_of(envelopes::view_market()), 3, 1},
      {"balances", envelopes::bytes_of(envelopes::view_balance()), 1, 1},
      {"history", envelopes::bytes_of(envelopes::history(kXrp, 1)), 2, 1},
      {"a second sign-in", envelopes::bytes_of(envelopes::signin(name, "pw")), 1, 1},
      {"an unknown event", envelopes::bytes_of(envelopes::event(0x10000077)), 1, 1},
      {"the largest request, no envelope", std::string(kReadSize, '\xff'), 1, 1},
      {"the largest request in five frames", std::string(kReadSize, '\xff'), 5, 1},
      {"two envelopes in one message",
       envelopes::bytes_of(envelopes::view_balance()) +
           envelopes::bytes_of(envelopes::view_market()),
       1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The answers come in one read or in two, on either side: read on to the last prompt.
    std::string expected = piped.send(c.bytes) + "> ";
    while (prompts_in(expected) < c.answers) expected += piped.read_until_prompt() + "> ";
    ASSERT_TRUE(ws->send(c.bytes, c.fragments));
    std::string got, more;
    while (prompts_in(got) < c.answers && ws->read_until_prompt(&more)) got += more + "> ";
    EXPECT_EQ(got, expected);
  }
  // A message sent right behind the upgrade request, before its answer, is read all the same.
  const std::string market = envelopes::bytes_of(envelopes::view_market());
  WsOptions eager;
  eager.early = WsSession::frame(0x82, market);
  WsSession early(served->web_port(), eager);
  // The greeting and the answer come in one message or in two: read on to the second prompt.
  std::string got, more;
  while (prompts_in(got) < 2 && early.read_until_prompt(&more)) got += more + "> ";
  EXPECT_EQ(got, "> " + piped.send(market) + "> ");
}

// A message the endpoint must not pass on closes the connection with its code, and none of it
// reaches the server: a message over the read size ("message too big"; had it been cut at the
// read size, its rest, a sign-up, would have been a request of its own), a text message, and
// frames the protocol forbids. A ping between the frames of a message is answered and the
// message still passes.
TEST_F(WebEndpoint, AForbiddenMessageEndsTheConnectionAndReachesNoServer) {
  auto served = serve();
  using F = WsSession;
  constexpr int kBinary = 0x82, kText = 0x81, kFirst = 0x02, kLast = 0x80, kPing = 0x89;
  struct Case {
    std::string what;
    std::function<std::string(const std::string&)> frames;  // of a sign-up's bytes
    int code;                                               // 0: the sign-up runs
  };
  const std::vector<Case> cases = {
      {"one frame over the read size",
       [](const std::string& m) { return F::frame(kBinary, std::string(kReadSize, '\xff') + m); },
       kMessageTooBig},
      {"four frames over the read size",
       [](const std::string& m) {
         const std::string big = std::string(kReadSize, '\xff') + m;
         const size_t q = big.size() / 4 + 1;
         return F::frame(kFirst, big.substr(0, q)) + F::frame(0, big.substr(q, q)) +
                F::frame(0, big.substr(2 * q, q)) + F::frame(kLast, big.substr(3 * q));
       },
       kMessageTooBig},
      {"three times the read size",
       [](const std::string& m) {
         return F::frame(kBinary, std::string(3 * kReadSize, '\xff') + m);
       },
       kMessageTooBig},
      {"a text message", [](const std::string& m) { return F::frame(kText, m); }, 1003},
      {"an unmasked frame", [](const std::string& m) { return F::frame(kBinary, m, false); }, 1002},
      {"a reserved bit", [](const std::string& m) { return F::frame(kBinary | 0x40, m); }, 1002},
      {"a continuation with no start", [](const std::string& m) { return F::frame(kLast, m); },
       1002},
      {"a new message inside another",
       [](const std::string& m) { return F::frame(kFirst, "") + F::frame(kBinary, m); }, 1002},
      {"a ping longer than a control frame may be",
       [](const std::string& m) {
         return F::frame(kPing, std::string(126, 'p')) + F::frame(kBinary, m);
       },
       1002},
      {"a ping between two frames",
       [](const std::string& m) {
         return F::frame(kFirst, m.substr(0, 3)) + F::frame(kPing, "hi") +
                F::frame(kLast, m.substr(3));
       },
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = unique_name("bad");
    std::unique_ptr<WsSession> ws = greeted(served->web_port());
    ASSERT_TRUE(ws->send_frames(c.frames(envelopes::bytes_of(envelopes::signup(name, "pw")))));
    std::string text;
    int code = -1;
    if (c.code == 0) {
      EXPECT_TRUE(ws->read_until_prompt(&text));
      EXPECT_NE(db.account_id(name), 0);
      continue;
    }
    EXPECT_TRUE(ws->read_to_close(&text, &code));
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(text, "");
    ws.reset();
    EXPECT_TRUE(wait_for_no_server_connections(db));  // its server has ended
    EXPECT_EQ(db.account_id(name), 0);
  }
}

// An upgrade from the page's own origin, one of --web-origin, or a client that names none is
// taken and greeted; any other origin is refused with 403. The Host must name this endpoint (its
// address, localhost, or a host of --web-origin): a name rebound to its address, with the
// matching Origin, is refused with 403, its page too; a client with no Origin is no browser.
TEST_F(WebEndpoint, OnlyThePagesOwnOriginAndTheAllowedOnesOpenSessions) {
  ServeOptions options;
  options.web_origin = "https://app.example,http://localhost:1234";
  auto served = serve(options);
  const std::string port = std::to_string(served->web_port());
  const std::string own = "http://127.0.0.1:" + port;
  const std::string rebound = "rebind.attacker.example:" + port;
  struct Case {
    std::optional<std::string> origin;
    int status;
    std::string host = "";  // 127.0.0.1:PORT
  };
  for (const Case& c :
       {Case{std::nullopt, 101}, Case{own, 101}, Case{"https://app.example", 101},
        Case{"http://localhost:1234", 101}, Case{"http://evil.example", 403}, Case{"null", 403},
        Case{"https://127.0.0.1:" + port, 403}, Case{own + "0", 403},
        Case{"http://app.example", 403}, Case{"http://" + rebound, 403, rebound},
        Case{"https://app.example", 403, rebound}, Case{std::nullopt, 101, rebound},
        Case{"http://localhost:" + port, 101, "localhost:" + port},
        Case{"https://app.example", 101, "app.example"},
        Case{"http://127.0.0.1:" + port, 403, "127.0.0.1:1" + port}}) {
    SCOPED_TRACE(c.origin.value_or("no origin") + " to " + c.host);
    WsOptions ws_options;
    ws_options.origin = c.origin;
    ws_options.host = c.host;
    WsSession ws(served->web_port(), ws_options);
    EXPECT_EQ(ws.status(), c.status);
    std::string text;
    EXPECT_EQ(ws.read_until_prompt(&text), c.status == 101);
  }
  HttpRequest page;
  page.host = rebound;
  EXPECT_EQ(http_request(served->web_port(), page).status, 403);
}

// The per-source cap counts WebSocket and TCP sessions of an address together, and closes the
// extra connection with its closing line and no prompt; other addresses are served.
TEST_F(WebEndpoint, PerSourceCapHoldsAcrossWebSocketAndTcp) {
  ServeOptions options;
  options.max_per_source = 1;
  auto served = serve(options);
  std::string text;
  auto first = greeted(served->web_port(), from("127.0.0.1"));
  {
    WsSession extra(served->web_port(), from("127.0.0.1"));
    EXPECT_TRUE(extra.open());
    const std::string closing =
        "closed: too many sessions from your address (the most is 1); end one or try later\n";
    EXPECT_FALSE(extra.read_until_prompt(&text));
    EXPECT_EQ(text, closing);
    NetSession over_tcp(served->port());
    EXPECT_FALSE(over_tcp.read_until_prompt(&text));
    EXPECT_EQ(text, closing);
  }
  auto other = greeted(served->web_port(), from("127.0.0.2"));
  first.reset();  // once its server has ended, the address may start another
  for (int i = 0; i < 3000 && served->sessions() != 1; ++i) usleep(10000);
  ASSERT_EQ(served->sessions(), 1);
  auto again = greeted(served->web_port(), from("127.0.0.1"));
}

// Connections beyond --max-sessions wait, ungreeted, until a session ends.
TEST_F(WebEndpoint, ConnectionsBeyondTheHostCapWaitUntilASessionEnds) {
  ServeOptions options;
  options.max_sessions = 1;
  options.max_per_source = 0;
  auto served = serve(options);
  auto first = greeted(served->web_port());
  WsSession waiting(served->web_port());
  ASSERT_TRUE(waiting.open());
  EXPECT_TRUE(waiting.quiet_for(1500)) << "a second session started beyond the cap of one";
  first.reset();
  std::string text;
  EXPECT_TRUE(waiting.read_until_prompt(&text));
  EXPECT_EQ(text, "");
}

// A client that sent a sign-up while it waited for a place, and went before the place came, gets
// no session: its sign-up never runs. Over WebSocket whether it closed, ended its stream or reset
// it; over TCP when it reset it (as the korvane client does when it gives up waiting). A TCP
// client that only ended its side (its input piped) is answered. The next connection is greeted
// once the one before it has been settled either way.
TEST_F(WebEndpoint, AClientGoneBeforeItsPlaceComesGetsNoSession) {
  ServeOptions options;
  options.max_sessions = 1;
  options.max_per_source = 0;
  auto served = serve(options);
  enum Leaves { kCloseFrame, kEnd, kReset };
  struct Case {
    std::string what;
    bool web;
    Leaves leaves;
  };
  for (const Case& c : {Case{"close frame", true, kCloseFrame}, Case{"end of stream", true, kEnd},
                        Case{"reset", true, kReset}, Case{"reset over TCP", false, kReset},
                        Case{"half-close over TCP: answered", false, kEnd}}) {
    SCOPED_TRACE(c.what);
    const std::string name = unique_name("left");
    const std::string signup = envelopes::bytes_of(envelopes::signup(name, "pw"));
    const bool answered = !c.web && c.leaves == kEnd;
    std::string text;
    auto holder = c.web ? greeted(served->web_port()) : nullptr;
    auto tcp_holder = std::make_unique<NetSession>(served->port());
    ASSERT_TRUE(c.web || tcp_holder->read_until_prompt(&text));
    WsSession ws(served->web_port());
    NetSession tcp(served->port());
    ASSERT_TRUE(c.web ? ws.send(signup) : tcp.send(signup));
    if (c.leaves == kCloseFrame) {
      ASSERT_TRUE(ws.send(std::string("\x03\xe8", 2), 1, 8));
    }
    if (c.leaves == kReset) c.web ? ws.abort() : tcp.abort();
    if (c.leaves != kReset) {
      ASSERT_TRUE(c.web ? ws.close_write() : tcp.close_write());
    }
    holder.reset();
    tcp_holder.reset();
    // The next connection is greeted once the one before it has been settled, either way.
    EXPECT_TRUE(c.web ? bool(greeted(served->web_port()))
                      : NetSession(served->port()).read_until_prompt(&text));
    if (answered) {
      EXPECT_TRUE(tcp.read_to_end(&text));
      EXPECT_EQ(text, "> " + answers::signup(name, db.account_id(name)) + "> ");
    }
    EXPECT_EQ(db.account_id(name) != 0, answered);
  }
}

// Connections waiting for a place are bounded: those of one address count against the
// per-address cap with its sessions (beyond it, the closing line at once), all of them against
// --backlog (beyond it, a close with 1013 "try again later"); each holds a few messages, the rest
// waits in its socket; one that ends its stream while it waits is dropped.
TEST_F(WebEndpoint, ConnectionsWaitingForAPlaceAreBounded) {
  ServeOptions options;
  options.max_sessions = 1;
  options.max_per_source = 2;
  options.backlog = 2;
  auto served = serve(options);
  auto holder = greeted(served->web_port(), from("127.0.0.1"));
  WsSession waiting(served->web_port(), from("127.0.0.1"));
  ASSERT_TRUE(waiting.open());
  std::string text;
  {
    WsSession extra(served->web_port(), from("127.0.0.1"));
    EXPECT_FALSE(extra.read_until_prompt(&text));
    EXPECT_EQ(
        text,
        "closed: too many sessions from your address (the most is 2); end one or try later\n");
  }
  WsSession other(served->web_port(), from("127.0.0.2"));
  ASSERT_TRUE(other.open());
  {
    WsSession beyond(served->web_port(), from("127.0.0.3"));
    int code = 0;
    EXPECT_TRUE(beyond.read_to_close(&text, &code));
    EXPECT_EQ(code, 1013);
  }
  // More than the endpoint takes ahead from a waiting connection (so it reads no further), yet
  // within what the kernel takes: the end of the stream reaches the endpoint's socket.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(waiting.send(std::string(10000, '\xff')));
  ASSERT_TRUE(waiting.close_write());
  int code = 0;
  EXPECT_TRUE(waiting.read_to_close(&text, &code));
  EXPECT_EQ(text, "");
}

// The server's idle limit (2 seconds in this build) ends a WebSocket session as it ends a TCP
// one: a normal close, and the server's database connection closed, not dropped.
TEST_F(WebEndpoint, IdleSessionEndsWithANormalClose) {
  const std::string aborted_before = aborted_clients(db);
  ServeOptions options;
  options.server = KORVANE_SHORT_IDLE_SERVER_PATH;
  auto served = serve(options);
  std::unique_ptr<WsSession> ws = greeted(served->web_port());
  std::string text;
  int code = 0;
  EXPECT_TRUE(ws->read_to_close(&text, &code));
  EXPECT_EQ(code, 1000);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(wait_for_no_server_connections(db));
  EXPECT_EQ(aborted_clients(db), aborted_before);
}

// Every path but /ws is a file of the page's folder, or 404; /ws without an upgrade is 426. HEAD
// answers as GET without the body, other methods 405. An HTML file's policy (its <meta>) is
// also a header. A file comes with its ETag, and a request that names it gets 304 and no body.
TEST_F(WebEndpoint, ThePageIsServedFromItsFolder) {
  auto served = serve();
  struct Case {
    std::string path;
    int status;
    std::string header;  // a header line of the answer
    std::string body;
    std::string method = "GET";
  };
  const std::string html = "Content-Type: text/html; charset=utf-8";
  const std::vector<Case> cases = {
      {"/", 200, html, kIndex},
      {"/index.html", 200, "Content-Security-Policy: " + std::string(kPolicy), kIndex},
      {"/app.js?v=1", 200, "Content-Type: text/javascript", kScript},
      {"/missing.css", 404, "", "not found\n"},
      {"/../../../etc/passwd", 404, "", "not found\n"},
      {"/%2e%2e/%2e%2e/etc/passwd", 404, "", "not found\n"},
      {"/index.html%00.js", 404, "", "not found\n"},
      {"/%00", 404, "", "not found\n"},
      {"/ws", 426, "", ""},
      {"/", 200, "Content-Length: " + std::to_string(kIndex.size()), "", "HEAD"},
      {"/", 405, "Allow: GET, HEAD", "method not allowed\n", "POST"},
      {"/ws", 405, "Allow: GET, HEAD", "method not allowed\n", "OPTIONS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    HttpRequest request;
    request.method = c.method;
    request.path = c.path;
    HttpAnswer answer = http_request(served->web_port(), request);
    EXPECT_EQ(answer.status, c.status) << answer.headers;
    if (!c.header.empty()) {
      EXPECT_NE(answer.headers.find("\r\n" + c.header + "\r\n"), std::string::npos)
          << answer.headers;
    }
    if (c.status != 426) {
      EXPECT_EQ(answer.body, c.body);
    }
  }
  HttpAnswer first = http_get(served->web_port(), "/app.js");
  const size_t at = first.headers.find("\r\nETag: ");
  ASSERT_NE(at, std::string::npos) << first.headers;
  HttpRequest again;
  again.path = "/app.js";
  again.headers = "If-None-Match: " +
                  first.headers.substr(at + 8, first.headers.find("\r\n", at + 2) - at - 8) +
                  "\r\n";
  HttpAnswer cached = http_request(served->web_port(), again);
  EXPECT_EQ(cached.status, 304) << again.headers;
  EXPECT_EQ(cached.body, "");
  page.write("app.js", "export const answer = 4343;\n");  // another file: another ETag
  EXPECT_EQ(http_request(served->web_port(), again).status, 200);
}

// With a certificate, the page is https and the sessions wss: a sign-up goes through.
TEST_F(WebEndpoint, TlsGivesHttpsAndWss) {
  TestCertificate certificate("DNS:localhost,IP:127.0.0.1");
  auto served = serve(certificate.tls_serving());
  EXPECT_EQ(http_get(served->web_port(), "/", true).body, kIndex);
  EXPECT_NE(served->banner().find(
                "  page:    https://127.0.0.1:" + std::to_string(served->web_port()) + "/"),
            std::string::npos)
      << served->banner();
  auto ws = greeted(served->web_port(), from("127.0.0.1", true));
  const std::string name = unique_name("wss");
  ASSERT_TRUE(ws->send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
  std::string text;
  ASSERT_TRUE(ws->read_until_prompt(&text));
  EXPECT_EQ(text.substr(0, text.find('\n')), "acc_id: " + std::to_string(db.account_id(name)));
}

// The Python example of docs/protocol.md, run as the page shows it against the endpoint: its two
// commands as written, at the top of a checkout (here a folder whose proto/ is the checkout's),
// with the endpoint's address and a new name in place of the page's. It signs up, signs in, reads
// the market, buys and reads the balances, each answer as the server gives it.
TEST_F(WebEndpoint, TheProtocolPagesPythonExampleTrades) {
  std::ifstream doc(std::string(KORVANE_SOURCE_DIR) + "/docs/protocol.md");
  std::string line, program;
  std::vector<std::string> commands;
  while (std::getline(doc, line) && line != "## An example in Python") {
  }
  while (std::getline(doc, line) && line != "```sh") {
  }
  while (std::getline(doc, line) && line != "```") commands.push_back(line);
  while (std::getline(doc, line) && line != "```python") {
  }
  while (std::getline(doc, line) && line != "```") program += line + "\n";
  ASSERT_NE(program, "");
  ASSERT_EQ(commands.size(), 2u);
  TempFolder scratch;
  scratch.write("trade.py", program);
  ASSERT_EQ(symlink((std::string(KORVANE_SOURCE_DIR) + "/proto").c_str(),
                    (scratch.dir() + "/proto").c_str()),
            0);
  db.set_known_market();
  auto served = serve();
  const std::string name = unique_name("py");
  std::string python = commands[1];
  const std::string page_url = "ws://127.0.0.1:8080/ws alice ";
  const size_t url_at = python.find(page_url);
  ASSERT_NE(url_at, std::string::npos) << python;
  python.replace(url_at, page_url.size(),
                 "ws://127.0.0.1:" + std::to_string(served->web_port()) + "/ws " + name + " ");
  ASSERT_EQ(python.substr(0, 8), "python3 ");
  const std::string run = "cd " + scratch.dir() + " && " + commands[0] +
                          " 2>protoc.err && /usr/bin/" + python + " >out 2>&1";
  EXPECT_EQ(std::system(run.c_str()), 0) << scratch.read("out");
  const long id = db.account_id(name);
  EXPECT_EQ(scratch.read("out"),
            answers::signup(name, id) + answers::known_market() +
                answers::order("XRP", 100, 50, 1, true, 125, std::to_string(id)) +
                answers::balances(100000000 - 125, 0, 0, 1, 0));
}

}  // namespace
