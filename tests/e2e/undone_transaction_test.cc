// A Galera node undoes a transaction without a word between two statements of a request, just
// before one of its writes: that write then runs on the node on its own, outside any
// transaction. Sent in its guarded form it changes nothing there, the server sees the transaction
// gone and runs the request again: whichever write it was, the client gets the usual answer once
// and the database holds the request once. The fault proxy stands for the node.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/fault_proxy.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr int kXRP = 2;
constexpr long kPrice = 100, kStock = 50, kStartingKrw = 100000000, kCoinsHeld = 5;
constexpr int32_t kEveryAddressBookEntry = -1;

// The request's account (none for a sign-up, which starts signed out) and what its preparation
// noted: the entries it rewrites (their ids, one a line), or the last vault before a sign-up.
struct Session {
  TestDb& db;
  std::string name;
  std::string acc;
  std::string noted;
};

// Adds `address` as an XRP entry of the signed-in account and notes its id.
void add_entry(ServerProcess& server, Session& s, const std::string& address) {
  ASSERT_EQ(server.send(envelopes::add_address(kXRP, address, "1", 1)),
            answers::address_added("XRP", address, "1"));
  s.noted += s.db.value("SELECT MAX(id) FROM kv_addressbook WHERE acc_id=" + s.acc) + "\n";
}

// The account's trades, the XRP stock, and its KRW and XRP.
Rows trading_state(Session& s) {
  return s.db.rows("SELECT (SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + s.acc +
                   "), (SELECT qty FROM kv_coininfo WHERE symbol='XRP'), KRW_amount, XRP_amount "
                   "FROM kv_uservault WHERE acc_id=" +
                   s.acc);
}

// The entries of the account, and how many of them hold the added address.
Rows added_entries(Session& s) {
  return s.db.rows("SELECT COUNT(*), SUM(address='rAdded') FROM kv_addressbook WHERE acc_id=" +
                   s.acc);
}

// A request, what the server answers it, and what the database holds of it afterwards.
struct Request {
  const char* name;
  bool signed_in;
  void (*prepare)(ServerProcess&, Session&);
  korvane::KorvaneInterface (*envelope)(const Session&);
  std::string (*answer)(const Session&);
  Rows (*stored)(Session&);
  Rows (*expected)(const Session&);
};

const Request kSignUp = {
    "SignUp", false,
    [](ServerProcess&, Session& s) {
      s.noted = s.db.value("SELECT COALESCE(MAX(id), 0) FROM kv_uservault");
    },
    [](const Session& s) { return envelopes::signup(s.name, "pw"); },
    [](const Session& s) { return answers::signup(s.name, s.db.account_id(s.name)); },
    // A vault inserted on its own would belong to an account undone with the transaction.
    [](Session& s) {
      return s.db.rows("SELECT (SELECT COUNT(*) FROM kv_account WHERE username='" + s.name +
                       "'), COUNT(*), SUM(KRW_amount) FROM kv_uservault WHERE id>" + s.noted);
    },
    [](const Session&) {
      return Rows{{"1", "1", std::to_string(kStartingKrw)}};
    }};

const Request kBuy = {
    "Buy",
    true,
    [](ServerProcess&, Session& s) { s.db.set_market("XRP", kPrice, kStock); },
    [](const Session&) { return envelopes::buy(kXRP, 2, 1700000000); },
    [](const Session& s) { return answers::order("XRP", kPrice, kStock, 2, true, 250, s.acc); },
    trading_state,
    [](const Session&) {
      return Rows{{"1", std::to_string(kStock - 2), std::to_string(kStartingKrw - 250), "2"}};
    }};

const Request kSell = {
    "Sell",
    true,
    [](ServerProcess&, Session& s) {
      s.db.set_market("XRP", kPrice, kStock);
      s.db.exec("UPDATE kv_uservault SET XRP_amount=" + std::to_string(kCoinsHeld) +
                " WHERE acc_id=" + s.acc);
    },
    [](const Session&) { return envelopes::sell(kXRP, 2, 1700000000); },
    [](const Session& s) { return answers::order("XRP", kPrice, kStock, 2, false, 150, s.acc); },
    trading_state,
    [](const Session&) {
      return Rows{{"1", std::to_string(kStock + 2), std::to_string(kStartingKrw + 150),
                   std::to_string(kCoinsHeld - 2)}};
    }};

const Request kAdd = {"Add",
                      true,
                      [](ServerProcess&, Session&) {},
                      [](const Session&) { return envelopes::add_address(kXRP, "rAdded", "1", 1); },
                      [](const Session&) { return answers::address_added("XRP", "rAdded", "1"); },
                      added_entries,
                      [](const Session&) {
                        return Rows{{"1", "1"}};
                      }};

