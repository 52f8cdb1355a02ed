// scripts/serve itself: its options and what it prints, how it stops on a signal (every session
// ends once it has answered, and nothing of it is left running), a client that half-closes in
// the middle of a long answer, and the bound on a TLS handshake that drags on.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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
#include "support/test_db.h"
#include "support/ws_client.h"

namespace {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr char kLocalhost[] = "DNS:localhost,IP:127.0.0.1";
constexpr int kXrp = 2;
constexpr auto kDeadline = std::chrono::seconds(60);

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// scripts/serve (or scripts/run, which becomes it) as a child of the test, in a process group of
// its own, with what it prints kept: for tests of how the script starts, what it says and how it
// stops.
class ServeScript {
 public:
  // Runs the script with `args` and waits until it says it serves, or ends. Unless `args` name
  // a port, a free one is added, and should another listener take it first, another.
  explicit ServeScript(Args args, const std::string& script = "scripts/serve") : script_(script) {
    const bool given_port = std::find(args.begin(), args.end(), "--port") != args.end();
    for (int attempt = 0; attempt < 5; ++attempt) {
      Args run = args;
      if (!given_port) {
        port_ = free_local_port();
        run.insert(run.end(), {"--port", std::to_string(port_)});
      }
      if (start(run) || given_port || err().find("could not listen") == std::string::npos) return;
    }
  }
  ~ServeScript() {
    if (pid_ > 0) {
      kill(-pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    unlink(err_file_.c_str());
  }
  ServeScript(const ServeScript&) = delete;
  ServeScript& operator=(const ServeScript&) = delete;

  bool serving() const { return pid_ > 0; }
  int port() const { return port_; }
  pid_t group() const { return group_; }
  // What it printed on standard output: when it serves, up to the line that says how to stop it.
  const std::string& out() const { return printed_; }
  std::string err() const { return slurp(err_file_); }
  // The exit status once it has ended.
  int status() const { return status_; }

  // Sends `signal` to the script's process alone.
  void signal(int signal) { kill(pid_, signal); }

  // Waits until the script has ended and returns its exit status (-1 when it does not end).
  int wait_exit() {
    auto deadline = Clock::now() + kDeadline;
    while (pid_ > 0 && Clock::now() < deadline) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      } else {
        usleep(20000);
      }
    }
    if (pid_ > 0) ADD_FAILURE() << "scripts/serve did not end";
    return pid_ > 0 ? -1 : status_;
  }

 private:
  bool start(const Args& args) {
    err_file_ = testing::TempDir() + "korvane_serve_script_err_" + std::to_string(getpid());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    Args argv_text = {std::string(KORVANE_SOURCE_DIR) + "/" + script_};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int err = open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int devnull = open("/dev/null", O_RDONLY);
      dup2(devnull, 0);
      dup2(out[1], 1);
      dup2(err, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(pid_, pid_);
    group_ = pid_;
    close(out[1]);
    if (out_ >= 0) close(out_);
    out_ = out[0];
    reaper_ = std::make_unique<Reaper>("kill -TERM -- -" + std::to_string(pid_));
    // Until it says how to stop it (it serves), or its output ends (it has ended).
    auto deadline = Clock::now() + kDeadline;
    printed_.clear();
    while (printed_.find("  stop:") == std::string::npos && Clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) continue;
      char buf[4096];
      ssize_t n = read(out_, buf, sizeof(buf));
      if (n <= 0) {
        wait_exit();
        return false;
      }
      printed_.append(buf, static_cast<size_t>(n));
    }
    return printed_.find("  stop:") != std::string::npos;
  }

  std::string script_;
  pid_t pid_ = -1;
  pid_t group_ = -1;
  int port_ = 0;
  int out_ = -1;
  int status_ = -1;
  std::string printed_;
  std::string err_file_;
  std::unique_ptr<Reaper> reaper_;  // stops the group should the test die first
};

struct Running {
  pid_t pid;
  std::string name;  // the command, as the kernel keeps it
};

// The processes of process group `group` that have not ended; a zombie has. A process may end
// while it is read, so a read that fails counts it as gone.
std::vector<Running> running_in_group(pid_t group) {
  std::vector<Running> running;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    int fd = open(("/proc/" + pid + "/stat").c_str(), O_RDONLY);
    if (fd < 0) continue;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) continue;
    std::string stat(buf, static_cast<size_t>(n));
    size_t open_paren = stat.find('('), paren = stat.rfind(')');
    std::istringstream after(stat.substr(paren + 1));
    std::string state;
    long parent = 0, pgrp = 0;
    if (after >> state >> parent >> pgrp && pgrp == group && state != "Z") {
      running.push_back({std::stoi(pid), stat.substr(open_paren + 1, paren - open_paren - 1)});
    }
  }
  if (proc != nullptr) closedir(proc);
  return running;
}

