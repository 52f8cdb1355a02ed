// Sign-up, sign-in, sign-out and the account display, end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "account/sha256.h"
#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

using answers::signup;

// For as long as it lives, the database refuses the vault of the account named `name`, so that
// its sign-up fails at its last write. Left behind by a test that dies, it refuses nobody else.
class RefusedVault {
 public:
  explicit RefusedVault(const std::string& name)
      : trigger_("refuse_vault_" + std::to_string(getpid())) {
    TestDb root(TestDb::kRoot);
    root.exec("DROP TRIGGER IF EXISTS " + trigger_);
    root.exec("CREATE TRIGGER " + trigger_ +
              " BEFORE INSERT ON kv_uservault FOR EACH ROW IF (SELECT username FROM kv_account "
              "WHERE acc_id=NEW.acc_id) = '" +
              name + "' THEN SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT='no vault'; END IF");
  }
  ~RefusedVault() { TestDb(TestDb::kRoot).exec("DROP TRIGGER IF EXISTS " + trigger_); }
  RefusedVault(const RefusedVault&) = delete;
  RefusedVault& operator=(const RefusedVault&) = delete;

 private:
  std::string trigger_;
};

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
  EXPECT_EQ(answer, signup(name, id));
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
  EXPECT_EQ(answer, signup(name, id));
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
  EXPECT_EQ(server.send(envelopes::my_info()), answers::my_info(std::to_string(id), name, 12345));
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
  EXPECT_EQ(answer, signup(other, db.account_id(other)));
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
  sign_up_and_in(server, db, unique_name("fay"));
  EXPECT_EQ(server.send(envelopes::deposit(1, "addr")), "Hello handle_sell\n");
  EXPECT_EQ(server.send(envelopes::delete_address(1, "addr")), "TODO\n");
  // The code decides which nested message is used; another one present does not count.
  auto buy_code_with_sell = envelopes::sell(0, 1, 5);
  buy_code_with_sell.set_event_id(0x20000000);
  EXPECT_EQ(server.send(buy_code_with_sell), "");
}

// A sign-up is one unit: when its vault cannot be stored, no account is left without one, and
// the name stays free.
TEST_F(Accounts, SignUpWhoseVaultIsRefusedLeavesNoAccount) {
  const std::string name = unique_name("novault");
  const std::string accounts = db.value("SELECT COUNT(*) FROM kv_account");
  {
    RefusedVault refused(name);
    EXPECT_EQ(server.send(envelopes::signup(name, "pw")), "");
    EXPECT_EQ(db.account_id(name), 0);
    EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_account"), accounts);
  }
  const std::string answer = server.send(envelopes::signup(name, "pw"));
  const long id = db.account_id(name);
  ASSERT_NE(id, 0);
  EXPECT_EQ(answer, signup(name, id));
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  EXPECT_EQ(server.send(envelopes::my_info()),
            answers::my_info(std::to_string(id), name, 100000000));
}

// Sign-out tears the session object down, signed in or not. The process's one sign-in attempt
// then finds no session: it is refused without a word, and spent.
TEST_F(Accounts, SignInAfterTheSessionIsGoneIsRefusedQuietlyOnce) {
  const std::string name = unique_name("gone");
  server.send(envelopes::signup(name, "pw"));
  EXPECT_EQ(server.send(envelopes::signout()), "");
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  EXPECT_EQ(server.send(envelopes::my_info()), "");
  EXPECT_EQ(server.send(envelopes::view_balance()), "");
  EXPECT_EQ(server.send(envelopes::buy(0, 1, 1)), "");
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "Do not multi-login!\n");
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" +
                     std::to_string(db.account_id(name))),
            "0");
}

}  // namespace
