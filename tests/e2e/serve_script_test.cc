// scripts/serve itself: its options and what it prints, how it stops on a signal (every session
// ends once it has answered, and nothing of it is left running), a client that half-closes in
// the middle of a long answer, and the bound on a TLS handshake that drags on.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/client.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/reaper.h"
#include "support/sign_in.h"
#include "support/test_db.h"
#include "support/ws_client.h"

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr char kLocalhost[] = "DNS:localhost,IP:127.0.0.1";
constexpr int kXrp = 2;
constexpr auto kDeadline = std::chrono::seconds(60);

// True when process `pid` has SIGTERM pending: it came while the process was busy with a request
// (the server lets stop signals in only while it waits).
bool stop_pending(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("ShdPnd:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
    }
  }
  return false;
}

// Waits until every server of `served` has ended or holds SIGTERM pending.
bool servers_told_to_stop(const ServedOverTcp& served) {
  auto deadline = Clock::now() + kDeadline;
  for (;;) {
    bool all = true;
    for (pid_t server : served.servers()) {
      if (!stop_pending(server)) all = false;
    }
    if (all) return true;
    if (Clock::now() > deadline) return false;
    usleep(20000);
  }
}

// A session that has signed up and signed in with a new name; its account id in *account.
std::unique_ptr<NetSession> signed_in_session(TestDb& db, int port, const NetOptions& options,
                                              long* account = nullptr) {
  auto session = std::make_unique<NetSession>(port, options);
  const std::string name = unique_name("srv");
  EXPECT_TRUE(sign_in_served(*session, name));
  if (account != nullptr) *account = db.account_id(name);
  return session;
}

NetOptions tls_options(bool tls) {
  NetOptions options;
  options.tls = tls;
  return options;
}

class ServeScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { aborted_before = aborted_clients(db); }

  // Every session closed its database connection rather than dropping it.
  void expect_closed_cleanly() {
    EXPECT_TRUE(wait_for_no_server_connections(db));
    EXPECT_EQ(aborted_clients(db), aborted_before);
  }

  TestDb db;
  TestDb root{TestDb::kRoot};
  std::string aborted_before;
};

// One session idle at the prompt, one in the middle of an order that waits for a row the test
// holds: the signal to the script ends the idle one at once, and the other once its order is
// answered; then nothing of the script is left, and it exits with 128 + the signal.
TEST_F(ServeScriptTest, ASignalToTheScriptEndsEverySessionAndThenTheScript) {
  TestCertificate certificate(kLocalhost);
  struct Case {
    int signal;
    int max_per_source;  // the sessions are found with and without the cap
    bool tls;
  };
  for (const Case& c : {Case{SIGTERM, 16, false}, Case{SIGINT, 0, false}, Case{SIGHUP, 2, false},
                        Case{SIGTERM, 0, true}}) {
    SCOPED_TRACE(strsignal(c.signal) + std::string(c.tls ? " over TLS" : ""));
    db.set_market("XRP", 100, 50);
    ServeOptions options = c.tls ? certificate.tls_serving() : ServeOptions();
    options.max_per_source = c.max_per_source;
    ServedOverTcp served(options);
    ASSERT_TRUE(served.serving()) << served.err();
    auto idle = std::make_unique<NetSession>(served.port(), tls_options(c.tls));
    std::string text;
    ASSERT_TRUE(idle->read_until_prompt(&text));
    long account = 0;
    std::unique_ptr<NetSession> busy =
        signed_in_session(db, served.port(), tls_options(c.tls), &account);
    // Over TLS, a connection that has not begun its handshake is ended too.
    std::unique_ptr<NetSession> pending;
    if (c.tls) pending = std::make_unique<NetSession>(served.port());
    {
      TestDb holder;
      holder.exec("START TRANSACTION");
      holder.rows("SELECT symbol FROM kv_coininfo WHERE symbol='XRP' FOR UPDATE");
      ASSERT_TRUE(busy->send(envelopes::bytes_of(envelopes::buy(kXrp, 2, 1))));
      ASSERT_TRUE(wait_for_lock_waits(root, 1));
      served.signal(c.signal);
      ASSERT_TRUE(servers_told_to_stop(served));
      holder.exec("COMMIT");
    }
    ASSERT_TRUE(busy->read_until_prompt(&text));
    EXPECT_EQ(text, answers::order("XRP", 100, 50, 2, true, 250, std::to_string(account)));
    for (NetSession* s : {idle.get(), busy.get(), pending.get()}) {
      if (s == nullptr) continue;
      EXPECT_TRUE(s->read_to_end(&text));
      EXPECT_EQ(text, "");
    }
    idle.reset();
    busy.reset();
    pending.reset();
    EXPECT_EQ(served.wait_exit(), 128 + c.signal) << served.err();
    EXPECT_TRUE(served.wait_all_ended());
    expect_closed_cleanly();
  }
}

