// The bank check of the sessions-at-once runs: it must pass a bank that moved by exactly its
// logged trades and name every kind of difference. Needs the tests' database (MYSQL_UNIX_PORT),
// bootstrapped; each row adds accounts of its own and leaves every coin's stock as it found it.
#include "sessions.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "account/money.h"

namespace bench {
namespace {

struct Row {
  const char* name;
  // Statements run on the row's first account after the accounts are created; {acc} is its id,
  // {price} BTC's price, {fee} the fee on one BTC, {sym} the symbol.
  std::vector<const char*> statements;
  long traded;           // trades the run would have answered
  const char* expected;  // a text the difference holds; "" for a bank that balances
};

// A buy of one BTC as the server makes it, and the matching sell.
constexpr char kLogBuy[] =
    "INSERT INTO kv_tradehistory VALUES(NULL, {acc}, 'BTC', {price}, 1, {price}, 1, NOW())";
constexpr char kLogSell[] =
    "INSERT INTO kv_tradehistory VALUES(NULL, {acc}, 'BTC', {price}, 1, {price}, 0, NOW())";
constexpr char kPayBuy[] =
    "UPDATE kv_uservault SET KRW_amount=KRW_amount-{price}-{fee}, BTC_amount=BTC_amount+1 WHERE "
    "acc_id={acc}";
constexpr char kPaySell[] =
    "UPDATE kv_uservault SET KRW_amount=KRW_amount+{price}-{fee}, BTC_amount=BTC_amount-1 WHERE "
    "acc_id={acc}";
constexpr char kStockOut[] = "UPDATE kv_coininfo SET qty=qty-1 WHERE symbol='BTC'";
constexpr char kStockIn[] = "UPDATE kv_coininfo SET qty=qty+1 WHERE symbol='BTC'";

TEST(SessionsBankCheck, PassesExactTradesAndNamesEveryDifference) {
  BareDb db;
  ASSERT_TRUE(db.connect(true)) << "the tests' database: " << db.error();
  const std::string price =
      db.value("SELECT current_price FROM kv_coininfo WHERE symbol='BTC'").value_or("");
  ASSERT_FALSE(price.empty()) << db.error();
  const uint64_t fee = *money::trade_fee(std::stoull(price));
  const Row rows[] = {
      {"no trades", {}, 0, ""},
      {"a buy and a sell, paid with their fees",
       {kLogBuy, kPayBuy, kStockOut, kLogSell, kPaySell, kStockIn},
       2,
       ""},
      {"a trade logged, the balances not moved", {kLogBuy, kStockOut}, 1, "DOES NOT BALANCE"},
      {"a buy without its fee",
       {kLogBuy,
        "UPDATE kv_uservault SET KRW_amount=KRW_amount-{price}, BTC_amount=BTC_amount+1 "
        "WHERE acc_id={acc}",
        kStockOut},
       1,
       "DOES NOT BALANCE"},
      {"coins moved without a trade",
       {"UPDATE kv_uservault SET SOL_amount=SOL_amount+1 WHERE "
        "acc_id={acc}"},
       0,
       "DOES NOT BALANCE"},
      {"an answered trade missing from the log", {}, 1, "TRADE LOG DOES NOT MATCH"},
      {"the stock not moved by a trade", {kLogBuy, kPayBuy}, 1, "STOCK DOES NOT MATCH"},
  };
  int row_number = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string prefix = fmt::format("chk{}r{}n", getpid(), ++row_number);
    const std::string ids = create_accounts(db, prefix, 2);
    const std::string acc =
        db.value(fmt::format("SELECT acc_id FROM kv_account WHERE username='{}0'", prefix))
            .value_or("");
    ASSERT_FALSE(acc.empty()) << db.error();
    const std::vector<int64_t> before = read_stock(db);
    for (const char* statement : row.statements) {
      ASSERT_TRUE(db.exec(fmt::format(fmt::runtime(statement), fmt::arg("acc", acc),
                                      fmt::arg("price", price), fmt::arg("fee", fee))))
          << db.error();
    }
    const std::string difference = bank_difference(db, ids, before, row.traded);
    // Put the stock back for the rows and tests that follow.
    const int64_t moved = before[0] - read_stock(db)[0];
    ASSERT_TRUE(
        db.exec(fmt::format("UPDATE kv_coininfo SET qty=qty+{} WHERE symbol='BTC'", moved)));
    if (*row.expected == '\0') {
      EXPECT_EQ(difference, "");
    } else {
      EXPECT_NE(difference.find(row.expected), std::string::npos) << difference;
    }
  }
}

}  // namespace
}  // namespace bench
