// The korvane client against the real server, on pipes (--exec) and over TCP (scripts/serve).
#include "support/client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/reaper.h"
#include "support/test_db.h"

namespace {

using Args = std::vector<std::string>;

constexpr char kServerEnded[] = "korvane: the server ended the session\n";
constexpr char kAt[] = "1700000000";  // 2023-11-14 22:13:20 UTC

using answers::signup;

std::string my_info(long id, const std::string& name, long krw) {
  return answers::my_info(std::to_string(id), name, krw);
}

// The client's arguments: where the server is, then each command with -c.
Args with(const Args& server, const Args& commands) {
  Args args = server;
  for (const std::string& c : commands) {
    args.push_back("-c");
    args.push_back(c);
  }
  return args;
}

const Args kPipes = {"--exec", KORVANE_SERVER_PATH};

Args on_pipes(const Args& commands) { return with(kPipes, commands); }

Args tcp(const ServedOverTcp& served) { return {"--connect", served.address()}; }

class Client : public ::testing::Test {
 protected:
  // Signs up a fresh account through the client and returns its id.
  long sign_up(const std::string& name, const Args& server = kPipes) {
    ClientRun r = run_client(with(server, {"signup " + name + " pw"}));
    long id = db.account_id(name);
    EXPECT_NE(id, 0);
    EXPECT_EQ(r.out, signup(name, id));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    return id;
  }