// Waits until nothing of process group `group` runs; false, naming what does, when it does not.
bool group_ends(pid_t group) {
  auto deadline = Clock::now() + kDeadline;
  std::vector<Running> running;
  while (!(running = running_in_group(group)).empty() && Clock::now() < deadline) usleep(20000);
  for (const Running& p : running) ADD_FAILURE() << "still running: " << p.pid << " " << p.name;
  return running.empty();
}

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

// Waits until every server of process group `group` has ended or holds SIGTERM pending.
bool servers_told_to_stop(pid_t group) {
  auto deadline = Clock::now() + kDeadline;
  for (;;) {
    bool all = true;
    for (const Running& p : running_in_group(group)) {
      if (p.name == "korvane-server" && !stop_pending(p.pid)) all = false;
    }
    if (all) return true;
    if (Clock::now() > deadline) return false;
    usleep(20000);
  }
}

Args serve_args(const Args& more) {
  Args args = {"--bind", "127.0.0.1", "--server", KORVANE_SERVER_PATH};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// A session that has signed up and signed in with a new name; its account id in *account.
std::unique_ptr<NetSession> signed_in_session(TestDb& db, int port, const NetOptions& options,
                                              long* account = nullptr) {
  auto session = std::make_unique<NetSession>(port, options);
  std::string name = unique_name("srv");
  std::string text;
  EXPECT_TRUE(session->read_until_prompt(&text));
  EXPECT_TRUE(session->send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
  EXPECT_TRUE(session->read_until_prompt(&text));
  EXPECT_TRUE(session->send(envelopes::bytes_of(envelopes::signin(name, "pw"))));
  EXPECT_TRUE(session->read_until_prompt(&text));
  if (account != nullptr) *account = db.account_id(name);
  return session;
}

NetOptions tls_options(bool tls) {
  NetOptions options;
  options.tls = tls;
  return options;
}

// Gives `account` 10^5 trades of history: an answer of megabytes, more than every buffer between
// the server and a client that does not read holds.
void add_trades(TestDb& db, long account) {
  std::string from = " FROM ";
  for (char name : std::string("abcde")) {
    from += std::string(name == 'a' ? "" : ", ") + "(SELECT 0 d";
    for (int digit = 1; digit < 10; ++digit) from += " UNION ALL SELECT " + std::to_string(digit);
    from += ") " + std::string(1, name);
  }
  db.exec(
      "INSERT INTO kv_tradehistory (acc_id, symbol, price, amount, total_price, type, "
      "trade_time) SELECT " +
      std::to_string(account) + ", 'XRP', 7, 3, 21, true, FROM_UNIXTIME(86400)" + from);
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
    std::string max_per_source;  // the sessions are found with and without the cap
    bool tls;
  };
  for (const Case& c : {Case{SIGTERM, "16", false}, Case{SIGINT, "0", false},
                        Case{SIGHUP, "2", false}, Case{SIGTERM, "0", true}}) {
    SCOPED_TRACE(strsignal(c.signal) + std::string(c.tls ? " over TLS" : ""));
    db.set_market("XRP", 100, 50);
    Args args = serve_args({"--max-per-source", c.max_per_source});
    if (c.tls) {
      args.insert(args.end(), {"--tls-cert", certificate.cert(), "--tls-key", certificate.key()});
    }
    ServeScript served(args);
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
      ASSERT_TRUE(servers_told_to_stop(served.group()));
      holder.exec("COMMIT");
    }
    ASSERT_TRUE(busy->read_until_prompt(&text));
    EXPECT_EQ(text, answers::order("XRP", 100, 50, 2, true, std::to_string(account)));
    for (NetSession* s : {idle.get(), busy.get(), pending.get()}) {
      if (s == nullptr) continue;
      EXPECT_TRUE(s->read_to_end(&text));
      EXPECT_EQ(text, "");
    }
    idle.reset();
    busy.reset();
    pending.reset();
    EXPECT_EQ(served.wait_exit(), 128 + c.signal) << served.err();
    EXPECT_TRUE(group_ends(served.group()));
    expect_closed_cleanly();
  }
}

