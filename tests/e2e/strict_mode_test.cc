// The server's session runs in strict mode whatever modes the database's administrator set, and
// keeps those modes too. Without strict mode the database stores a value out of a column's range
// as the nearest one it can hold, and a time it cannot hold as none, and the order commits: a
// balance clamped to the column's maximum or a trade without a time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/global_setting.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kBtc = 0, kEth = 1, kXrp = 2;

class StrictMode : public ::testing::Test {
 protected:
  // A new server process signed in as `name_`, signing up first when there is no such account.
  std::unique_ptr<ServerProcess> session() {
    auto server = signed_in_server(db, name_);
    acc = std::to_string(db.account_id(name_));
    return server;
  }

  void set_vault(const std::string& column, long value) {
    db.exec("UPDATE kv_uservault SET " + column + "=" + std::to_string(value) +
            " WHERE acc_id=" + acc);
  }

  // Everything an order changes: stock of both coins, the account's balances and trade log.
  std::vector<std::string> snapshot() {
    return {db.value("SELECT qty FROM kv_coininfo WHERE symbol='BTC'"),
            db.value("SELECT qty FROM kv_coininfo WHERE symbol='ETH'"),
            db.value("SELECT CONCAT_WS(' ', KRW_amount, BTC_amount, ETH_amount) FROM kv_uservault "
                     "WHERE acc_id=" +
                     acc),
            db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc)};
  }

  // Sells 1 ETH whose proceeds (75) would take a KRW balance of 2147483600 past the column's
  // maximum of 2147483647: refused whole, nothing printed.
  void expect_sell_past_the_krw_column_refused(ServerProcess& server) {
    set_vault("KRW_amount", 2147483600);
    set_vault("ETH_amount", 1);
    db.set_market("ETH", 100, 7);
    const auto before = snapshot();
    EXPECT_EQ(server.send(envelopes::sell(kEth, 1, 1)), "");
    EXPECT_EQ(snapshot(), before);
  }

  TestDb db;
  std::string acc;  // the account's id, once a session has signed in

 private:
  std::string name_ = unique_name("strict");
};

TEST_F(StrictMode, LaxGlobalModeStoresNothingOutOfRange) {
  // Sets the database's global sql_mode, which every connection opened afterwards starts with.
  GlobalSetting lax("sql_mode", "''");
  auto server = session();
  expect_sell_past_the_krw_column_refused(*server);

  // A time beyond 2038 does not fit the trade log: the buy shows what a refused one shows.
  db.set_market("BTC", 100, 50);
  const auto before = snapshot();
  EXPECT_EQ(server->send(envelopes::buy(kBtc, 2, 99999999999)), "100\n50\n");
  EXPECT_EQ(snapshot(), before);
}

TEST_F(StrictMode, TheDatabasesOwnModesStay) {
  // Under the default modes an empty address is an address like any other; under
  // EMPTY_STRING_IS_NULL it is a NULL the column refuses.
  auto before = session();
  EXPECT_EQ(before->send(envelopes::add_address(kXrp, "", "1", 1)),
            answers::address_added("XRP", "", "1"));

  GlobalSetting mode("sql_mode", "'EMPTY_STRING_IS_NULL'");
  auto after = session();
  EXPECT_EQ(after->send(envelopes::add_address(kXrp, "", "2", 1)), "");
  EXPECT_EQ(db.value("SELECT GROUP_CONCAT(memo) FROM kv_addressbook WHERE acc_id=" + acc), "1");
  // Strict mode is added to it, not put in its place.
  expect_sell_past_the_krw_column_refused(*after);
}

}  // namespace