  TestDb db;
};

TEST_F(Client, AccountCommandsOnPipes) {
  std::string name = unique_name("cli");
  long id = sign_up(name);
  ClientRun r = run_client(on_pipes({"signin " + name + " pw", "me", "deposit btc addr1 7",
                                     "address delete XRP addr1", "signout", "me"}));
  EXPECT_EQ(r.out, my_info(id, name, 100000000) + "Hello handle_sell\nTODO\n");
  EXPECT_EQ(r.err,
            "korvane: not deposited: the server does not offer it yet\n"
            "korvane: not deleted: the server does not offer it yet\n"
            "korvane: no account shown: sign in first\n");
  EXPECT_EQ(r.status, 3);
}

TEST_F(Client, ReadsCommandsFromStandardInputUntilQuit) {
  std::string name = unique_name("stdin");
  long id = sign_up(name);
  ClientRun r = run_client({"--exec", KORVANE_SERVER_PATH},
                           "signin " + name + " pw\n\n# the account:\nME\nquit\nsignout\n");
  EXPECT_EQ(r.out, my_info(id, name, 100000000));
  EXPECT_EQ(r.status, 0);
  // The end of input ends the session as quit does.
  r = run_client({"--exec", KORVANE_SERVER_PATH}, "signin " + name + " pw\nme");
  EXPECT_EQ(r.out, my_info(id, name, 100000000));
  EXPECT_EQ(r.status, 0);
}

TEST_F(Client, HumanViewDecodesTheName) {
  std::string name = unique_name("zoë");
  ClientRun r =
      run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", "signup " + name + " pw"});
  std::string id = std::to_string(db.account_id(name));
  EXPECT_EQ(r.out, "username: " + name + "\nacc_id: " + id + "\n");
  r = run_client(on_pipes({"signin " + name + " pw", "me"}));
  EXPECT_EQ(r.out, my_info(std::stol(id), name, 100000000));
}

TEST_F(Client, BadCommandSendsNothingAndEndsTheScript) {
  std::string first = unique_name("bad");
  std::string second = unique_name("never");
  ClientRun r = run_client(on_pipes({"signup " + first + " pw extra", "signup " + second}));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "korvane: unexpected argument 'extra'\nusage: signup NAME [PASSWORD]\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(db.account_id(first), 0);
  EXPECT_EQ(db.account_id(second), 0);

  r = run_client({"--exec", KORVANE_SERVER_PATH}, "help buy\nbuy doge 1\nsignup " + second + "\n");
  EXPECT_EQ(r.out,
            "usage: buy SYMBOL AMOUNT [--at SECONDS]\n  buy coins from the exchange's stock\n");
  EXPECT_EQ(r.err,
            "korvane: unknown symbol 'doge': use BTC, ETH, XRP or SOL\n"
            "usage: buy SYMBOL AMOUNT [--at SECONDS]\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(db.account_id(second), 0);

  r = run_client({"--help"});
  EXPECT_EQ(r.out.substr(0, 16), "usage: korvane [");
  EXPECT_EQ(r.status, 0);

  const struct {
    std::vector<std::string> args;
    std::string err;
  } usage_errors[] = {
      {{"--connect"}, "option --connect needs a value"},
      {{"--connect", "127.0.0.1:abc"},
       "bad port 'abc' in '127.0.0.1:abc': expected a number from 1 to 65535"},
      {{"--connect", ":99999"}, "bad address ':99999': expected HOST:PORT"},
  };
  for (const auto& u : usage_errors) {
    r = run_client(u.args);
    EXPECT_EQ(r.err, "korvane: " + u.err +
                         "\nusage: korvane [--connect HOST:PORT | --exec SERVER] [--human] [-c "
                         "COMMAND]...\n");
    EXPECT_EQ(r.status, 2);
  }
}

TEST_F(Client, ExitStatusWhenTheServerEndsOrCannotBeReached) {
  // A server that ends before its first prompt.
  ClientRun r = run_client({"--exec", "/bin/true", "-c", "me"});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, kServerEnded);
  EXPECT_EQ(r.status, 1);

  r = run_client({"--exec", "/nonexistent/korvane-server", "-c", "me"});
  EXPECT_EQ(r.err,
            "korvane: cannot start /nonexistent/korvane-server: No such file or directory\n");
  EXPECT_EQ(r.status, 1);

  std::string closed;
  {
    ServedOverTcp gone;  // a port that was just served and is free again
    closed = gone.address();
  }
  r = run_client({"--connect", closed, "-c", "me"});
  EXPECT_EQ(r.err, "korvane: cannot connect to " + closed + ": Connection refused\n");
  EXPECT_EQ(r.status, 1);
}

// Until the server's greeting, the client's end resets its connection, so that a listener that
// holds the connection in its backlog sees it gone and runs nothing it sent (scripts/lib/session);
// after the greeting it ends the usual way, and the server sees the end of its input.
TEST_F(Client, GivingUpBeforeTheGreetingResetsTheConnection) {
  for (bool greeted : {false, true}) {
    SCOPED_TRACE(greeted ? "greeted" : "given up");
    // A listener of the test's own, which never greets unless told.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof(at);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), size) | listen(listener, 1) |
                  getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size),
              0);
    const std::string address = "127.0.0.1:" + std::to_string(ntohs(at.sin_port));
    // Ended however the test ends.
    auto running =
        start_group({KORVANE_CLIENT_PATH, "--connect", address}, {}, "/dev/null", "/dev/null");
    ASSERT_NE(running, nullptr);
    const pid_t client = running->leader();
    pollfd ready{listener, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 30000), 1);
    int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (greeted) {
      ASSERT_EQ(write(connection, "> ", 2), 2);
    } else {
      kill(client, SIGTERM);
    }
    waitpid(client, nullptr, 0);
    char buf[256];
    ready = {connection, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 30000), 1);
    const ssize_t got = recv(connection, buf, sizeof(buf), 0);
    EXPECT_EQ(got < 0 ? errno : 0, greeted ? 0 : ECONNRESET);
    close(connection);
    close(listener);
  }
}

