// Serving on a network: TLS with scripts/serve and with the HAProxy terminator of deploy/, the
// listen backlog, whole requests over small segments, the session caps, the idle limit, and what
// a session leaves behind in the database and the journal when it ends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/client.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/reaper.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

using Args = std::vector<std::string>;

constexpr char kLocalhost[] = "DNS:localhost,IP:127.0.0.1";
constexpr char kElsewhere[] = "DNS:elsewhere.example";

// Runs a shell command; its standard output and error together, and its exit status.
std::string run_shell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) out.append(buf, n);
  int st = pclose(pipe);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

// A sign-up whose envelope is about `size` bytes, so that it spans many small segments.
korvane::KorvaneInterface big_signup(const std::string& name, size_t size) {
  return envelopes::signup(name, std::string(size - name.size() - 16, 'p'));
}

// The sign-up's whole answer, as the server prints it to one request.
std::string signup_answer(TestDb& db, const std::string& name) {
  return "acc_id: " + std::to_string(db.account_id(name));
}

NetOptions over_tls(int segment_size = 0) {
  NetOptions options;
  options.tls = true;
  options.segment_size = segment_size;
  return options;
}

NetOptions from(const std::string& source, bool tls) {
  NetOptions options;
  options.source = source;
  options.tls = tls;
  return options;
}

// Waits until `sessions` counts `n` sessions in progress (those of clients that have gone count
// until their servers have ended); false, with a test failure, when it never does.
bool wait_for_sessions(const std::function<int()>& sessions, int n) {
  int now = -1;
  for (int i = 0; i < 3000; ++i) {
    if ((now = sessions()) == n) return true;
    usleep(10000);
  }
  ADD_FAILURE() << now << " sessions in progress, never " << n;
  return false;
}