// The same over WebSocket: a signal to the script lets the session in the middle of an order
// answer it, then every web session ends with a normal close, and nothing is left running.
TEST_F(ServeScriptTest, ASignalEndsWebSessionsAfterTheirRequest) {
  TestCertificate certificate(kLocalhost);
  char page[] = "/tmp/korvane-page.XXXXXX";
  ASSERT_NE(mkdtemp(page), nullptr);
  Reaper remove_page(std::string("rm -rf ") + page);
  for (const auto& [signal, tls] : {std::pair{SIGTERM, false}, std::pair{SIGINT, true}}) {
    SCOPED_TRACE(strsignal(signal) + std::string(tls ? " over TLS" : ""));
    db.set_market("XRP", 100, 50);
    const int web_port = free_local_port();
    Args args = serve_args({"--web-port", std::to_string(web_port), "--web-root", page});
    if (tls)
      args.insert(args.end(), {"--tls-cert", certificate.cert(), "--tls-key", certificate.key()});
    ServeScript served(args);
    ASSERT_TRUE(served.serving()) << served.err();
    WsOptions options;
    options.net.tls = tls;
    auto idle = std::make_unique<WsSession>(web_port, options);
    auto busy = std::make_unique<WsSession>(web_port, options);
    const std::string name = unique_name("wsstop");
    std::string text;
    for (const std::string& request :
         {std::string(), envelopes::bytes_of(envelopes::signup(name, "pw")),
          envelopes::bytes_of(envelopes::signin(name, "pw"))}) {
      if (!request.empty()) {
        ASSERT_TRUE(busy->send(request));
      }
      ASSERT_TRUE(busy->read_until_prompt(&text));
    }
    ASSERT_TRUE(idle->read_until_prompt(&text));
    {
      TestDb holder;
      holder.exec("START TRANSACTION");
      holder.rows("SELECT symbol FROM kv_coininfo WHERE symbol='XRP' FOR UPDATE");
      ASSERT_TRUE(busy->send(envelopes::bytes_of(envelopes::buy(kXrp, 2, 1))));
      ASSERT_TRUE(wait_for_lock_waits(root, 1));
      served.signal(signal);
      ASSERT_TRUE(servers_told_to_stop(served.group()));
      holder.exec("COMMIT");
    }
    ASSERT_TRUE(busy->read_until_prompt(&text));
    EXPECT_EQ(text, answers::order("XRP", 100, 50, 2, true, std::to_string(db.account_id(name))));
    for (WsSession* s : {idle.get(), busy.get()}) {
      int code = 0;
      EXPECT_TRUE(s->read_to_close(&text, &code));
      EXPECT_EQ(code, 1000);
      EXPECT_EQ(text, "");
    }
    idle.reset();
    busy.reset();
    EXPECT_EQ(served.wait_exit(), 128 + signal) << served.err();
    EXPECT_TRUE(group_ends(served.group()));
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
  const int web_port = free_local_port();  // scripts/run's own, 8080, may be taken here
  ServeScript served({"--bind", "127.0.0.1", "--web-port", std::to_string(web_port)},
                     "scripts/run");
  ASSERT_TRUE(served.serving()) << served.err();
  std::unique_ptr<NetSession> session = signed_in_session(db, served.port(), {});
  auto web = std::make_unique<WsSession>(web_port);
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
  EXPECT_TRUE(group_ends(served.group()));
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
    add_trades(db, account);
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
  char page[] = "/tmp/korvane-page.XXXXXX";
  ASSERT_NE(mkdtemp(page), nullptr);
  Reaper remove_page(std::string("rm -rf ") + page);
  const int web_port = free_local_port();
  ServeScript served(serve_args({"--server", KORVANE_SHORT_IDLE_SERVER_PATH, "--max-sessions", "1",
                                 "--web-port", std::to_string(web_port), "--web-root", page}));
  ASSERT_TRUE(served.serving()) << served.err();
  const std::string name = unique_name("noread");
  std::string text;
  {
    WsSession signup(web_port);
    ASSERT_TRUE(signup.read_until_prompt(&text));
    ASSERT_TRUE(signup.send(envelopes::bytes_of(envelopes::signup(name, "pw"))));
    ASSERT_TRUE(signup.read_until_prompt(&text));
  }
  add_trades(db, db.account_id(name));
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
  EXPECT_TRUE(group_ends(served.group()));
}

// A client that sends its TLS hello a byte at a time, each well within the limit of one read,
// is closed while it is still sending; the one place it held is free again.
TEST_F(ServeScriptTest, TrickledTlsHelloIsClosedAndItsPlaceFreed) {
  TestCertificate certificate(kLocalhost);
  ServeOptions options;
  options.tls_cert = certificate.cert();
  options.tls_key = certificate.key();
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
    Args args = serve_args({});
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (std::find(args.begin(), args.end(), "--port") == args.end()) {
      args.insert(args.end(), {"--port", "1"});  // refused before anything listens
    }
    ServeScript served(args);
    EXPECT_FALSE(served.serving());
    EXPECT_EQ(served.status(), 2) << c.message;
    EXPECT_EQ(served.err(), "scripts/serve: " + c.message + " (see --help)\n");
    EXPECT_EQ(served.out(), "");
  }
}

TEST(ServeScript, APortInUseIsReportedAndNothingServes) {
  ServedOverTcp first;
  ServeScript second(serve_args({"--port", std::to_string(first.port())}));
  EXPECT_FALSE(second.serving());
  EXPECT_EQ(second.status(), 1);
  EXPECT_NE(second.err().find("could not listen on " + first.address()), std::string::npos)
      << second.err();
  EXPECT_EQ(second.out(), "");
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
    Args args = serve_args({});
    if (c.tls) {
      certificate = std::make_unique<TestCertificate>(c.names, c.common_name);
      args.insert(args.end(), {"--tls-cert", certificate->cert(), "--tls-key", certificate->key()});
    }
    ServeScript served(args);
    ASSERT_TRUE(served.serving()) << served.err();
    const std::string out = served.out();
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
