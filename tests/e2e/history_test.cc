// The trade history view, end to end. Trades are logged straight into the table with the very
// statement an executed order issues.
#include <gtest/gtest.h>

#include <string>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/signed_in_test.h"
#include "support/test_db.h"

namespace {

constexpr int kBtc = 0, kXrp = 2, kSol = 3;

using answers::history_entry;

class History : public SignedInTest {
 protected:
  History() : SignedInTest("hist") {}

  // Logs a trade as an order does; returns its id.
  std::string log_trade(const std::string& symbol, const std::string& price,
                        const std::string& amount, const std::string& total, bool buy,
                        const std::string& time) {
    db.exec("INSERT INTO kv_tradehistory VALUES(NULL, " + acc + ", '" + symbol + "', " + price +
            ", " + amount + ", " + total + ", " + (buy ? "true" : "false") + ", FROM_UNIXTIME(" +
            time + ") );");
    return db.value("SELECT LAST_INSERT_ID()");
  }
};

TEST_F(History, BuyShowsAsOneDocumentForAnyNonZeroType) {
  std::string id = log_trade("XRP", "7", "3", "21", true, "86400");
  std::string expected = history_entry(id, "XRP", "7", "3", "21", true, "86400");
  EXPECT_EQ(server.send(envelopes::history(kXrp, 1)), expected);
  EXPECT_EQ(server.send(envelopes::history(kXrp, 5)), expected);
  EXPECT_EQ(server.send(envelopes::history(kXrp, 1, 12345)), expected);  // ts filters nothing
  EXPECT_EQ(server.send(envelopes::history(kXrp, 0)), "");               // no sells
  EXPECT_EQ(server.send(envelopes::history(kBtc, 1)), "");               // no BTC trades
}

TEST_F(History, EveryTradeOfTheSideIsShownInOrder) {
  std::string first = log_trade("XRP", "7", "3", "21", true, "0");
  log_trade("XRP", "9", "1", "9", false, "5");  // a sell: not among the buys
  std::string second = log_trade("XRP", "5000000000", "3", "15000000000", true, "951827696");
  std::string third = log_trade("XRP", "1", "2", "2", true, "2147483647");
  EXPECT_EQ(server.send(envelopes::history(kXrp, 1)),
            history_entry(first, "XRP", "7", "3", "21", true, "0") +
                history_entry(second, "XRP", "5000000000", "3", "15000000000", true, "951827696") +
                history_entry(third, "XRP", "1", "2", "2", true, "2147483647"));
}

TEST_F(History, SellsAndMissingTimes) {
  std::string id = log_trade("BTC", "100", "2", "200", false, "60");
  EXPECT_EQ(server.send(envelopes::history(kBtc, 0)),
            history_entry(id, "BTC", "100", "2", "200", false, "60"));
  db.exec("INSERT INTO kv_tradehistory VALUES(NULL, " + acc + ", 'SOL', 1, 1, 1, false, NULL);");
  std::string untimed = db.value("SELECT LAST_INSERT_ID()");
  EXPECT_EQ(server.send(envelopes::history(kSol, 0)),
            history_entry(untimed, "SOL", "1", "1", "1", false, "0"));
}

}  // namespace