Args tls_client(const std::string& address, const Args& more) {
  Args args = {"--connect", address, "--tls"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class Serving : public ::testing::Test {
 protected:
  TestDb db;
};

TEST_F(Serving, TlsSessionSignsUpTradesAndReadsItsHistory) {
  TestCertificate certificate(kLocalhost);
  ServedOverTcp served(certificate.tls_serving());
  EXPECT_NE(served.banner().find("korvane --tls --connect " + served.address()), std::string::npos);
  db.set_market("XRP", 100, 50);
  std::string at = "1700000000";
  for (std::string host : {"localhost", "127.0.0.1"}) {  // a name and an address
    std::string name = unique_name("tls");
    std::string address = host + ":" + std::to_string(served.port());
    ClientRun r = run_client(tls_client(
        address,
        {"--ca", certificate.cert(), "-c", "signup " + name + " pw", "-c", "signin " + name + " pw",
         "-c", "buy xrp 2 --at " + at, "-c", "history xrp buy", "--human"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("symbol: XRP\nprice: 100\namount: 2\ntotal_price: 200\ntype: true\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" +
                       std::to_string(db.account_id(name))),
              "1");
  }
}

TEST_F(Serving, ClientRefusesAnUntrustedCertificateOrAnotherName) {
  TestCertificate ours(kLocalhost);
  TestCertificate elsewhere(kElsewhere);
  ServedOverTcp served(elsewhere.tls_serving());
  std::string name = unique_name("mitm");
  std::string localhost = "localhost:" + std::to_string(served.port());
  struct Case {
    Args args;
    std::string why;
  };
  std::vector<Case> refused = {
      {tls_client(served.address(), {"--ca", ours.cert()}), "self-signed certificate"},
      {tls_client(served.address(), {}), "self-signed certificate"},  // the system's store
      {tls_client(served.address(), {"--ca", elsewhere.cert()}), "IP address mismatch"},
      {tls_client(localhost, {"--ca", elsewhere.cert()}), "hostname mismatch"},
  };
  for (Case& c : refused) {
    c.args.insert(c.args.end(), {"-c", "signup " + name + " pw"});
    ClientRun r = run_client(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("certificate is not trusted: " + c.why), std::string::npos) << r.err;
    EXPECT_EQ(r.status, 1);
  }
  EXPECT_EQ(db.account_id(name), 0);  // nothing was sent

  ClientRun r = run_client(tls_client(localhost, {"--insecure", "-c", "signup " + name + " pw"}));
  EXPECT_EQ(r.err.rfind("korvane: warning: --insecure: the server's certificate is not checked", 0),
            0u)
      << r.err;
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(db.account_id(name), 0);

  r = run_client({"--connect", served.address(), "--insecure", "-c", "me"});
  EXPECT_EQ(r.err.substr(0, 42), "korvane: --insecure goes with --tls\nusage:");
  EXPECT_EQ(r.status, 2);
}

TEST_F(Serving, PlainTextOnTheTlsPortEndsOnlyThatConnection) {
  TestCertificate certificate(kLocalhost);
  ServedOverTcp served(certificate.tls_serving());
  NetSession before(served.port(), over_tls());
  std::string text;
  ASSERT_TRUE(before.read_until_prompt(&text));

  std::string name = unique_name("plain");
  for (const std::string& bytes : {envelopes::bytes_of(envelopes::signup(name, "pw")),
                                   std::string("GET / HTTP/1.0\r\n\r\n"), std::string(4096, 0)}) {
    NetSession plain(served.port());
    ASSERT_TRUE(plain.connected());
    plain.send(bytes);
    EXPECT_TRUE(plain.read_to_end(&text));  // closed, not left hanging
    EXPECT_EQ(text.find("> "), std::string::npos) << "a server answered plain text";
  }
  EXPECT_EQ(db.account_id(name), 0);

  // The session that was there goes on, and a new one starts.
  ASSERT_TRUE(before.send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
  ASSERT_TRUE(before.read_until_prompt(&text));
  EXPECT_EQ(text.substr(0, text.find('\n')), signup_answer(db, name));
  NetSession after(served.port(), over_tls());
  EXPECT_TRUE(after.read_until_prompt(&text));
}

TEST_F(Serving, TlsHelloOnThePlainPortEndsOnlyThatConnection) {
  ServedOverTcp served;
  NetSession before(served.port());
  std::string text;
  ASSERT_TRUE(before.read_until_prompt(&text));

  ClientRun r = run_client(tls_client(served.address(), {"--insecure", "-c", "me"}));
  EXPECT_NE(r.err.find("TLS handshake failed"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);

  std::string name = unique_name("hello");
  ASSERT_TRUE(before.send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
  ASSERT_TRUE(before.read_until_prompt(&text));
  EXPECT_EQ(text.substr(0, text.find('\n')), signup_answer(db, name));
}

// Over TLS a request written at once is one record, decrypted whole before it is passed on, so
// it reaches the server in one read even when it crosses the network in segments of 536 bytes.
// (Plain TCP gives no such promise: the same request has been seen split into two reads.)
void check_whole_requests_over_small_segments(TestDb& db, int port) {
  NetSession session(port, over_tls(536));
  std::string text;
  ASSERT_TRUE(session.read_until_prompt(&text));
  for (int i = 0; i < 10; ++i) {
    std::string name = unique_name("seg");
    ASSERT_TRUE(session.send(envelopes::bytes_of(big_signup(name, 9 * 1024))));
    ASSERT_TRUE(session.read_until_prompt(&text));
    EXPECT_EQ(text.substr(0, text.find('\n')), signup_answer(db, name)) << text;
    EXPECT_EQ(text.find("Error parse_handler();"), std::string::npos) << text;
  }
}

TEST_F(Serving, RequestLongerThanASegmentArrivesWholeOverTls) {
  TestCertificate certificate(kLocalhost);
  ServedOverTcp served(certificate.tls_serving());
  check_whole_requests_over_small_segments(db, served.port());
}

TEST_F(Serving, HundredClientsConnectingAtOnceAreAllGreeted) {
  ServeOptions options;
  options.max_per_source = 0;  // all of them come from 127.0.0.1
  ServedOverTcp served(options);
  EXPECT_EQ(greeted_at_once(served.port(), 100, 120000), 100);
}

TEST_F(Serving, ConnectionsBeyondTheHostCapWaitUntilASessionEnds) {
  ServeOptions options;
  options.max_sessions = 2;
  options.max_per_source = 0;
  ServedOverTcp served(options);
  std::string text;
  auto first = std::make_unique<NetSession>(served.port());
  NetSession second(served.port());
  ASSERT_TRUE(first->read_until_prompt(&text));
  ASSERT_TRUE(second.read_until_prompt(&text));

  NetSession waiting(served.port());
  ASSERT_TRUE(waiting.connected());  // in the backlog
  EXPECT_TRUE(waiting.quiet_for(1500)) << "a third session started beyond the cap of two";
  first.reset();  // its server sees the end of input and exits
  ASSERT_TRUE(waiting.read_until_prompt(&text));
  std::string name = unique_name("waited");
  ASSERT_TRUE(waiting.send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
  ASSERT_TRUE(waiting.read_until_prompt(&text));
  EXPECT_EQ(text.substr(0, text.find('\n')), signup_answer(db, name));
}

// A source that has its share of sessions gets its next connection closed at once; other
// sources are served, and the source is again once one of its sessions has ended. `sessions`
// counts the sessions that hold a share; `closing` is what the closed connection gets.
void check_per_source_cap(int port, bool tls, const std::function<int()>& sessions,
                          const std::string& closing) {
  ASSERT_TRUE(wait_for_sessions(sessions, 0));  // earlier connections have ended
  std::string text;
  auto first = std::make_unique<NetSession>(port, from("127.0.0.1", tls));
  NetSession second(port, from("127.0.0.1", tls));
  ASSERT_TRUE(first->read_until_prompt(&text));
  ASSERT_TRUE(second.read_until_prompt(&text));
  {
    NetSession third(port, from("127.0.0.1", tls));
    EXPECT_FALSE(third.read_until_prompt(&text));  // closed, not waiting
    EXPECT_EQ(text, closing);
  }
  NetSession other(port, from("127.0.0.2", tls));
  EXPECT_TRUE(other.read_until_prompt(&text));

  first.reset();  // once its server has exited, the source may start another
  ASSERT_TRUE(wait_for_sessions(sessions, 2));
  NetSession again(port, from("127.0.0.1", tls));
  EXPECT_TRUE(again.read_until_prompt(&text));
}

TEST_F(Serving, PerSourceCapClosesTheExtraConnectionOnly) {
  ServeOptions options;
  options.max_per_source = 2;
  ServedOverTcp served(options);
  // scripts/serve says why, before any prompt.
  check_per_source_cap(
      served.port(), false, [&] { return served.sessions(); },
      "closed: too many sessions from your address (the most is 2); end one or try later\n");
}

TEST_F(Serving, IdleSessionEndsAfterTheLimitAndClosesItsDatabaseConnection) {
  std::string before = aborted_clients(db);
  // The server built with an idle limit of 2 seconds.
  ServerProcess server({}, {}, KORVANE_SHORT_IDLE_SERVER_PATH, ServerProcess::kPipesAndStderr);
  server.read_until_prompt();
  std::string name = unique_name("idle");
  EXPECT_EQ(server.send(envelopes::signup(name, "pw")).substr(0, 7), "acc_id:");  // still there
  EXPECT_EQ(server.read_to_end(), "");  // then nothing more, and the end
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.stderr_to_end(), "");
  // The database saw the connection closed, not dropped. Its count is updated when it has read
  // the close, so wait until the session's connection is gone from the process list.
  EXPECT_TRUE(wait_for_no_server_connections(db));
  EXPECT_EQ(aborted_clients(db), before);

  // Over the network the client sees the session end.
  ServeOptions options;
  options.server = KORVANE_SHORT_IDLE_SERVER_PATH;
  ServedOverTcp served(options);
  NetSession session(served.port());
  std::string text;
  ASSERT_TRUE(session.read_until_prompt(&text));
  EXPECT_TRUE(session.read_to_end(&text));
  EXPECT_EQ(text, "");
}

TEST_F(Serving, SessionEndsLeaveNoAbortedClientAndNoLibraryLog) {
  std::string before = aborted_clients(db);
  {
    // Undecodable requests: a sign-up without its required password, and then the end of
    // input.
    ServerProcess server({}, {}, {}, ServerProcess::kPipesAndStderr);
    server.read_until_prompt();
    korvane::KorvaneInterface missing = envelopes::signup("x", "pw");
    missing.mutable_event_signup()->clear_password();
    std::string bytes;
    missing.SerializePartialToString(&bytes);
    EXPECT_EQ(server.send(bytes), "Error parse_handler();\n");
    server.close_input();
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.stderr_to_end(), "");
  }
  // A name over 32 bytes ends the process on purpose, also through the one exit path.
  {
    ServerProcess server;
    server.read_until_prompt();
    server.write_raw(envelopes::bytes_of(envelopes::signup(std::string(33, 'x'), "pw")));
    EXPECT_EQ(server.read_to_end(), "");
    EXPECT_EQ(server.wait_exit(), 255);
  }
  EXPECT_TRUE(wait_for_no_server_connections(db));
  EXPECT_EQ(aborted_clients(db), before);
}

// The systemd units as systemd reads them: no unknown setting, no bad value.
TEST(Deploy, UnitsPassSystemdVerify) {
  if (system("command -v systemd-analyze >/dev/null") != 0) GTEST_SKIP() << "no systemd-analyze";
  TempFolder units("units");
  const std::string& dir = units.dir();
  std::string deploy = std::string(KORVANE_SOURCE_DIR) + "/deploy/";
  // The installed server's path, as the units name it, is the built one here.
  int status;
  std::string out =
      run_shell("cp " + deploy + "korvane.socket " + deploy + "korvane-tls.service " + dir +
                    " && sed 's#/usr/local/bin/korvane-server#" + KORVANE_SERVER_PATH + "#' " +
                    deploy + "korvane@.service > " + dir + "/korvane@.service" +
                    " && sed 's#/usr/local/lib/korvane/web-endpoint#" + KORVANE_SOURCE_DIR +
                    "/scripts/lib/web-endpoint#' " + deploy + "korvane-web.service > " + dir +
                    "/korvane-web.service && cd " + dir +
                    " && systemd-analyze verify korvane.socket korvane@.service "
                    "korvane-tls.service korvane-web.service",
                &status);
  EXPECT_EQ(out, "");
  EXPECT_EQ(status, 0);
}

// HAProxy with deploy/haproxy/korvane-tls.cfg in front of scripts/serve (standing in for
// korvane.socket), as docs/deploy.md sets it up, plus a command socket for the test to read its
// session counts from. It counts as started once its own process holds the listening socket.
class TlsTerminator {
 public:
  TlsTerminator(const TestCertificate& certificate, int sessions_port) {
    run_.write("cli.cfg", "global\n    stats socket \"" + cli() + "\"\n");
    // The port may be taken by another listener before HAProxy binds it; another is tried then.
    for (int attempt = 0; attempt < 5; ++attempt) {
      if (start(certificate, sessions_port)) return;
      if (errors().find("Address already in use") == std::string::npos) break;
    }
    ADD_FAILURE() << "HAProxy did not start:\n" << errors();
  }
  ~TlsTerminator() {
    if (group_ != nullptr && group_->leader_ended()) {
      ADD_FAILURE() << "HAProxy ended before the test did:\n" << errors();
    }
    group_.reset();
  }

  static std::string config() {
    return std::string(KORVANE_SOURCE_DIR) + "/deploy/haproxy/korvane-tls.cfg";
  }
  std::string env_prefix() const {
    std::string prefix;
    for (const auto& [key, value] : env_) prefix += key + "=" + value + " ";
    return prefix;
  }
  int port() const { return port_; }

  // Connections in progress, as the frontend counts them for its per-source cap (a connection
  // counts until both its client and its server have closed); -1 when HAProxy does not answer.
  int sessions() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    cli().copy(address.sun_path, sizeof(address.sun_path) - 1);
    const std::string command = "show table korvane-tls\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        write(fd, command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
      close(fd);
      return -1;
    }
    std::string table;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) table.append(buf, static_cast<size_t>(n));
    close(fd);
    if (table.rfind("# table: korvane-tls", 0) != 0) return -1;
    // One line per source: "0x...: key=::ffff:127.0.0.1 use=0 exp=0 conn_cur=1".
    int count = 0;
    for (size_t at = table.find(" conn_cur="); at != std::string::npos;
         at = table.find(" conn_cur=", at + 1)) {
      count += std::atoi(table.c_str() + at + 10);
    }
    return count;
  }

  // What HAProxy printed.
  std::string errors() const { return run_.read("haproxy.out"); }

 private:
  std::string cli() const { return run_.dir() + "/cli.sock"; }

  // Starts HAProxy on a free port; true once it listens there, false when it ended first.
  bool start(const TestCertificate& certificate, int sessions_port) {
    port_ = free_local_port();
    env_ = {{"KORVANE_TLS_ADDR", "127.0.0.1:" + std::to_string(port_)},
            {"KORVANE_TLS_PEM", certificate.pem()},
            {"KORVANE_SESSIONS_ADDR", "127.0.0.1:" + std::to_string(sessions_port)},
            {"KORVANE_MAX_SESSIONS", "8"},
            {"KORVANE_MAX_PER_SOURCE", "2"},
            {"KORVANE_TLS_RUN", run_.dir()}};
    const std::string out = run_.dir() + "/haproxy.out";
    group_ =
        start_group({"/usr/sbin/haproxy", "-db", "-f", config(), "-f", run_.dir() + "/cli.cfg"},
                    env_, out, out);
    const pid_t pid = group_ != nullptr ? group_->leader() : -1;
    for (int i = 0; pid > 0 && i < 3000 && !group_->leader_ended(); ++i) {
      if (group_listens(pid, port_) && sessions() >= 0) return true;
      usleep(10000);
    }
    group_.reset();
    return false;
  }

  TempFolder run_{"tls-run"};
  int port_ = 0;
  std::map<std::string, std::string> env_;
  std::unique_ptr<StartedGroup> group_;  // HAProxy
};

TEST_F(Serving, HaproxyTerminatesTlsInFrontOfTheSessions) {
  if (access("/usr/sbin/haproxy", X_OK) != 0) GTEST_SKIP() << "no haproxy";
  TestCertificate certificate(kLocalhost);
  ServeOptions options;
  options.max_per_source = 0;  // every connection comes from HAProxy
  ServedOverTcp sessions(options);
  TlsTerminator terminator(certificate, sessions.port());
  int status;
  std::string check =
      run_shell(terminator.env_prefix() + "haproxy -c -f " + TlsTerminator::config(), &status);
  EXPECT_EQ(status, 0) << check;

  std::string name = unique_name("hap");
  std::string address = "localhost:" + std::to_string(terminator.port());
  ClientRun r =
      run_client(tls_client(address, {"--ca", certificate.cert(), "-c", "signup " + name + " pw",
                                      "-c", "signin " + name + " pw", "-c", "me"}));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(db.account_id(name), 0);

  // Plain text to it ends that connection only.
  NetSession plain(terminator.port());
  plain.send(envelopes::bytes_of(envelopes::signup(unique_name("plain"), "pw")));
  std::string text;
  EXPECT_TRUE(plain.read_to_end(&text));
  EXPECT_EQ(text, "");

  // The frontend counts the connections above until their servers have ended.
  auto in_progress = [&] { return terminator.sessions(); };
  ASSERT_TRUE(wait_for_sessions(in_progress, 0));
  check_whole_requests_over_small_segments(db, terminator.port());
  check_per_source_cap(terminator.port(), true, in_progress, "");
}

}  // namespace