// The same over WebSocket: a signal to the script lets the session in the middle of an order
// answer it, then every web session ends with a normal close, and nothing is left running.
TEST_F(ServeScriptTest, ASignalEndsWebSessionsAfterTheirRequest) {
  TestCertificate certificate(kLocalhost);
  TempFolder page("page");
  for (const auto& [signal, tls] : {std::pair{SIGTERM, false}, std::pair{SIGINT, true}}) {
    SCOPED_TRACE(strsignal(signal) + std::string(tls ? " over TLS" : ""));
    db.set_market("XRP", 100, 50);
    ServeOptions options = tls ? certificate.tls_serving() : ServeOptions();
    options.web = true;
    options.web_root = page.dir();
    ServedOverTcp served(options);
    ASSERT_TRUE(served.serving()) << served.err();
    const int web_port = served.web_port();
    WsOptions ws_options;
    ws_options.net.tls = tls;
    auto idle = std::make_unique<WsSession>(web_port, ws_options);
    auto busy = std::make_unique<WsSession>(web_port, ws_options);
    const std::string name = unique_name("wsstop");
    std::string text;
    ASSERT_TRUE(sign_in_served(*busy, name));
    ASSERT_TRUE(idle->read_until_prompt(&text));
    {
      TestDb holder;
      holder.exec("START TRANSACTION");
      holder.rows("SELECT symbol FROM kv_coininfo WHERE symbol='XRP' FOR UPDATE");
      ASSERT_TRUE(busy->send(envelopes::bytes_of(envelopes::buy(kXrp, 2, 1))));
      ASSERT_TRUE(wait_for_lock_waits(root, 1));
      served.signal(signal);
      ASSERT_TRUE(servers_told_to_stop(served));
      holder.exec("COMMIT");
    }
    ASSERT_TRUE(busy->read_until_prompt(&text));
    EXPECT_EQ(text,
              answers::order("XRP", 100, 50, 2, true, 250, std::to_string(db.account_id(name))));
    for (WsSession* s : {idle.get(), busy.get()}) {
      int code = 0;
      EXPECT_TRUE(s->read_to_close(&text, &code));
      EXPECT_EQ(code, 1000);
      EXPECT_EQ(text, "");
    }
    idle.reset();
    busy.reset();
    EXPECT_EQ(served.wait_exit(), 128 + signal) << served.err();
    EXPECT_TRUE(served.wait_all_ended());
    expect_closed_cleanly();
  }
}

// scripts/run builds (nothing, here), finds the tests' database in the environment and becomes
// scripts/serve: a signal to it stops the serving the same way.
TEST_F(ServeScriptTest, ScriptsRunStopsTheSameWay) {
  if (std::string(KORVANE_SERVER_PATH) !=
      std::string(KORVANE_SOURCE_DIR) + "/build/korvane-server") {
    GTEST_SKIP() << "scripts/run builds build/, and these tests run another build";
  }
  ServeOptions options;
  options.script = "scripts/run";
  options.web = true;  // on a free port: scripts/run's own, 8080, may be taken here
  ServedOverTcp served(options);
  ASSERT_TRUE(served.serving()) << served.err();
  std::unique_ptr<NetSession> session = signed_in_session(db, served.port(), {});
  auto web = std::make_unique<WsSession>(served.web_port());
  std::string text;
  ASSERT_TRUE(web->read_until_prompt(&text));
  served.signal(SIGTERM);
  EXPECT_TRUE(session->read_to_end(&text));
  EXPECT_EQ(text, "");
  int code = 0;
  EXPECT_TRUE(web->read_to_close(&text, &code));
  EXPECT_EQ(code, 1000);
  session.reset();
  web.reset();
  EXPECT_EQ(served.wait_exit(), 128 + SIGTERM) << served.err();
  EXPECT_TRUE(served.wait_all_ended());
  expect_closed_cleanly();
}

