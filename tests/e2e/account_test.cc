// Sign-up, sign-in, sign-out and the account display, end to end.
#include <gtest/gtest.h>

#include <string>

#include "account/sha256.h"
#include "support/base64.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

std::string signup_answer(const std::string& name, long id) {
  return "acc_id: " + std::to_string(id) + "\n{\n \"username\": \"" + base64(name) +
         "\",\n \"acc_id\": \"" + std::to_string(id) + "\"\n}\n\n";
}

class Accounts : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server.read_until_prompt(), ""); }
  TestDb db;
  ServerProcess server;
};

TEST_F(Accounts, SignUpPrintsTheIdAndResponseAndOpensAVault) {
  std::string name = unique_name("alice");
  std::string answer = server.send(envelopes::signup(name, "secret"));
  long id = db.account_id(name);
  ASSERT_NE(id, 0);
  EXPECT_EQ(answer, signup_answer(name, id));
  EXPECT_EQ(db.rows("SELECT KRW_amount, BTC_amount, ETH_amount, XRP_amount, SOL_amount, "
                    "RESERVED_amount FROM kv_uservault WHERE acc_id=" +
                    std::to_string(id)),
            (std::vector<std::vector<std::string>>{{"100000000", "0", "0", "0", "0", "0"}}));
  EXPECT_EQ(db.value("SELECT password FROM kv_account WHERE acc_id=" + std::to_string(id)),
            encryptSha256("secret"));
}

TEST_F(Accounts, SignUpAcceptsAnEmptyPasswordAndA32ByteName) {
  std::string name = unique_name("n") + std::string(32, 'x');
  name = name.substr(0, 32);
  std::string answer = server.send(envelopes::signup(name, ""));
  long id = db.account_id(name);
  ASSERT_NE(id, 0);
  EXPECT_EQ(answer, signup_answer(name, id));
  EXPECT_EQ(db.value("SELECT password FROM kv_account WHERE acc_id=" + std::to_string(id)),
            encryptSha256(""));
}

TEST_F(Accounts, SignUpWithBadNameEndsTheProcess) {
  server.write_raw(envelopes::bytes_of(envelopes::signup(std::string(33, 'y'), "pw")));
  EXPECT_EQ(server.read_to_end(), "");
  EXPECT_EQ(server.wait_exit(), 255);
  EXPECT_EQ(db.account_id(std::string(33, 'y').substr(0, 32)), 0);

  ServerProcess empty;
  empty.read_until_prompt();
  empty.write_raw(envelopes::bytes_of(envelopes::signup("", "pw")));
  EXPECT_EQ(empty.read_to_end(), "");
  EXPECT_EQ(empty.wait_exit(), 255);

  ServerProcess filtered;
  filtered.read_until_prompt();
  filtered.write_raw(envelopes::bytes_of(envelopes::signup("bob;x'y", "pw")));
  EXPECT_EQ(filtered.read_to_end(), "Detected SQL Injection: '\n");
  EXPECT_EQ(filtered.wait_exit(), 255);
}

TEST_F(Accounts, TakenNameIsRefusedAndChangesNothing) {
  std::string name = unique_name("dup");
  server.send(envelopes::signup(name, "first"));
  long id = db.account_id(name);
  std::string vaults = "SELECT COUNT(*) FROM kv_uservault";
  std::string before = db.value(vaults);
  EXPECT_EQ(server.send(envelopes::signup(name, "second")), "Duplicate ID\n");
  EXPECT_EQ(db.value(vaults), before);
  EXPECT_EQ(db.value("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + std::to_string(id)),
            "100000000");
  EXPECT_EQ(server.send(envelopes::signin(name, "second")), "There is no username, password\n");

  ServerProcess again;
  again.read_until_prompt();
  EXPECT_EQ(again.send(envelopes::signin(name, "first")), "");
}

TEST_F(Accounts, SignInThenDisplayThenSignOut) {
  std::string name = unique_name("carol");
  server.send(envelopes::signup(name, "pw"));
  long id = db.account_id(name);
  EXPECT_EQ(server.send(envelopes::my_info()), "");  // not signed in yet
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  db.exec("UPDATE kv_uservault SET KRW_amount=12345 WHERE acc_id=" + std::to_string(id));
  EXPECT_EQ(server.send(envelopes::my_info()),
            "idx: " + std::to_string(id) + "\nUsername: " + name + "\nAmount: 12345\n");
  EXPECT_EQ(server.send(envelopes::signout()), "");
  // The session is gone: everything that needs it is quiet, and nothing crashes.
  EXPECT_EQ(server.send(envelopes::my_info()), "");
  EXPECT_EQ(server.send(envelopes::signout()), "");
  EXPECT_EQ(server.send(envelopes::buy(0, 1, 1)), "");
  EXPECT_EQ(server.send(envelopes::deposit(0, "a")), "");
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "Do not multi-login!\n");
  // Sign-up does not need the session.
  std::string other = unique_name("dave");
  std::string answer = server.send(envelopes::signup(other, "pw"));
  EXPECT_EQ(answer, signup_answer(other, db.account_id(other)));
}

TEST_F(Accounts, OneSignInAttemptPerProcess) {
  std::string name = unique_name("erin");
  server.send(envelopes::signup(name, "pw"));
  EXPECT_EQ(server.send(envelopes::signin(name, "wrong")), "There is no username, password\n");
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "Do not multi-login!\n");
  EXPECT_EQ(server.send(envelopes::my_info()), "");
}

TEST_F(Accounts, SignInScreensTheName) {
  EXPECT_EQ(server.send(envelopes::signin("a b", "pw")), "Detected SQL Injection:  \n");
  EXPECT_EQ(server.send(envelopes::signin("x", "pw")), "Do not multi-login!\n");
}

TEST_F(Accounts, StubEventsAnswerWithTheirFixedText) {
  std::string name = unique_name("fay");
  server.send(envelopes::signup(name, "pw"));
  server.send(envelopes::signin(name, "pw"));
  EXPECT_EQ(server.send(envelopes::deposit(1, "addr")), "Hello handle_sell\n");
  EXPECT_EQ(server.send(envelopes::delete_address(1, "addr")), "TODO\n");
  // The code decides which nested message is used; another one present does not count.
  auto buy_code_with_sell = envelopes::sell(0, 1, 5);
  buy_code_with_sell.set_event_id(0x20000000);
  EXPECT_EQ(server.send(buy_code_with_sell), "");
}

}  // namespace
