#include "support/trade_ledger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>

#include "base/wire_facts.h"

namespace {

long as_long(const std::string& s) { return s.empty() || s == "NULL" ? 0 : std::stol(s); }

// An account's trades of one side at one time: the bot guard lets one of them through.
using Key = std::tuple<int, bool, uint64_t>;

std::string describe(const LedgerStart& start, const Key& key, uint64_t amount) {
  const auto& [account, buy, time] = key;
  return "account " + start.ids[account] + ": the " + (buy ? "buy " : "sell ") +
         std::to_string(amount) + " at " + std::to_string(time);
}

// What the orders of one key were told.
struct Told {
  int traded = 0;
  int unknown = 0;
  uint64_t traded_amount = 0;
  std::vector<uint64_t> amounts;  // of every order of the key
};

}  // namespace

LedgerCounts check_ledger(const LedgerQuery& query, const LedgerStart& start,
                          const std::vector<SentOrder>& orders) {
  LedgerCounts counts;
  counts.sent = orders.size();
  std::map<Key, Told> told;
  for (const SentOrder& o : orders) {
    Told& t = told[Key(o.account, o.buy, o.time)];
    t.amounts.push_back(o.amount);
    switch (o.told) {
      case SentOrder::Told::kTraded:
        ++counts.told_traded;
        ++t.traded;
        t.traded_amount = o.amount;
        break;
      case SentOrder::Told::kNotTraded:
        ++counts.told_not_traded;
        break;
      case SentOrder::Told::kUnknown:
        ++counts.unknown;
        ++t.unknown;
        break;
    }
  }
  for (const auto& [key, t] : told) {
    EXPECT_LE(t.traded, 1) << describe(start, key, t.traded_amount)
                           << " was told traded twice: one side and time trades once";
  }

  const std::string market =
      "SELECT qty FROM korvane_db.kv_coininfo WHERE symbol='" + start.symbol + "'";
  auto stock = query(market);
  if (stock.size() != 1) {
    ADD_FAILURE() << "no market row for " << start.symbol;
    return counts;
  }
  long everywhere = as_long(stock[0][0]);
  std::map<Key, uint64_t> logged;
  for (size_t a = 0; a < start.ids.size(); ++a) {
    SCOPED_TRACE("account " + start.ids[a]);
    auto vault = query("SELECT KRW_amount, " + start.symbol +
                       "_amount FROM korvane_db.kv_uservault WHERE acc_id=" + start.ids[a]);
    if (vault.size() != 1) {
      ADD_FAILURE() << "no vault row";
      return counts;
    }
    const long krw = as_long(vault[0][0]), coins = as_long(vault[0][1]);
    counts.krw.push_back(krw);
    everywhere += coins;
    long expect_krw = start.krw, expect_coins = start.coins;
    auto trades = query(
        "SELECT type, amount, total_price, TIMESTAMPDIFF(SECOND, '1970-01-01', trade_time) FROM "
        "korvane_db.kv_tradehistory WHERE symbol='" +
        start.symbol + "' AND acc_id=" + start.ids[a]);
    for (const auto& row : trades) {
      const bool buy = row[0] == "1";
      const long amount = as_long(row[1]), value = as_long(row[2]);
      const long fee = value * static_cast<long>(wire::kFeePercent) / 100;
      EXPECT_EQ(value, start.price * amount);
      expect_krw += buy ? -(value + fee) : value - fee;
      expect_coins += buy ? amount : -amount;
      const Key key(static_cast<int>(a), buy, std::stoull(row[3]));
      EXPECT_TRUE(logged.emplace(key, amount).second)
          << describe(start, key, amount) << " is in the log twice (the bot guard let it by)";
    }
    EXPECT_EQ(krw, expect_krw) << "KRW differs from what the trade log says";
    EXPECT_EQ(coins, expect_coins) << "coins differ from what the trade log says";
    counts.logged += trades.size();
  }
  EXPECT_EQ(everywhere, start.stock + static_cast<long>(start.ids.size()) * start.coins)
      << "stock plus holdings changed";

  for (const auto& [key, t] : told) {
    auto entry = logged.find(key);
    if (t.traded > 0) {
      EXPECT_TRUE(entry != logged.end() && entry->second == t.traded_amount)
          << describe(start, key, t.traded_amount)
          << " was told traded but is not in the log with that amount";
    } else if (t.unknown == 0) {
      EXPECT_TRUE(entry == logged.end())
          << describe(start, key, entry->second) << " is in the log, but was told not traded";
    }
  }
  for (const auto& [key, amount] : logged) {
    auto t = told.find(key);
    if (t == told.end()) {
      ADD_FAILURE() << describe(start, key, amount) << " is in the log, but was never sent";
    } else if (t->second.traded == 0) {
      const std::vector<uint64_t>& sent = t->second.amounts;
      EXPECT_NE(std::find(sent.begin(), sent.end(), amount), sent.end())
          << describe(start, key, amount) << " is in the log with an amount no order had";
    }
  }
  return counts;
}