// A client that half-closes right after a request whose answer takes long still gets all of it,
// then the end: the server answers, reads the end of its input and exits by itself. One that
// goes altogether gets nothing, but its session still ends after the request, closing its
// database connection.
TEST_F(ServeScriptTest, ClientsEndDuringALongAnswerEndTheSessionAfterIt) {
  ServedOverTcp served;
  constexpr int kTrades = 100000;
  for (bool half_close : {true, false}) {
    SCOPED_TRACE(half_close ? "half-close" : "close");
    long account = 0;
    std::unique_ptr<NetSession> session = signed_in_session(db, served.port(), {}, &account);
    ASSERT_NE(account, 0);
    db.add_history(account, 5);  // megabytes: more than every buffer between server and client
    ASSERT_TRUE(session->send(envelopes::bytes_of(envelopes::history(kXrp, 1))));
    if (!half_close) {
      session.reset();
      expect_closed_cleanly();
      continue;
    }
    ASSERT_TRUE(session->close_write());
    std::string text;
    EXPECT_TRUE(session->read_to_end(&text, 120000));
    size_t entries = 0;
    for (size_t at = 0; (at = text.find("\"trade_time\": \"86400\"", at)) != std::string::npos;
         ++at) {
      ++entries;
    }
    EXPECT_EQ(entries, static_cast<size_t>(kTrades));
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "> ");  // the whole answer and its prompt, then the end
    expect_closed_cleanly();
  }
}

