// The client on a terminal: its prompt, password entry without echo (and Ctrl-D or Ctrl-C there,
// which cancel the command and send nothing), Ctrl-C at the prompt, confirmations, the history
// file, and the terminal as it was on every way out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/client.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/reaper.h"
#include "support/test_db.h"

namespace {

constexpr int kDeadlineMs = 60000;
constexpr char kCtrlD = '\x04';
constexpr char kCtrlC = '\x03';

// The client under a pseudo-terminal, started with `args` (by default on pipes to a real server).
class Terminal {
 public:
  explicit Terminal(const std::string& histfile,
                    const std::vector<std::string>& args = {"--exec", KORVANE_SERVER_PATH}) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("KORVANE_HISTFILE", histfile.c_str(), 1);
      setenv("TERM", "dumb", 1);
      std::vector<char*> argv = {const_cast<char*>("korvane")};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(KORVANE_CLIENT_PATH, argv.data());
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }

  void type(const std::string& keys) {
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until the screen output so far holds `marker`; returns everything read up to and
  // including it.
  std::string read_until(const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    size_t at;
    while ((at = pending_.find(marker)) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      ssize_t n = 0;
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 ||
          (n = read(master_, buf, sizeof(buf))) <= 0) {
        ADD_FAILURE() << "no '" << marker << "' on the terminal; it shows: " << pending_;
        return std::exchange(pending_, {});
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
    std::string out = pending_.substr(0, at + marker.size());
    pending_.erase(0, at + marker.size());
    return out;
  }

  // Reads up to the prompt, then waits until the line editor has the terminal: it shows its
  // prompt a moment before it turns off the terminal's own line editing, and a key typed in that
  // moment is taken by the terminal (a Ctrl-D becomes an end of line nobody reads).
  std::string read_prompt() {
    std::string out = read_until("korvane> ");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    termios now;
    while (tcgetattr(master_, &now) == 0 && (now.c_lflag & ICANON) != 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the line editor never took the terminal";
        break;
      }
      usleep(1000);
    }
    return out;
  }

  pid_t pid() const { return pid_; }

  // True when the terminal echoes and edits lines, as a shell expects to find it.
  bool left_as_it_was() const {
    termios now;
    return tcgetattr(master_, &now) == 0 && (now.c_lflag & ECHO) != 0 &&
           (now.c_lflag & ICANON) != 0;
  }

  int wait_exit() {
    int st = 0;
    waitpid(pid_, &st, 0);
    exited_ = true;
    return exit_status(st);
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string pending_;
};

TEST(ClientTerminal, AsksForPasswordsWithoutEchoAndKeepsThemOutOfHistory) {
  TestDb db;
  std::string histfile = testing::TempDir() + "korvane_history_" + std::to_string(getpid());
  std::string name = unique_name("tty");
  std::string other = unique_name("tty");
  {
    Terminal t(histfile);
    t.read_prompt();
    t.type("signup " + name + "\r");
    t.read_until("Password: ");
    t.type("hunter2secret\r");
    t.read_until("Password again: ");
    t.type("hunter2secret\r");
    std::string answer = t.read_prompt();
    EXPECT_EQ(answer.find("hunter2secret"), std::string::npos) << answer;
    EXPECT_NE(answer.find("acc_id: " + std::to_string(db.account_id(name))), std::string::npos)
        << answer;

    t.type("signin " + name + "\r");
    t.read_until("Password: ");
    t.type("hunter2secret\r");
    t.read_prompt();
    t.type("me\r");
    EXPECT_NE(t.read_prompt().find("Username: " + name), std::string::npos);

    t.type("signup " + other + " inlinesecret\r");
    t.read_prompt();
    t.type("buy doge 1\r");
    EXPECT_NE(t.read_prompt().find("korvane: unknown symbol 'doge'"), std::string::npos);
    t.type("singin " + name + " typedsecret\r");  // a mistyped command, with its password
    EXPECT_NE(t.read_prompt().find("korvane: unknown command 'singin'"), std::string::npos);
    t.type("quit\r");
    EXPECT_EQ(t.wait_exit(), 0);
  }
  EXPECT_NE(db.account_id(other), 0);
  std::ifstream in(histfile);
  std::stringstream history;
  history << in.rdbuf();
  EXPECT_NE(history.str().find("buy\\040doge"), std::string::npos) << history.str();
  EXPECT_EQ(history.str().find("secret"), std::string::npos) << history.str();
  unlink(histfile.c_str());
}

TEST(ClientPassword, CtrlDAtThePromptCancelsAndSendsNothing) {
  TestDb db;
  std::string name = unique_name("ctrld");
  Terminal t("");  // no history file
  t.read_prompt();
  t.type("signup " + name + "\r");
  t.read_until("Password: ");
  t.type(std::string(1, kCtrlD));
  EXPECT_NE(t.read_prompt().find("korvane: cancelled, nothing was sent"), std::string::npos);
  EXPECT_EQ(db.account_id(name), 0);

  // The sign-in attempt of the connection is not spent by a cancelled one.
  t.type("signup " + name + " pw\r");
  t.read_prompt();
  t.type("signin " + name + "\r");
  t.read_until("Password: ");
  t.type(std::string(1, kCtrlD));
  t.read_prompt();
  t.type("signin " + name + "\r");
  t.read_until("Password: ");
  t.type("pw\r");
  t.read_prompt();
  t.type("me\r");
  EXPECT_NE(t.read_prompt().find("Username: " + name), std::string::npos);
  t.type("quit\r");
  EXPECT_EQ(t.wait_exit(), 0);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ClientTerminal, CtrlCClearsTheLineAndKeepsTheSession) {
  TestDb db;
  Terminal t("");
  t.read_prompt();
  t.type("frobnicate");
  t.read_until("frobnicate");  // on the line, as a person sees it before the Ctrl-C
  t.type(std::string(1, kCtrlC));
  t.read_until("^C");
  t.read_prompt();
  t.type("me\r");
  std::string answer = t.read_prompt();
  EXPECT_EQ(answer.find("frobnicate"), std::string::npos) << answer;  // dropped, not run
  EXPECT_NE(answer.find("korvane: no account shown: sign in first"), std::string::npos) << answer;
  t.type(std::string(1, kCtrlD));
  EXPECT_EQ(t.wait_exit(), 0);
}

// Each way out saves the history and leaves the terminal echoing, as it found it.
TEST(ClientTerminal, EveryWayOutSavesTheHistoryAndRestoresTheTerminal) {
  TestDb db;
  struct Way {
    const char* what;
    std::string keys;  // typed at the prompt; none: the signal instead
    int signal;
    int status;
  };
  const Way ways[] = {
      {"quit", "quit\r", 0, 0},
      {"Ctrl-D", std::string(1, kCtrlD), 0, 0},
      {"SIGTERM", "", SIGTERM, 128 + SIGTERM},
      {"SIGHUP", "", SIGHUP, 128 + SIGHUP},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.what);
    std::string histfile = testing::TempDir() + "korvane_history_way_" + std::to_string(getpid());
    {
      Terminal t(histfile);
      t.read_prompt();
      t.type("market\r");
      t.read_prompt();
      if (way.signal != 0) {
        kill(t.pid(), way.signal);
      } else {
        t.type(way.keys);
      }
      EXPECT_EQ(t.wait_exit(), way.status);
      EXPECT_TRUE(t.left_as_it_was());
    }
    EXPECT_NE(read_file(histfile).find("market"), std::string::npos) << read_file(histfile);
    unlink(histfile.c_str());
  }
}

TEST(ClientPassword, CtrlCAtThePasswordPromptCancelsAndRestoresEcho) {
  TestDb db;
  std::string name = unique_name("ctrlc");
  {
    // A script's sign-in asks on the terminal; Ctrl-C cancels it, and the client ends with the
    // terminal echoing again (a shell such as dash does not restore it).
    Terminal t("", {"--exec", KORVANE_SERVER_PATH, "-c", "signup " + name});
    t.read_until("Password: ");
    EXPECT_FALSE(t.left_as_it_was());  // no echo while it asks
    t.type(std::string(1, kCtrlC));
    t.read_until("korvane: cancelled, nothing was sent");
    EXPECT_EQ(t.wait_exit(), 2);
    EXPECT_TRUE(t.left_as_it_was());
  }
  EXPECT_EQ(db.account_id(name), 0);

  // At the prompt it goes back to the prompt.
  Terminal t("");
  t.read_prompt();
  t.type("signup " + name + "\r");
  t.read_until("Password: ");
  t.type(std::string(1, kCtrlC));
  t.read_until("korvane: cancelled, nothing was sent");
  t.read_prompt();
  t.type("quit\r");
  EXPECT_EQ(t.wait_exit(), 0);
  EXPECT_TRUE(t.left_as_it_was());
  EXPECT_EQ(db.account_id(name), 0);
}

TEST(ClientTerminal, OverwritingEveryAddressAsksFirst) {
  TestDb db;
  std::string name = unique_name("ask");
  ASSERT_EQ(run_client({"--exec", KORVANE_SERVER_PATH, "-c", "signup " + name + " pw"}).status, 0);
  Terminal t("");
  t.read_prompt();
  t.type("signin " + name + " pw\r");
  t.read_prompt();
  t.type("address add sol s1 5\r");
  t.read_prompt();
  const std::string where =
      " FROM kv_addressbook WHERE acc_id=" + std::to_string(db.account_id(name));
  const std::string entry = db.value("SELECT id" + where);
  // What it overwrites is shown first; only yes, in any case, goes on.
  for (const char* no : {"no", "y"}) {
    t.type("address overwrite-all s2\r");
    t.read_until("EVERY entry");
    t.read_until("The entries it overwrites:\r\n  entry " + entry + ": SOL address s1 memo 5\r\n");
    t.read_until("Go on? Type yes (in any case) to go on, anything else cancels: ");
    t.type(std::string(no) + "\r");
    t.read_until("korvane: cancelled, nothing was sent");
    t.read_prompt();
    EXPECT_EQ(db.value("SELECT address" + where), "s1");
  }
  t.type("address overwrite-all s2\r");
  t.read_until("Go on? ");
  t.type("YES\r");
  t.read_until("korvane: overwrote the address of entries");
  t.read_prompt();
  EXPECT_EQ(db.value("SELECT address" + where), "s2");
  t.type("quit\r");
  EXPECT_EQ(t.wait_exit(), 0);
}

// A session that the server ended while the client sat at the prompt (here: the idle limit of a
// server built with 2 seconds) is told as such when the next command finds it gone.
TEST(ClientTerminal, ASessionEndedWhileIdleIsToldAsSuch) {
  TestDb db;
  ServeOptions options;
  options.server = KORVANE_SHORT_IDLE_SERVER_PATH;
  ServedOverTcp served(options);
  Terminal t("", {"--connect", served.address()});
  t.read_prompt();
  // The idle limit ends the session: its server exits and frees its place.
  for (int i = 0; i < 3000 && served.sessions() != 0; ++i) usleep(10000);
  ASSERT_EQ(served.sessions(), 0);
  t.type("market\r");
  t.read_until("the server had ended the session before this command, which was not sent");
  EXPECT_EQ(t.wait_exit(), 1);
}

// A sign-up at the terminal asks for the password twice, and takes no empty one: an account
// without a password is open to anyone.
TEST(ClientPassword, ASignUpAsksTwiceAndTakesNoEmptyPassword) {
  TestDb db;
  const struct {
    std::vector<std::string> typed;  // at each password prompt
    std::string said;
  } cases[] = {
      {{"first", "second"}, "korvane: the passwords differ, nothing was sent"},
      {{""},
       "korvane: bad password '': an account without a password is open to anyone\r\n"
       "korvane: cancelled, nothing was sent"},
  };
  Terminal t("");
  t.read_prompt();
  for (const auto& c : cases) {
    const std::string name = unique_name("twice");
    t.type("signup " + name + "\r");
    t.read_until("Password: ");
    t.type(c.typed[0] + "\r");
    if (c.typed.size() > 1) {
      t.read_until("Password again: ");
      t.type(c.typed[1] + "\r");
    }
    std::string answer = t.read_prompt();
    EXPECT_NE(answer.find(c.said + "\r\n"), std::string::npos) << answer;
    EXPECT_EQ(db.account_id(name), 0);
  }
  t.type("quit\r");
  EXPECT_EQ(t.wait_exit(), 0);
}

// The processes `parent` started, by their ids.
std::vector<pid_t> children_of(pid_t parent) {
  std::ifstream in("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                   "/children");
  std::vector<pid_t> children;
  for (pid_t child; in >> child;) children.push_back(child);
  return children;
}

constexpr char kAt[] = "1700000000";  // 2023-11-14 22:13:20 UTC

// A trader signed in at the terminal, whose orders of BTC a second connection can hold up by
// locking the coin's market row.
class ClientWaitingOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    db.set_market("BTC", 100, 50);
    name = unique_name("wait");
    ASSERT_EQ(run_client({"--exec", KORVANE_SERVER_PATH, "-c", "signup " + name + " pw"}).status,
              0);
  }

