// The market and balance views, end to end: exact answers, who may ask, and coins never traded.
#include <gtest/gtest.h>

#include <string>

#include "server/dispatch.h"
#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/signed_in_test.h"
#include "support/test_db.h"

namespace {

constexpr int kXrp = 2;
constexpr uint64_t kAt = 1700000000;

using answers::balances;
using answers::known_market;
using answers::market_coin;

class Views : public SignedInTest {
 protected:
  Views() : SignedInTest("view") {}
};

TEST_F(Views, MarketShowsTheTradedCoinsOnlyInIdOrder) {
  db.set_known_market();
  // The table keeps its rows by symbol: AAA first and SOL before XRP.
  db.exec("INSERT INTO kv_coininfo VALUES('AAA', 7, 7)");
  std::string answer = server.send(envelopes::view_market());
  db.exec("DELETE FROM kv_coininfo WHERE symbol='AAA'");
  EXPECT_EQ(answer, known_market());
}

TEST_F(Views, ATradeShowsInBothViewsAndTheCoinsNeverTradedStayAsTheyWere) {
  db.set_known_market();
  server.send(envelopes::buy(kXrp, 2, kAt));  // 200 KRW worth, 250 with the fee
  EXPECT_EQ(server.send(envelopes::view_balance()), balances(100000000 - 250, 0, 0, 2, 0));
  EXPECT_EQ(server.send(envelopes::view_market()),
            market_coin("BTC", 1000, 10) + market_coin("ETH", 200, 20) +
                market_coin("XRP", 100, 48) + market_coin("SOL", 300, 0));
  // The views read; they never write.
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc), "1");
  EXPECT_EQ(db.value("SELECT qty FROM kv_coininfo WHERE symbol='XRP'"), "48");
}

TEST_F(Views, BalanceIsThisAccountsOnly) {
  db.exec(
      "UPDATE kv_uservault SET BTC_amount=3, ETH_amount=4, XRP_amount=5, SOL_amount=6 "
      "WHERE acc_id=" +
      acc);
  std::string other = unique_name("view");
  server.send(envelopes::signup(other, "pw"));
  db.exec("UPDATE kv_uservault SET KRW_amount=7, BTC_amount=8 WHERE acc_id=" +
          std::to_string(db.account_id(other)));
  EXPECT_EQ(server.send(envelopes::view_balance()), balances(100000000, 3, 4, 5, 6));
}

TEST_F(Views, CodesBesideTheViewsStaySilent) {
  for (int32_t code : {event::kViewMarket - 1, event::kViewMarket + 1, event::kViewBalance - 1,
                       event::kViewBalance + 1}) {
    EXPECT_EQ(server.send(envelopes::event(code)), "") << code;
  }
}

TEST_F(Views, AfterSignOutTheMarketStillShowsAndTheBalanceIsSilent) {
  db.set_known_market();
  server.send(envelopes::signout());
  EXPECT_EQ(server.send(envelopes::view_balance()), "");
  EXPECT_EQ(server.send(envelopes::view_market()), known_market());
}

TEST(ViewsSignedOut, MarketIsPublicAndBalanceIsSilent) {
  TestDb db;
  db.set_known_market();
  ServerProcess server;
  ASSERT_EQ(server.read_until_prompt(), "");
  EXPECT_EQ(server.send(envelopes::view_balance()), "");
  EXPECT_EQ(server.send(envelopes::view_market()), known_market());
}

}  // namespace