// A web client that asks for an answer of megabytes and never reads holds neither its place nor
// the stop: once its server has ended (here by the idle limit, 2 seconds in this build, while it
// waited to write) the next connection is greeted; a stop signal ends the script within the
// grace after the servers have ended.
TEST_F(ServeScriptTest, AWebClientThatNeverReadsHoldsNeitherItsPlaceNorTheStop) {
  TempFolder page("page");
  ServeOptions options;
  options.server = KORVANE_SHORT_IDLE_SERVER_PATH;
  options.max_sessions = 1;
  options.web = true;
  options.web_root = page.dir();
  ServedOverTcp served(options);
  ASSERT_TRUE(served.serving()) << served.err();
  const int web_port = served.web_port();
  const std::string name = unique_name("noread");
  std::string text;
  {
    WsSession signup(web_port);
    ASSERT_TRUE(signup.read_until_prompt(&text));
    ASSERT_TRUE(signup.send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
    ASSERT_TRUE(signup.read_until_prompt(&text));
  }
  db.add_history(db.account_id(name), 5);
  // Greeted, then signed in and asking for the history, then not reading.
  auto stuck = [&](WsSession* ws) {
    EXPECT_TRUE(ws->read_until_prompt(&text));
    EXPECT_TRUE(ws->send(envelopes::bytes_of(envelopes::signin(name, "pw"))));
    EXPECT_TRUE(ws->read_until_prompt(&text));
    EXPECT_TRUE(ws->send(envelopes::bytes_of(envelopes::history(kXrp, 1))));
  };
  WsSession first(web_port);
  stuck(&first);
  WsSession next(web_port);
  stuck(&next);
  served.signal(SIGTERM);
  EXPECT_EQ(served.wait_exit(), 128 + SIGTERM) << served.err();
  EXPECT_TRUE(served.wait_all_ended());
}

// A client that sends its TLS hello a byte at a time, each well within the limit of one read,
// is closed while it is still sending; the one place it held is free again.
TEST_F(ServeScriptTest, TrickledTlsHelloIsClosedAndItsPlaceFreed) {
  TestCertificate certificate(kLocalhost);
  ServeOptions options = certificate.tls_serving();
  options.max_sessions = 1;
  ServedOverTcp served(options);
  NetSession trickling(served.port());
  ASSERT_TRUE(trickling.connected());
  // A handshake record of 16384 bytes is announced, and its bytes come one a second.
  bool closed = !trickling.send(std::string("\x16\x03\x01\x40\x00", 5));
  auto deadline = Clock::now() + kDeadline;
  while (!closed && Clock::now() < deadline) {
    closed = !trickling.quiet_for(1000) || !trickling.send(std::string(1, '\x01'));
  }
  std::string text;
  EXPECT_TRUE(closed && trickling.read_to_end(&text, 1000));
  NetSession next(served.port(), tls_options(true));
  EXPECT_TRUE(next.read_until_prompt(&text));
}

TEST(ServeScript, BadOptionsAreRefusedWithStatusTwo) {
  TestCertificate certificate(kLocalhost);
  struct Case {
    Args args;
    std::string message;
  };
  const std::string port_range = "--port takes a whole number from 1 to 65535, not ";
  std::vector<Case> cases = {
      {{"--port", "abc"}, port_range + "'abc'"},
      {{"--port", "0"}, port_range + "'0'"},
      {{"--port", "65536"}, port_range + "'65536'"},
      {{"--port", "-1"}, port_range + "'-1'"},
      {{"--port", "80x"}, port_range + "'80x'"},
      {{"--port", "99999999999999999999"}, port_range + "'99999999999999999999'"},
      {{"--port"}, "--port needs a value"},
      {{"--max-sessions", "0"}, "--max-sessions takes a whole number from 1 to 100000, not '0'"},
      {{"--backlog", "many"}, "--backlog takes a whole number from 1 to 65535, not 'many'"},
      {{"--max-per-source", "-2"},
       "--max-per-source takes a whole number from 0 to 100000, not '-2'"},
      {{"--tls-cert", certificate.cert()}, "--tls-cert and --tls-key go together"},
      {{"--web-port", "0"}, "--web-port takes a whole number from 1 to 65535, not '0'"},
      {{"--web-port", "1"}, "--web-port must differ from --port"},
      {{"--web-root", "/tmp"}, "--web-root and --web-origin need --web-port"},
      {{"--web-origin", "https://a.example"}, "--web-root and --web-origin need --web-port"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
  };
  for (const Case& c : cases) {
    ServeOptions options;
    options.args = c.args;
    if (std::find(c.args.begin(), c.args.end(), "--port") == c.args.end()) {
      options.args.insert(options.args.end(), {"--port", "1"});  // refused before anything listens
    }
    ServedOverTcp served(options);
    EXPECT_FALSE(served.serving());
    EXPECT_EQ(served.exit_status(), 2) << c.message;
    EXPECT_EQ(served.err(), "scripts/serve: " + c.message + " (see --help)\n");
    EXPECT_EQ(served.banner(), "");
  }
}

TEST(ServeScript, APortInUseIsReportedAndNothingServes) {
  ServedOverTcp first;
  ServeOptions options;
  options.args = {"--port", std::to_string(first.port())};
  ServedOverTcp second(options);
  EXPECT_FALSE(second.serving());
  EXPECT_EQ(second.exit_status(), 1);
  EXPECT_NE(second.err().find("could not listen on " + first.address()), std::string::npos)
      << second.err();
  EXPECT_EQ(second.banner(), "");
}

// The command the script prints to connect works as printed, for certificates made out to a
// name, an address or both, or only by their subject's common name, and for plain TCP.
TEST_F(ServeScriptTest, ThePrintedConnectCommandWorks) {
  const struct {
    bool tls;
    std::string names;  // subjectAltName
    std::string common_name;
  } cases[] = {
      {false, "", ""},
      {true, kLocalhost, "korvane"},
      {true, "DNS:localhost", "korvane"},
      {true, "IP:127.0.0.1", "korvane"},
      {true, "", "localhost"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names + " CN=" + c.common_name);
    std::unique_ptr<TestCertificate> certificate;
    if (c.tls) certificate = std::make_unique<TestCertificate>(c.names, c.common_name);
    ServedOverTcp served(c.tls ? certificate->tls_serving() : ServeOptions());
    ASSERT_TRUE(served.serving()) << served.err();
    const std::string out = served.banner();
    size_t at = out.find("  connect: ");
    ASSERT_NE(at, std::string::npos) << out;
    std::istringstream line(out.substr(at + 11, out.find('\n', at) - at - 11));
    Args hint;
    for (std::string word; line >> word;) hint.push_back(word);
    ASSERT_FALSE(hint.empty());
    EXPECT_EQ(hint[0].substr(hint[0].rfind('/')), "/korvane");
    std::string name = unique_name("hint");
    Args client(hint.begin() + 1, hint.end());
    client.insert(client.end(), {"-c", "signup " + name + " pw"});
    ClientRun r = run_client(client);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(db.account_id(name), 0) << out;
  }
}

}  // namespace
