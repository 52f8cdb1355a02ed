// The outcome line: a request that asks for it gets its own output exactly as without it, then one
// line of JSON that says what became of it, why, and what it made. One row per reason the server
// gives, and one per request that is done, against the real server and database.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/global_setting.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kXRP = 2;
constexpr long kPrice = 100, kStock = 50;
constexpr uint64_t kAt = 1700000000;
constexpr int32_t kEveryEntry = -1;
constexpr int32_t kListAddresses = 0x20000007;

struct Context {
  TestDb& db;
  ServerProcess& server;
  std::string name;
  std::string acc;    // the signed-in account ("" for a row that does not sign in)
  std::string entry;  // the entry a row prepared, if any
};

std::string last_id(Context& c, const std::string& table) {
  return c.db.value("SELECT MAX(id) FROM " + table + " WHERE acc_id=" + c.acc);
}

std::string add_entry(Context& c, const std::string& address) {
  EXPECT_EQ(c.server.send(envelopes::add_address(kXRP, address, "1", 1)),
            answers::address_added("XRP", address, "1"));
  return last_id(c, "kv_addressbook");
}

std::string refused(const std::string& event, const std::string& reason) {
  return "{\"outcome\":\"refused\",\"event\":\"" + event + "\",\"reason\":\"" + reason + "\"}\n";
}

std::string done(const std::string& event, const std::string& ids = "") {
  return "{\"outcome\":\"done\",\"event\":\"" + event + "\",\"reason\":\"ok\"" +
         (ids.empty() ? "" : ",\"ids\":[" + ids + "]") + "}\n";
}

struct OutcomeCase {
  const char* name;
  bool signed_in;
  void (*prepare)(Context&);
  korvane::KorvaneInterface (*request)(const Context&);
  // The whole answer: the request's own output and the outcome line.
  std::string (*answer)(Context&);
};

void nothing(Context&) {}
void market(Context& c) { c.db.set_market("XRP", kPrice, kStock); }