// A server that ends right after its outcome line, before its prompt: the line says what became
// of the request, or that its database went, and then a new session is to find out the rest.
TEST_F(Client, AServerThatEndsAfterItsOutcomeLine) {
  const struct {
    const char* line;  // the server's outcome line
    std::string err;
  } cases[] = {
      {R"({"outcome":"done","event":"buy","reason":"ok","ids":[5]})",
       "korvane: the request was done, and then the server ended the session\n"},
      {R"({"outcome":"refused","event":"buy","reason":"no_database"})",
       "korvane: not traded: the exchange's database could not be reached, and the server ended "
       "the session\n"
       "korvane: opening a new session to find out whether the request was applied\n"
       "korvane: whether the buy of XRP at 1970-01-01 00:00:00 UTC was applied is not known: "
       "sign in and look with 'history xrp buy'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    // Greets, takes one request with one read, prints the line and ends; ends without a word at
    // the end of its input.
    const std::string server = testing::TempDir() + "korvane_ends_" + std::to_string(getpid());
    {
      std::ofstream script(server);
      script << "#!/bin/sh\nprintf '> '\n"
             << "[ \"$(dd bs=10240 count=1 2>/dev/null | wc -c)\" -gt 0 ] || exit 0\n"
             << "echo '" << c.line << "'\n";
    }
    ASSERT_EQ(chmod(server.c_str(), 0700), 0);
    ClientRun r = run_client({"--exec", server, "-c", "buy xrp 1 --at 0", "-c", "market"});
    unlink(server.c_str());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
  }
}

TEST_F(Client, AccountCommandsOverTcp) {
  ServedOverTcp served;
  EXPECT_EQ(served.banner(),
            "korvane: serving on " + served.address() +
                ", one server process per connection\n  connect: " + KORVANE_SOURCE_DIR +
                "/build/korvane --connect " + served.address() + "\n  stop:    Ctrl-C\n");
  std::string name = unique_name("tcp");
  long id = sign_up(name, tcp(served));
  ClientRun r = run_client(with(tcp(served), {"signin " + name + " pw", "me"}));
  EXPECT_EQ(r.out, my_info(id, name, 100000000));
  EXPECT_EQ(r.status, 0);
}

// A password that makes the sign-up envelope of `name` exactly `size` bytes, as the client sends
// it: with the outcome line asked for.
std::string password_for(const std::string& name, size_t size) {
  std::string password(size, 'p');
  for (;;) {
    korvane::KorvaneInterface envelope = envelopes::signup(name, password);
    envelope.set_ask_outcome(true);
    if (envelopes::bytes_of(envelope).size() <= size) return password;
    password.pop_back();
  }
}

TEST_F(Client, RequestOfTheFullSizeArrivesWholeOverTcp) {
  ServedOverTcp served;
  std::string name = unique_name("big");
  ClientRun r = run_client(with(tcp(served), {"signup " + name + " " + password_for(name, 10240)}));
  EXPECT_EQ(r.out, signup(name, db.account_id(name)));  // not two requests
  EXPECT_EQ(r.status, 0);

  std::string longer = unique_name("big");
  r = run_client(with(tcp(served), {"signup " + longer + " " + password_for(longer, 10241)}));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "korvane: the request takes 10241 bytes; the server reads at most 10240\n"
            "usage: shorten the texts it carries\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(db.account_id(longer), 0);
}

// Buying and selling, as answered per order: the market lines (buy only), the balance
// statements, and the trade as JSON.
void check_trading(TestDb& db, const Args& server) {
  db.set_market("XRP", 100, 50);
  std::string name = unique_name("trader");
  ClientRun r = run_client(with(server, {"signup " + name + " pw"}));
  std::string id = std::to_string(db.account_id(name));
  r = run_client(with(server, {"signin " + name + " pw", std::string("buy xrp 2 --at ") + kAt}));
  EXPECT_EQ(r.out, answers::order("XRP", 100, 50, 2, true, 250, id));
  EXPECT_EQ(r.status, 0);
  r = run_client(
      with(server, {"signin " + name + " pw", std::string("SELL Xrp 2 --at ") + kAt, "me"}));
  EXPECT_EQ(r.out, answers::order("XRP", 100, 48, 2, false, 150, id) +
                       my_info(std::stol(id), name, 100000000 - 250 + 150));
  EXPECT_EQ(db.value("SELECT qty FROM kv_coininfo WHERE symbol='XRP'"), "50");
}

TEST_F(Client, TradesOnPipes) { check_trading(db, kPipes); }

TEST_F(Client, TradesOverTcp) {
  ServedOverTcp served;
  check_trading(db, tcp(served));
}

TEST_F(Client, ShowsHistory) {
  db.set_market("SOL", 1000, 10);
  std::string name = unique_name("hist");
  long id = sign_up(name);
  run_client(on_pipes({"signin " + name + " pw", std::string("buy sol 3 --at ") + kAt}));
  std::string trade_id =
      db.value("SELECT id FROM kv_tradehistory WHERE acc_id=" + std::to_string(id));
  ClientRun r =
      run_client(on_pipes({"signin " + name + " pw", "history SOL buy", "history sol sell"}));
  EXPECT_EQ(r.out, answers::history_entry(trade_id, "SOL", "1000", "3", "3000", true,
                                          kAt));  // no sells: nothing
  r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", "signin " + name + " pw", "-c",
                  "history sol buy"});
  EXPECT_EQ(r.out, "id: " + trade_id +
                       "\nsymbol: SOL\nprice: 1000\namount: 3\ntotal_price: 3000\ntype: true\n"
                       "trade_time: 2023-11-14 22:13:20 UTC\n");  // kAt in UTC
}