  void sign_in(Terminal& t) {
    t.read_prompt();
    t.type("signin " + name + " pw\r");
    t.read_prompt();
  }

  // Sends a buy of 1 BTC at kAt while the market row is held, and waits until it waits for it.
  void buy_held_up(Terminal& t) {
    locker.exec("START TRANSACTION");
    locker.rows("SELECT qty FROM kv_coininfo WHERE symbol='BTC' FOR UPDATE");
    t.type(std::string("buy btc 1 --at ") + kAt + "\r");
    ASSERT_TRUE(wait_for_lock_waits(root, 1));
  }

  std::string trades() {
    return db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" +
                    std::to_string(db.account_id(name)));
  }

  TestDb db;
  TestDb locker;
  TestDb root{TestDb::kRoot};
  std::string name;
};

// An order held up by a lock is told after a moment, and neither a Ctrl-C nor a SIGTERM meanwhile
// cuts it off, over TLS as over pipes: the order goes through and its trade is shown. A Ctrl-C is
// not replayed at the next prompt; a SIGTERM ends the client after the answer.
TEST_F(ClientWaitingOrder, IsToldAndNoSignalCutsItOff) {
  TestCertificate certificate("DNS:localhost,IP:127.0.0.1");
  ServedOverTcp served(certificate.tls_serving());
  const std::vector<std::string> over_tls = {"--connect", served.address(), "--tls", "--ca",
                                             certificate.cert()};
  const struct {
    const char* how;
    std::vector<std::string> args;
    int signal;  // SIGINT is typed as a Ctrl-C
    int status;
  } cases[] = {
      {"pipes, Ctrl-C", {"--exec", KORVANE_SERVER_PATH}, SIGINT, 0},
      {"TLS, Ctrl-C", over_tls, SIGINT, 0},
      {"TLS, SIGTERM", over_tls, SIGTERM, 128 + SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Terminal t("", c.args);
    std::string start = t.read_until("korvane> ");
    EXPECT_EQ(start.find("korvane: still waiting"), std::string::npos) << start;
    t.type("signin " + name + " pw\r");
    t.read_prompt();
    buy_held_up(t);
    t.read_until(
        "korvane: still waiting for the answer: the server is waiting for the exchange's "
        "database (a lock held by another request, or a connection being made again)\r\n");
    if (c.signal == SIGINT) {
      t.type(std::string(1, kCtrlC));
    } else {
      kill(t.pid(), c.signal);
    }
    locker.exec("ROLLBACK");
    std::string answer = t.read_until("\"flag\": true");
    EXPECT_EQ(answer.find("the server ended the session"), std::string::npos) << answer;
    EXPECT_EQ(trades(), "1");
    if (c.signal == SIGINT) {
      t.read_prompt();
      t.type("me\r");
      std::string next = t.read_prompt();
      EXPECT_EQ(next.find("^C"), std::string::npos) << next;
      EXPECT_NE(next.find("Username: " + name), std::string::npos) << next;
      t.type("quit\r");
    }
    EXPECT_EQ(t.wait_exit(), c.status);
    // The next case buys at the same second: the bot guard reads the trade log.
    db.exec("DELETE FROM kv_tradehistory WHERE acc_id=" + std::to_string(db.account_id(name)));
  }
}

// The server ended during an order (killed), on pipes and over TCP: the client opens a new
// session, signs in with the password it was given, and reads the history to say whether the
// order was applied. The order's last round trip, commit included, was already with the
// database, waiting for the market row: the history waits for it, and tells what it came to.
TEST_F(ClientWaitingOrder, ALostConnectionIsSettledByTheHistory) {
  ServedOverTcp served;
  const struct {
    const char* how;
    std::vector<std::string> args;
    bool on_pipes;  // the server is the client's child; else one of those served
  } cases[] = {
      {"pipes", {"--exec", KORVANE_SERVER_PATH}, true},
      {"TCP", {"--connect", served.address()}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    Terminal t("", c.args);
    sign_in(t);
    buy_held_up(t);
    std::vector<pid_t> servers = c.on_pipes ? children_of(t.pid()) : served.servers();
    ASSERT_EQ(servers.size(), 1u);
    kill(servers[0], SIGKILL);
    t.read_until(
        "korvane: the connection to the server was lost during the request\r\n"
        "korvane: opening a new session to find out whether the request was applied\r\n");
    // The order waits for the market row, the new session's history for the order.
    ASSERT_TRUE(wait_for_lock_waits(root, 2));
    locker.exec("ROLLBACK");
    t.read_until(
        "korvane: applied: your history holds the buy of BTC at 2023-11-14 22:13:20 UTC (trade ");
    t.read_prompt();
    EXPECT_EQ(trades(), "1");
    // The new session is signed in.
    t.type("me\r");
    EXPECT_NE(t.read_prompt().find("Username: " + name), std::string::npos);
    t.type("quit\r");
    EXPECT_EQ(t.wait_exit(), 0);
    // The next case buys at the same second: the bot guard reads the trade log.
    db.exec("DELETE FROM kv_tradehistory WHERE acc_id=" + std::to_string(db.account_id(name)));
  }
}

}  // namespace