const OutcomeCase kCases[] = {
    // Done, with what each request made.
    {"SignUp", false, nothing, [](const Context& c) { return envelopes::signup(c.name, "pw"); },
     [](Context& c) {
       const long id = c.db.account_id(c.name);
       return answers::signup(c.name, id) + done("signup", std::to_string(id));
     }},
    {"Buy", true, market, [](const Context&) { return envelopes::buy(kXRP, 2, kAt); },
     [](Context& c) {
       return answers::order("XRP", kPrice, kStock, 2, true, 250, c.acc) +
              done("buy", last_id(c, "kv_tradehistory"));
     }},
    {"AddAddress", true, nothing,
     [](const Context&) { return envelopes::add_address(kXRP, "rA", "7", 1); },
     [](Context& c) {
       return answers::address_added("XRP", "rA", "7") +
              done("add_address", last_id(c, "kv_addressbook"));
     }},
    {"RewriteOne", true, [](Context& c) { c.entry = add_entry(c, "rOld"); },
     [](const Context& c) { return envelopes::modify_address(std::stoi(c.entry), "rNew"); },
     [](Context& c) {
       return answers::address_modified(c.entry, "rOld", "rNew") + done("modify_address", c.entry);
     }},
    {"RewriteEvery", true, [](Context& c) { c.entry = add_entry(c, "rOld"); },
     [](const Context&) { return envelopes::modify_address(kEveryEntry, "rNew", "rOld"); },
     [](Context& c) { return "-1\n" + c.entry + "\n" + done("modify_address", c.entry); }},
    {"ListAddresses", true, [](Context& c) { c.entry = add_entry(c, "rA"); },
     [](const Context&) { return envelopes::event(kListAddresses); },
     [](Context& c) {
       return "{\n \"id\": " + c.entry +
              ",\n \"symbol\": \"XRP\",\n \"address\": \"ckE=\",\n \"memo\": \"MQ==\",\n"
              " \"create_at_ts\": \"1\"\n}\n\n" +
              done("list_addresses", c.entry);
     }},
    {"Balances", true, nothing, [](const Context&) { return envelopes::view_balance(); },
     [](Context&) { return answers::balances(100000000, 0, 0, 0, 0) + done("balances"); }},
    {"SignOut", true, nothing, [](const Context&) { return envelopes::signout(); },
     [](Context&) { return done("signout"); }},
    // Refused, one row per reason.
    {"BotGuard", true,
     [](Context& c) {
       market(c);
       c.server.send(envelopes::buy(kXRP, 1, kAt));
     },
     [](const Context&) { return envelopes::buy(kXRP, 1, kAt); },
     [](Context&) { return "[-] DETECTED Trading Bot\n" + refused("buy", "bot_guard"); }},
    {"NoStock", true, market, [](const Context&) { return envelopes::buy(kXRP, kStock + 1, kAt); },
     [](Context&) { return "100\n50\n" + refused("buy", "no_stock"); }},
    {"NoKrw", true, [](Context& c) { c.db.set_market("XRP", 90000000, kStock); },
     [](const Context&) { return envelopes::buy(kXRP, 2, kAt); },
     [](Context&) { return "90000000\n50\n" + refused("buy", "no_krw"); }},
    {"NoCoins", true, market, [](const Context&) { return envelopes::sell(kXRP, 1, kAt); },
     [](Context&) { return refused("sell", "no_coins"); }},
    {"BookFull", true,
     [](Context& c) {
       for (int i = 0; i < 10; ++i) add_entry(c, "r" + std::to_string(i));
     },
     [](const Context&) { return envelopes::add_address(kXRP, "rX", "1", 1); },
     [](Context&) { return refused("add_address", "book_full"); }},
    {"NotYourEntry", true, nothing,
     [](const Context&) { return envelopes::modify_address(2147483000, "rNew"); },
     [](Context&) { return "2147483000\n" + refused("modify_address", "not_your_entry"); }},
    {"SameAddress", true, [](Context& c) { c.entry = add_entry(c, "rSame"); },
     [](const Context& c) { return envelopes::modify_address(std::stoi(c.entry), "rSame"); },
     [](Context& c) { return c.entry + "\n" + refused("modify_address", "same_address"); }},
    {"NameTaken", true, nothing, [](const Context& c) { return envelopes::signup(c.name, "pw"); },
     [](Context&) { return "Duplicate ID\n" + refused("signup", "name_taken"); }},
    {"BadLogin", false, nothing,
     [](const Context&) { return envelopes::signin("nobody_by_this_name", "pw"); },
     [](Context&) { return "There is no username, password\n" + refused("signin", "bad_login"); }},
    {"NotSignedIn", false, nothing, [](const Context&) { return envelopes::buy(kXRP, 1, kAt); },
     [](Context&) { return refused("buy", "not_signed_in"); }},
    {"SignInSpent", true, nothing, [](const Context& c) { return envelopes::signin(c.name, "pw"); },
     [](Context&) { return "Do not multi-login!\n" + refused("signin", "sign_in_spent"); }},
    {"Filtered", true, nothing,
     [](const Context&) { return envelopes::add_address(kXRP, "r'A", "1", 1); },
     [](Context&) {
       return std::string("Detected SQL Injection: '\n") +
              "{\"outcome\":\"refused\",\"event\":\"add_address\",\"reason\":\"filtered\","
              "\"detail\":\"'\"}\n";
     }},
    {"BadAmount", true, market, [](const Context&) { return envelopes::buy(kXRP, 0, kAt); },
     [](Context&) { return refused("buy", "bad_amount"); }},
    {"BadCoin", true, market, [](const Context&) { return envelopes::buy(9, 1, kAt); },
     [](Context&) { return refused("buy", "bad_coin"); }},
    {"TooLong", true, nothing,
     [](const Context&) { return envelopes::add_address(kXRP, std::string(256, 'a'), "1", 1); },
     [](Context&) { return refused("add_address", "too_long"); }},
    {"BadMemo", true, nothing,
     [](const Context&) { return envelopes::add_address(kXRP, "rA", "0", 1); },
     [](Context&) { return refused("add_address", "bad_memo"); }},
    {"BadTime", true, market,
     [](const Context&) { return envelopes::buy(kXRP, 1, 4102444800); },  // 2100-01-01
     [](Context&) { return "100\n50\n" + refused("buy", "bad_time"); }},
    {"BadText", true, nothing,
     [](const Context&) { return envelopes::add_address(kXRP, std::string("r\0A", 3), "1", 1); },
     [](Context&) { return refused("add_address", "bad_text"); }},
    {"TooLarge", true,
     [](Context& c) {
       c.db.set_market("XRP", 2000000000, kStock);
       c.db.exec("UPDATE kv_uservault SET XRP_amount=2 WHERE acc_id=" + c.acc);
     },
     [](const Context&) { return envelopes::sell(kXRP, 2, kAt); },
     [](Context&) { return refused("sell", "too_large"); }},
    {"NotOffered", true, nothing, [](const Context&) { return envelopes::deposit(kXRP, "rA"); },
     [](Context&) { return "Hello handle_sell\n" + refused("deposit", "not_offered"); }},
    {"UnknownEvent", true, nothing, [](const Context&) { return envelopes::event(0x20000099); },
     [](Context&) { return refused("unknown", "unknown_event"); }},
    {"MissingMessage", true, nothing, [](const Context&) { return envelopes::event(0x20000000); },
     [](Context&) { return refused("buy", "malformed"); }},
    {"Undecodable", true, nothing,
     [](const Context&) {
       korvane::KorvaneInterface e = envelopes::event(0x20000000);
       e.mutable_event_buy()->set_symbol(kXRP);  // its amount, a required field, is missing
       return e;
     },
     [](Context&) { return "Error parse_handler();\n" + refused("malformed", "malformed"); }},
};

