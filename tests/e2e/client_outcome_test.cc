// What the client says, and its exit status, for each way the real server answers or stays
// silent: one row per case, run as a script against a server on pipes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/client.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/test_db.h"

namespace {

using Args = std::vector<std::string>;

constexpr char kAt[] = "1700000000";
constexpr char kFiltered[] =
    "; the server refuses blanks and ' \" $ ( ) ; - # \\ in names, addresses and memos\n";
constexpr char kNewSession[] =
    "korvane: the server allows one sign-in per connection: opening a new session for this one\n";

// Replaces every "{u}" in `text` with `name`.
std::string with_name(std::string text, const std::string& name) {
  for (size_t at; (at = text.find("{u}")) != std::string::npos;) text.replace(at, 3, name);
  return text;
}

struct Case {
  const char* server_did;  // what the server did (or would have done)
  Args commands;           // {u}: an account signed up with the password pw
  std::string out;         // what the client printed on standard output; {u} as above
  std::string err;         // what the client says
  int status;
};

class ClientSays : public ::testing::Test {
 protected:
  void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      const std::string name = unique_name("says");
      ClientRun made = run_client({"--exec", KORVANE_SERVER_PATH, "-c", "signup " + name + " pw"});
      ASSERT_EQ(made.status, 0) << made.err;
      Args args = {"--exec", KORVANE_SERVER_PATH};
      for (const std::string& command : c.commands) {
        args.insert(args.end(), {"-c", with_name(command, name)});
      }
      ClientRun r = run_client(args);
      SCOPED_TRACE(c.server_did);
      EXPECT_EQ(r.out, with_name(c.out, name));
      EXPECT_EQ(r.err, with_name(c.err, name));
      EXPECT_EQ(r.status, c.status);
    }
  }

  TestDb db;
};

TEST_F(ClientSays, SignInsAndSignUps) {
  run({
      {"refused a wrong password; the next sign-in needs a new server process",
       {"signin {u} typo", "signin {u} pw", "balance"},
       "There is no username, password\n" + answers::balances(100000000, 0, 0, 0, 0),
       std::string("korvane: not signed in: no account has that name and password\n") + kNewSession,
       3},
      {"takes no sign-in after a sign-out",
       {"signin {u} pw", "signout", "signin {u} pw", "balance"},
       answers::balances(100000000, 0, 0, 0, 0),
       kNewSession,
       0},
      {"refused a taken name",
       {"signup {u} pw"},
       "Duplicate ID\n",
       "korvane: not signed up: the name is taken\n",
       3},
      {"would have refused a hyphen and ended the session",
       {"signup mary-jane p"},
       "",
       std::string("korvane: bad name 'mary-jane': it holds a hyphen (-)") + kFiltered +
           "usage: signup NAME [PASSWORD]\n",
       2},
      {"would have refused a blank, shown as nothing",
       {"signin '{u} x' pw"},
       "",
       std::string("korvane: bad name '{u} x': it holds a blank") + kFiltered +
           "usage: signin NAME [PASSWORD]\n",
       2},
      {"would have ended the session on an empty name",
       {"signup '' pw"},
       "",
       "korvane: bad name '': a name needs at least one character\n"
       "usage: signup NAME [PASSWORD]\n",
       2},
      {"would have ended the session on a name of 33 bytes",
       {"signup " + std::string(33, 'n') + " pw"},
       "",
       "korvane: bad name '" + std::string(33, 'n') +
           "': it takes 33 bytes; a name takes at most 32\nusage: signup NAME [PASSWORD]\n",
       2},
  });
}

TEST_F(ClientSays, SilentRefusals) {
  Args eleven = {"signin {u} pw"};
  std::string ten;
  for (int i = 0; i < 11; ++i) eleven.push_back("address add xrp r" + std::to_string(i) + " 7");
  for (int i = 0; i < 10; ++i) ten += answers::address_added("XRP", "r" + std::to_string(i), "7");
  run({
      {"refused an eleventh address, printing nothing", eleven, ten,
       "korvane: not added: your address book holds ten entries, the most it keeps\n", 3},
      {"would have refused a memo that is not a number",
       {"signin {u} pw", "address add xrp r1 abc"},
       "",
       "korvane: bad memo 'abc': expected a whole number other than 0\n"
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]\n",
       2},
      {"would have refused an address over 255 bytes",
       {"signin {u} pw", "address add xrp " + std::string(256, 'r') + " 1"},
       "",
       "korvane: bad address: it takes 256 bytes; an address takes at most 255\n"
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]\n",
       2},
      {"printed only the id of an entry that does not exist",
       {"signin {u} pw", "address set 99 x"},
       "99\n",
       "korvane: not rewritten: you have no entry of that id\n",
       3},
      {"would have taken an empty address",
       {"signin {u} pw", "address add xrp '' 1"},
       "",
       "korvane: bad address '': an address needs at least one character\n"
       "usage: address add SYMBOL ADDRESS MEMO [--at SECONDS]\n",
       2},
      {"refused a number too large for an entry id",
       {"signin {u} pw", "address set 2147483648 x"},
       "",
       "korvane: entry id '2147483648' is out of range: at most 2147483647\n"
       "usage: address set ID NEW_ADDRESS\n",
       2},
      {"printed nothing for me and history after a sign-out",
       {"signin {u} pw", "signout", "me", "history btc buy"},
       "",
       "korvane: no account shown: sign in first\nkorvane: no history: sign in first\n",
       3},
      {"printed nothing for balances without a sign-in",
       {"balance"},
       "",
       "korvane: no balances: sign in first\n",
       3},
      {"printed nothing for a history without trades",
       {"signin {u} pw", "history btc buy"},
       "",
       "korvane: no trades: this account has bought no BTC\n",
       0},
      {"printed nothing for a sell without coins",
       {"signin {u} pw", std::string("sell btc 1 --at ") + kAt},
       "",
       "korvane: not traded: you hold fewer coins than the sell offers\n",
       3},
      {"answered a deposit and a deletion with placeholders",
       {"signin {u} pw", "deposit btc a1 5", "address delete btc a1"},
       "Hello handle_sell\nTODO\n",
       "korvane: not deposited: the server does not offer it yet\n"
       "korvane: not deleted: the server does not offer it yet\n",
       3},
  });
}