// The tenth entry, the last the book takes: added twice, the second add would be refused.
const Request kAddTenth = {"AddTenth",
                           true,
                           [](ServerProcess& server, Session& s) {
                             for (int i = 0; i < 9; ++i)
                               add_entry(server, s, "r" + std::to_string(i));
                           },
                           kAdd.envelope,
                           kAdd.answer,
                           added_entries,
                           [](const Session&) {
                             return Rows{{"10", "1"}};
                           }};

const Request kRewriteOne = {
    "RewriteOne", true, [](ServerProcess& server, Session& s) { add_entry(server, s, "rOld"); },
    [](const Session& s) { return envelopes::modify_address(std::stoi(s.noted), "rNew"); },
    [](const Session& s) {
      const std::string id = s.noted.substr(0, s.noted.size() - 1);
      return answers::address_modified(id, "rOld", "rNew");
    },
    // The entries, then the count of attempt rows the rewrite left: one.
    [](Session& s) {
      Rows rows = s.db.rows("SELECT address FROM kv_addressbook WHERE acc_id=" + s.acc);
      rows.push_back({s.db.value("SELECT COUNT(*) FROM kv_attempt WHERE acc_id=" + s.acc)});
      return rows;
    },
    [](const Session&) {
      return Rows{{"rNew"}, {"1"}};
    }};

const Request kRewriteEvery = {"RewriteEvery",
                               true,
                               [](ServerProcess& server, Session& s) {
                                 add_entry(server, s, "rOld");
                                 add_entry(server, s, "rOther");
                               },
                               [](const Session&) {
                                 return envelopes::modify_address(kEveryAddressBookEntry, "rNew",
                                                                  "rOld");
                               },
                               [](const Session& s) { return "-1\n" + s.noted; },
                               kRewriteOne.stored,
                               [](const Session&) {
                                 return Rows{{"rNew"}, {"rNew"}, {"1"}};
                               }};

// A request, and a piece of the write before which the node undoes its transaction.
struct UndoneCase {
  const Request* request;
  const char* write;
  const char* what;  // names the write in the case's name
};

const UndoneCase kCases[] = {
    {&kSignUp, "INSERT INTO kv_account", "Account"},
    {&kSignUp, "INSERT INTO kv_uservault", "Vault"},
    {&kBuy, "INSERT INTO kv_tradehistory", "Trade"},
    {&kBuy, "UPDATE kv_coininfo", "Stock"},
    {&kSell, "INSERT INTO kv_tradehistory", "Trade"},
    {&kSell, "UPDATE kv_coininfo", "Stock"},
    {&kAdd, "INSERT INTO kv_addressbook", "Entry"},
    {&kAddTenth, "INSERT INTO kv_addressbook", "Entry"},
    {&kRewriteOne, "DELETE FROM kv_attempt", "Prune"},
    {&kRewriteOne, "INSERT INTO kv_attempt", "Attempt"},
    {&kRewriteOne, "UPDATE kv_addressbook", "Entry"},
    {&kRewriteEvery, "INSERT INTO kv_attempt", "Attempt"},
    {&kRewriteEvery, "UPDATE kv_addressbook", "Entry"},
};

void PrintTo(const UndoneCase& c, std::ostream* out) { *out << c.request->name << c.what; }

class UndoneTransaction : public ::testing::TestWithParam<UndoneCase> {
 protected:
  TestDb db;
  FaultProxy proxy;
};

TEST_P(UndoneTransaction, RunsAgainAndIsAnsweredAndStoredOnce) {
  const Request& r = *GetParam().request;
  proxy.act_as_galera_node();
  Session s{db, unique_name("undone"), "", ""};
  std::unique_ptr<ServerProcess> server = greeted_server(proxy.env());
  if (r.signed_in) s.acc = sign_up_and_in(*server, db, s.name);
  r.prepare(*server, s);
  ASSERT_FALSE(HasFatalFailure());

  proxy.arm_at(GetParam().write, FaultProxy::Cut::kRollbackFirst);
  const std::string answer = server->send(r.envelope(s));
  EXPECT_TRUE(proxy.fired());
  EXPECT_EQ(answer, r.answer(s));
  EXPECT_EQ(r.stored(s), r.expected(s));
}

INSTANTIATE_TEST_SUITE_P(GaleraNode, UndoneTransaction, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           return std::string(info.param.request->name) + info.param.what;
                         });

}  // namespace