void PrintTo(const OutcomeCase& c, std::ostream* out) { *out << c.name; }

class OutcomeLine : public ::testing::TestWithParam<OutcomeCase> {
 protected:
  TestDb db;
};

TEST_P(OutcomeLine, FollowsTheRequestsOwnOutput) {
  const OutcomeCase& r = GetParam();
  ServerProcess server;
  ASSERT_EQ(server.read_until_prompt(), "");
  Context c{db, server, unique_name("outc"), "", ""};
  if (r.signed_in) c.acc = sign_up_and_in(server, db, c.name);
  r.prepare(c);
  ASSERT_FALSE(HasFatalFailure());
  korvane::KorvaneInterface request = r.request(c);
  request.set_ask_outcome(true);
  const std::string answer = server.send(envelopes::bytes_of(request));
  EXPECT_EQ(answer, r.answer(c));
}

INSTANTIATE_TEST_SUITE_P(Requests, OutcomeLine, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A sign-up whose name the protocol cannot take ends the session, after its outcome line.
TEST(OutcomeLineEnd, ABadSignUpNameEndsTheSessionAfterTheLine) {
  TestDb db;
  ServerProcess server;
  ASSERT_EQ(server.read_until_prompt(), "");
  korvane::KorvaneInterface request = envelopes::signup(std::string(33, 'n'), "pw");
  request.set_ask_outcome(true);
  server.write_raw(envelopes::bytes_of(request));
  EXPECT_EQ(server.read_to_end(), refused("signup", "bad_name"));
  EXPECT_EQ(server.wait_exit(), 255);
}

// The database kept the account's vault row locked until every attempt of the order was spent.
TEST(OutcomeLineBusy, LockWaitsSpentAreBusy) {
  TestDb db;
  GlobalSetting no_waits("innodb_lock_wait_timeout", "0");
  const std::string name = unique_name("busy");
  auto server = signed_in_server(db, name);
  const std::string acc = std::to_string(db.account_id(name));
  db.set_market("XRP", kPrice, kStock);
  TestDb holder;
  holder.exec("START TRANSACTION");
  holder.rows("SELECT acc_id FROM kv_uservault WHERE acc_id=" + acc + " FOR UPDATE");
  korvane::KorvaneInterface request = envelopes::buy(kXRP, 1, kAt);
  request.set_ask_outcome(true);
  EXPECT_EQ(server->send(envelopes::bytes_of(request)), refused("buy", "busy"));
  holder.exec("ROLLBACK");
}

}  // namespace