TEST_F(ClientSays, OverwritingEveryAddressIsNamedAndConfirmed) {
  run({
      {"would have overwritten every entry of every coin: a script must say --yes",
       {"signin {u} pw", "address add btc b1 1", "address overwrite-all x1"},
       answers::address_added("BTC", "b1", "1"),
       "korvane: This overwrites the address of EVERY entry in your address book, of every coin "
       "(BTC, ETH, XRP and SOL alike), with 'x1'. It cannot be undone.\n"
       "korvane: give --yes to do this without being asked\n"
       "usage: address overwrite-all NEW_ADDRESS [--yes]\n",
       2},
      {"would have overwritten nothing: the book is empty, and nothing is sent",
       {"signin {u} pw", "address overwrite-all x1"},
       "",
       "korvane: nothing to overwrite: your address book is empty\n",
       0},
      {"lists no entries to a session that is not signed in",
       {"address overwrite-all x1"},
       "",
       "korvane: not rewritten: sign in first\n",
       3},
      {"has no origin filter",
       {"address set-all x1 --from b1"},
       "",
       "korvane: unknown address command 'set-all': use list, add, set, overwrite-all or "
       "delete\n"
       "type 'help address' for its forms\n",
       2},
  });
  std::string name = unique_name("all");
  run_client({"--exec", KORVANE_SERVER_PATH, "-c", "signup " + name + " pw"});
  ClientRun r = run_client({"--exec", KORVANE_SERVER_PATH, "-c", "signin " + name + " pw", "-c",
                            "address add btc b1 1", "-c", "address add xrp r1 2", "-c",
                            "address overwrite-all x1 --yes"});
  const std::string where =
      " FROM kv_addressbook WHERE acc_id=" + std::to_string(db.account_id(name)) + " ORDER BY id";
  std::vector<std::vector<std::string>> ids = db.rows("SELECT id" + where);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(r.err, "korvane: overwrote the address of entries " + ids[0][0] + ", " + ids[1][0] +
                       " with 'x1'\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(db.rows("SELECT symbol, address" + where),
            (std::vector<std::vector<std::string>>{{"BTC", "x1"}, {"XRP", "x1"}}));
}

TEST_F(ClientSays, TheHumanViewPutsCrypticLinesIntoWords) {
  db.set_market("XRP", 100, 50);
  std::string name = unique_name("words");
  ClientRun r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c",
                            "signup " + name + " pw", "-c", "signup " + name + " pw"});
  EXPECT_EQ(r.out, "username: " + name + "\nacc_id: " + std::to_string(db.account_id(name)) +
                       "\nthe name is taken: choose another\n");
  r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", "signin " + name + " pw", "-c",
                  std::string("buy xrp 2 --at ") + kAt, "-c", "deposit xrp a 1", "-c",
                  "address delete xrp a"});
  EXPECT_EQ(r.out,
            "balance change: XRP +2\nbalance change: KRW -250\nsymbol: XRP\n"
            "coin_cur_price: 100\namount: 2\ntotal_price: 200\nflag: true\n"
            "deposits are not offered yet\ndeleting an address is not offered yet\n");
  r = run_client({"--exec", KORVANE_SERVER_PATH, "--human", "-c", "signin " + name + " typo"});
  EXPECT_EQ(r.out, "wrong name or password\n");
}

// Why the server ended a session before its first prompt.
TEST_F(ClientSays, WhyTheServerEndedASession) {
  TestCertificate certificate("DNS:localhost,IP:127.0.0.1");
  ServeOptions capped;
  capped.max_per_source = 1;
  const ServeOptions tls = certificate.tls_serving();
  ServeOptions no_database;
  no_database.env = {{"MYSQL_UNIX_PORT", "/nonexistent/mysqld.sock"},
                     {"MYSQL_HOME", "/nonexistent"}};
  const struct {
    const char* server_did;
    const ServeOptions& serving;
    bool hold_a_session;  // from the same address, while the client connects
    std::string out;
    std::string err;
  } cases[] = {
      {"turned away a second session from one address", capped, true, "",
       "korvane: the server closed the connection: too many sessions from your address (the "
       "most is 1); end one or try later\n"},
      {"waited for a TLS handshake, then closed", tls, false, "",
       "korvane: the server closed the connection without a word: if it serves TLS, connect with "
       "--tls\n"},
      {"could not reach its database, said so and ended", no_database, false,
       "[MySQL] Connection Error\n",
       "korvane: the server turned the session away: the exchange's database is unreachable; try "
       "again later\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server_did);
    ServedOverTcp served(c.serving);
    std::unique_ptr<NetSession> holder;
    std::string text;
    if (c.hold_a_session) {
      holder = std::make_unique<NetSession>(served.port());
      ASSERT_TRUE(holder->read_until_prompt(&text));
    }
    ClientRun r = run_client({"--connect", served.address(), "-c", "market"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
  }
}

}  // namespace