TEST_F(Client, KeepsAndRewritesAddresses) {
  std::string name = unique_name("book");
  long acc = sign_up(name);
  std::string signin = "signin " + name + " pw";
  ClientRun r =
      run_client(on_pipes({signin, std::string("address add xrp 'rOne' 123 --at ") + kAt}));
  EXPECT_EQ(r.out, answers::address_added("XRP", "rOne", "123"));
  std::string where = " FROM kv_addressbook WHERE acc_id=" + std::to_string(acc);
  EXPECT_EQ(db.value("SELECT create_at_ts" + where), kAt);
  std::string entry = db.value("SELECT id" + where);

  r = run_client(on_pipes({signin, "address set " + entry + " rTwo"}));
  EXPECT_EQ(r.out, answers::address_modified(entry, "rOne", "rTwo"));

  r = run_client(on_pipes({signin, "address list"}));
  EXPECT_EQ(r.out, answers::address_entry(entry, "XRP", "rTwo", "123", kAt));
  EXPECT_EQ(r.err, "");

  r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", signin, "-c",
                  "address add sol sAddr 9 --at 1", "-c", "address overwrite-all rThree --yes",
                  "-c", "address list"});
  std::string second = db.value("SELECT MAX(id)" + where);
  EXPECT_EQ(r.out, "symbol: SOL\naddress: sAddr\nmemo: 9\nentry " + entry +
                       ": XRP address rThree memo 123\nentry " + second +
                       ": SOL address rThree memo 9\n");
  EXPECT_EQ(r.err, "korvane: overwrote the address of entries " + entry + ", " + second +
                       " with 'rThree'\n");
  EXPECT_EQ(db.rows("SELECT DISTINCT address" + where),
            (std::vector<std::vector<std::string>>{{"rThree"}}));
}

TEST_F(Client, ShowsTheMarketAndTheBalances) {
  db.set_known_market();
  std::string name = unique_name("view");
  sign_up(name);
  ClientRun r = run_client(on_pipes({"market", "signin " + name + " pw", "balance",
                                     std::string("buy xrp 2 --at ") + kAt, "Balance"}));
  std::string id = std::to_string(db.account_id(name));
  EXPECT_EQ(r.out, answers::known_market() + answers::balances(100000000, 0, 0, 0, 0) +
                       answers::order("XRP", 100, 50, 2, true, 250, id) +
                       answers::balances(99999750, 0, 0, 2, 0));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);

  r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", "market", "-c",
                  "signin " + name + " pw", "-c", "balance"});
  EXPECT_EQ(r.out,
            "symbol: BTC\nprice: 1000\nstock: 10\n\nsymbol: ETH\nprice: 200\nstock: 20\n\n"
            "symbol: XRP\nprice: 100\nstock: 48\n\nsymbol: SOL\nprice: 300\nstock: 0\n"
            "krw: 99999750\nbtc: 0\neth: 0\nxrp: 2\nsol: 0\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Client, BalanceWithoutSigningInSaysSo) {
  ClientRun r = run_client(on_pipes({"balance", "market"}));
  EXPECT_EQ(r.err, "korvane: no balances: sign in first\n");
  EXPECT_EQ(r.out.substr(0, 17), "{\n \"symbol\": \"BTC");  // the market is public
  EXPECT_EQ(r.status, 3);
}

