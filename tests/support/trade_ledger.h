// The books of a trading test, checked against a database at the end: what every order was told
// against the trade log, and every balance and the stock against the log. One check for the load,
// restart and cluster tests, so that a new fault case only records what it sent and was told.
#ifndef KORVANE_TESTS_SUPPORT_TRADE_LEDGER_H_
#define KORVANE_TESTS_SUPPORT_TRADE_LEDGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One order a test sent, and what its session was told.
struct SentOrder {
  enum class Told {
    kTraded,     // answered with its TradeResponse
    kNotTraded,  // answered without one: refused, or settled as not applied
    kUnknown,    // never answered (its session ended): either may be true
  };
  int account;  // index into LedgerStart::ids
  bool buy;
  uint64_t time;  // the order's timestamp: the bot guard lets one trade per account, side and time
  uint64_t amount;
  Told told;
};

// How the books stood before the orders: every account started with `krw` and `coins` of
// `symbol`, the market with `stock` of it at `price`.
struct LedgerStart {
  std::string symbol;
  long price = 0;
  std::vector<std::string> ids;  // the accounts' ids
  long krw = 0;
  long coins = 0;
  long stock = 0;
};

// What check_ledger() found, for the test's report.
struct LedgerCounts {
  size_t sent = 0;
  size_t told_traded = 0;
  size_t told_not_traded = 0;
  size_t unknown = 0;
  size_t logged = 0;
  std::vector<long> krw;  // each account's KRW at the end
};

// Runs a query on the database to check, every column as text ("NULL" for SQL NULL).
using LedgerQuery = std::function<std::vector<std::vector<std::string>>(const std::string&)>;

// Records a test failure for every difference between `orders` and what `query` reads: an order
// told traded that is not logged once with its amount, a logged trade that no order was told
// (or may have been, when unknown), two trades of one account, side and time, a trade whose value
// is not price times amount, an account whose KRW or coins are not its start plus its logged
// trades and their fees, or stock and holdings that do not add up to what they started with.
LedgerCounts check_ledger(const LedgerQuery& query, const LedgerStart& start,
                          const std::vector<SentOrder>& orders);

#endif  // KORVANE_TESTS_SUPPORT_TRADE_LEDGER_H_
