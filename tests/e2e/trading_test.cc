// Buying and selling, end to end: the exact lines a client sees and the rows left behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/signed_in_test.h"
#include "support/test_db.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr int kBTC = 0, kETH = 1, kXRP = 2;

class Trading : public SignedInTest {
 protected:
  Trading() : SignedInTest("trader") {}

  // What an executed order prints (answers::order) for this account, moving `krw` KRW.
  std::string executed(const std::string& symbol, uint64_t price, uint64_t stock, uint64_t amount,
                       bool buy, uint64_t krw) {
    return answers::order(symbol, price, stock, amount, buy, krw, acc);
  }

  // KRW, BTC, ETH, XRP of the account.
  std::vector<std::string> vault() {
    return db.rows(
        "SELECT KRW_amount, BTC_amount, ETH_amount, XRP_amount FROM kv_uservault "
        "WHERE acc_id=" +
        acc)[0];
  }
  std::string stock(const std::string& symbol) {
    return db.value("SELECT qty FROM kv_coininfo WHERE symbol='" + symbol + "'");
  }
  Rows log() {
    return db.rows(
        "SELECT symbol, price, amount, total_price, type, trade_time FROM "
        "kv_tradehistory WHERE acc_id=" +
        acc + " ORDER BY id");
  }
  void set_vault(const std::string& column, long value) {
    db.exec("UPDATE kv_uservault SET " + column + "=" + std::to_string(value) +
            " WHERE acc_id=" + acc);
  }
};

TEST_F(Trading, BuyThenSellPrintTheirLinesAndMoveStockAndBalances) {
  db.set_market("BTC", 100, 50);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 2, 1000)), executed("BTC", 100, 50, 2, true, 250));
  EXPECT_EQ(stock("BTC"), "48");
  EXPECT_EQ(vault(), (std::vector<std::string>{"99999750", "2", "0", "0"}));
  EXPECT_EQ(log(), (Rows{{"BTC", "100", "2", "200", "1", "1970-01-01 00:16:40"}}));

  // A sell prints no market lines; it credits the value less the fee.
  EXPECT_EQ(server.send(envelopes::sell(kBTC, 2, 1000)), executed("BTC", 100, 0, 2, false, 150));
  EXPECT_EQ(stock("BTC"), "50");
  EXPECT_EQ(vault(), (std::vector<std::string>{"99999900", "0", "0", "0"}));
  EXPECT_EQ(log(), (Rows{{"BTC", "100", "2", "200", "1", "1970-01-01 00:16:40"},
                         {"BTC", "100", "2", "200", "0", "1970-01-01 00:16:40"}}));
}

TEST_F(Trading, FeeTruncates) {
  db.set_market("XRP", 3, 10);
  EXPECT_EQ(server.send(envelopes::buy(kXRP, 1, 5)), executed("XRP", 3, 10, 1, true, 3));
  EXPECT_EQ(vault(), (std::vector<std::string>{"99999997", "0", "0", "1"}));
}

TEST_F(Trading, BotGuardRefusesTheSameSymbolSideAndTime) {
  db.set_market("BTC", 10, 100);
  db.set_market("ETH", 20, 100);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1, 77)), executed("BTC", 10, 100, 1, true, 12));
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1, 77)), "[-] DETECTED Trading Bot\n");
  EXPECT_EQ(stock("BTC"), "99");
  EXPECT_EQ(vault(), (std::vector<std::string>{"99999988", "1", "0", "0"}));

  // Another side or another symbol at the same time is a different trade.
  EXPECT_EQ(server.send(envelopes::sell(kBTC, 1, 77)), executed("BTC", 10, 0, 1, false, 8));
  EXPECT_EQ(server.send(envelopes::buy(kETH, 1, 77)), executed("ETH", 20, 100, 1, true, 25));

  // Without a timestamp an order is logged at second 0, so the second such order collides.
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1)), executed("BTC", 10, 100, 1, true, 12));
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 3)), "[-] DETECTED Trading Bot\n");
  EXPECT_EQ(log().back(),
            (std::vector<std::string>{"BTC", "10", "1", "10", "1", "1970-01-01 00:00:00"}));
  EXPECT_EQ(log().size(), 4u);
}

TEST_F(Trading, BuySymbolIsTheLow32BitsOfItsField) {
  db.set_market("ETH", 7, 30);
  EXPECT_EQ(server.send(envelopes::buy((int64_t{1} << 32) + 1, 1, 9)),
            executed("ETH", 7, 30, 1, true, 8));
  EXPECT_EQ(server.send(envelopes::buy(4, 1, 10)), "");
  EXPECT_EQ(server.send(envelopes::buy(-1, 1, 11)), "");
  EXPECT_EQ(server.send(envelopes::buy(kETH, 0, 12)), "");
  EXPECT_EQ(server.send(envelopes::sell(kETH, 0, 12)), "");
  EXPECT_EQ(log().size(), 1u);
  EXPECT_EQ(vault(), (std::vector<std::string>{"99999992", "0", "1", "0"}));
}