TEST_F(Client, AnOrderThatTradesNothingSaysWhyOnStandardError) {
  db.set_market("XRP", 100, 50);
  db.set_market("BTC", 100000000, 10);
  std::string name = unique_name("refused");
  sign_up(name);
  const std::string buy = std::string("buy xrp 1 --at ") + kAt;
  ClientRun r = run_client(
      on_pipes({"signin " + name + " pw", buy, buy, "buy xrp 51", "buy btc 1", "sell sol 1"}));
  EXPECT_EQ(r.err,
            "korvane: not traded: you made an order of this coin and side at this second already "
            "(the bot guard); wait a second or give another --at\n"
            "korvane: not traded: the exchange holds fewer coins than the buy asks for\n"
            "korvane: not traded: your KRW do not cover the cost with the fee\n"
            "korvane: not traded: you hold fewer coins than the sell offers\n");
  EXPECT_NE(r.out.find("[-] DETECTED Trading Bot\n100\n49\n100000000\n10\n"), std::string::npos)
      << r.out;  // the server's own lines stay as it wrote them
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" +
                     std::to_string(db.account_id(name))),
            "1");

  // --human names the refusal where the server's line stood.
  r = run_client(
      {"--exec", KORVANE_SERVER_PATH, "--human", "-c", "signin " + name + " pw", "-c", buy});
  EXPECT_EQ(r.out,
            "refused by the bot guard: an order of this coin and side at the same second was "
            "already made\n");
}

TEST_F(Client, RefusesOrderTimesTheTradeLogCannotHold) {
  std::string name = unique_name("late");
  long id = sign_up(name);
  ClientRun r = run_client(on_pipes({"signin " + name + " pw", "buy xrp 1 --at 2147483648"}));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "korvane: time '2147483648' is out of range: orders take 0 to 2147483647 (up to "
            "2038-01-19 03:14:07 UTC)\nusage: buy SYMBOL AMOUNT [--at SECONDS]\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + std::to_string(id)),
            "0");
}

TEST_F(Client, AScriptMustGiveThePassword) {
  std::string name = unique_name("nopw");
  ClientRun r = run_client(on_pipes({"signup " + name, "me"}));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "korvane: missing PASSWORD, and no terminal to ask for it\n"
            "usage: signup NAME [PASSWORD]\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(db.account_id(name), 0);  // no account with an empty password

  long id = sign_up(name);
  r = run_client({"--exec", KORVANE_SERVER_PATH}, "signin " + name + "\nme\n");
  EXPECT_EQ(r.err,
            "korvane: missing PASSWORD, and no terminal to ask for it\n"
            "usage: signin NAME [PASSWORD]\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  r = run_client(on_pipes({"signin " + name + " pw", "me"}));
  EXPECT_EQ(r.out, my_info(id, name, 100000000));
}

// Unsets an environment variable of this process for the life of the object.
class ScopedUnsetenv {
 public:
  explicit ScopedUnsetenv(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
    unsetenv(name);
  }
  ~ScopedUnsetenv() {
    if (!saved_.empty()) setenv(name_, saved_.c_str(), 1);
  }

 private:
  const char* name_;
  std::string saved_;
};

TEST_F(Client, ExecFindsTheDatabaseScriptsRunKeepsInTheCheckout) {
  const char* test_db = std::getenv("KORVANE_TEST_DB_DIR");
  if (test_db == nullptr) GTEST_SKIP() << "KORVANE_TEST_DB_DIR is not set";
  // A checkout as scripts/run leaves it: the server in build/, the database in var/db/.
  char tmpl[] = "/tmp/korvane-checkout.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  ASSERT_EQ(mkdir((root + "/build").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((root + "/var").c_str(), 0700), 0);
  ASSERT_EQ(symlink(KORVANE_SERVER_PATH, (root + "/build/korvane-server").c_str()), 0);
  ASSERT_EQ(symlink(test_db, (root + "/var/db").c_str()), 0);

  std::string name = unique_name("local");
  ClientRun r;
  {
    ScopedUnsetenv port("MYSQL_UNIX_PORT");
    ScopedUnsetenv home("MYSQL_HOME");
    r = run_client({"--exec", root + "/build/korvane-server", "-c", "signup " + name + " pw"});
  }
  unlink((root + "/var/db").c_str());
  unlink((root + "/build/korvane-server").c_str());
  rmdir((root + "/var").c_str());
  rmdir((root + "/build").c_str());
  rmdir(root.c_str());
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, signup(name, db.account_id(name)));
  EXPECT_NE(db.account_id(name), 0);
}

}  // namespace