TEST_F(Trading, RefusalsPrintOnlyTheMarketLinesAndChangeNothing) {
  db.set_market("BTC", 100, 5);
  set_vault("KRW_amount", 125);
  set_vault("ETH_amount", 3);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 6, 1)), "100\n5\n");  // stock
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 2, 2)), "100\n5\n");  // balance
  EXPECT_EQ(server.send(envelopes::buy(kBTC, uint64_t{1} << 63, 3)), "100\n5\n");
  EXPECT_EQ(server.send(envelopes::sell(kETH, 4, 4)), "");  // more than held
  EXPECT_EQ(server.send(envelopes::sell(kBTC, 1, 5)), "");  // none held
  EXPECT_EQ(stock("BTC"), "5");
  EXPECT_EQ(vault(), (std::vector<std::string>{"125", "0", "3", "0"}));
  EXPECT_TRUE(log().empty());

  db.set_market("BTC", 101, 5);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1, 6)), "101\n5\n");  // 126 needed
  // An exact balance passes and leaves nothing.
  db.set_market("BTC", 100, 5);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1, 7)), executed("BTC", 100, 5, 1, true, 125));
  EXPECT_EQ(vault(), (std::vector<std::string>{"0", "1", "3", "0"}));
  // Selling exactly what is held passes too.
  db.set_market("ETH", 4, 0);
  EXPECT_EQ(server.send(envelopes::sell(kETH, 3, 8)), executed("ETH", 4, 0, 3, false, 9));
  EXPECT_EQ(vault(), (std::vector<std::string>{"9", "1", "0", "0"}));
  EXPECT_EQ(stock("ETH"), "3");
}

// Amounts no stock or balance can cover are refused whole: never cut to their low bits, never
// taken as negative, and a cost past 2^64 is never wrapped into a cheap one.
TEST_F(Trading, AbsurdAmountsAreRefusedNotWrapped) {
  db.set_market("BTC", 4, 2147483647);
  db.set_market("ETH", 1, 0);
  set_vault("ETH_amount", 1);
  // Below 2^63, yet 4 times them is 2^64 and 2^64 + 4: wrapped, costs of 0 and 5 KRW.
  for (uint64_t amount : {uint64_t{1} << 62, (uint64_t{1} << 62) + 1}) {
    EXPECT_EQ(server.send(envelopes::buy(kBTC, amount, 1)), "4\n2147483647\n") << amount;
  }
  // Sells of far more than the one coin held: low 32 bits of 1, and negative as signed numbers.
  uint64_t at = 2;
  for (uint64_t amount : {(uint64_t{1} << 32) + 1, (uint64_t{1} << 63) + 1, UINT64_MAX}) {
    EXPECT_EQ(server.send(envelopes::sell(kETH, amount, at++)), "") << amount;
  }
  EXPECT_EQ(stock("BTC"), "2147483647");
  EXPECT_EQ(stock("ETH"), "0");
  EXPECT_EQ(vault(), (std::vector<std::string>{"100000000", "0", "1", "0"}));
  EXPECT_TRUE(log().empty());
}

// A statement that fails inside an order undoes the order, and the client sees what a refused
// order shows: a buy its two market lines, a sell nothing. None of the undone updates is echoed,
// and no row keeps a change.
TEST_F(Trading, AFailedStatementRollsTheWholeOrderBack) {
  db.set_market("BTC", 100, 50);
  // The log cannot hold a time beyond 2038, so the last statement of this buy fails.
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 2, uint64_t{1} << 31)), "100\n50\n");
  EXPECT_EQ(stock("BTC"), "50");
  EXPECT_EQ(vault(), (std::vector<std::string>{"100000000", "0", "0", "0"}));
  EXPECT_TRUE(log().empty());

  // A balance may not grow beyond its column, so the KRW credit of this sell fails.
  set_vault("KRW_amount", 2147483600);
  set_vault("ETH_amount", 1);
  db.set_market("ETH", 100, 7);
  EXPECT_EQ(server.send(envelopes::sell(kETH, 1, 1)), "");
  EXPECT_EQ(stock("ETH"), "7");
  EXPECT_EQ(vault(), (std::vector<std::string>{"2147483600", "0", "1", "0"}));
  EXPECT_TRUE(log().empty());

  // The session goes on normally afterwards.
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 2, 1)), executed("BTC", 100, 50, 2, true, 250));
  EXPECT_EQ(log().size(), 1u);
}

}  // namespace
