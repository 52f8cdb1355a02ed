// Buying and selling.
//
// Each client has its own server process, and several may trade for one account or in one coin
// at the same time, so an order runs as one transaction that keeps this invariant:
//
//   The order locks the account's kv_uservault row first and the coin's kv_coininfo row only
//   where it writes the stock, always in that order (so two orders never wait for each other in
//   a cycle). It reads the balances it checks with the vault row locked, so nobody else can
//   change them until this order ends; holding the vault row also runs the orders of one account
//   one after the other, which is what makes the bot guard hold across its sessions. A coin's
//   price never changes, so it is read without a lock. The stock a buy checks and prints is read
//   with the market row locked, just before the stock moves, and the move itself fails (on the
//   column's check) when that stock does not cover the buy. Orders of different accounts in one
//   coin therefore overlap everywhere but in their stock writes. The session reads committed data
//   (READ COMMITTED). Stock, coin balance, KRW balance and the trade log change together or not at
//   all: any failed statement, a refused check, a deadlock or a lock timeout rolls the whole order
//   back, and nothing the order prints is printed before its transaction has ended. A trade
//   without its log entry does not exist.
//
// An order takes two round trips to the database. The vault row's locking read, the market row's
// plain read, the bot guard's count and the trade's log entry begin the transaction in one batch
// (so that the entry's id is known before the commit: it proves the order applied should the
// commit's answer be lost). The market row's lock, the writes and the commit go in a second; a
// refused order sends its rollback instead, and the entry goes with it. The database stops a
// batch at its first failing statement, so a commit after a failed write never runs. A buy whose
// first read finds too little stock locks the market row and reads it again, in a round trip of
// its own, before it refuses: a sale may have been about to commit, and the order must not be
// refused where one that waited for the lock would have traded.
//
// What the client sees of one order (price and stock lines, echoed updates, the response) is
// what it would see had the order run alone, and reaches it only after the transaction has ended,
// so a client that stops reading holds no lock. The echoed updates are shown only when the order
// commits: an order the database undid shows what a refused one shows. A deadlock, a lock wait
// timeout, an interrupted statement, a transaction a Galera node undid or a lost connection runs
// the order again from the start (server/request_runner.h). One print is not exact: a buy whose
// commit lost its answer, and that a new connection then proved applied, prints the stock of its
// first read, since the one it locked never reached it.
#include <fmt/format.h>

#include "account/balances.h"
#include "account/money.h"
#include "account/session.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/reply_lines.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "exchange/exchange.h"
#include "exchange/market.h"

namespace {

bool negative(uint64_t market) { return static_cast<int64_t>(market) < 0; }

bool stock_covers(uint64_t stock, uint64_t amount) {
  return !negative(stock) && validate_coin_qty(stock, amount);
}

// Sets `stock` from the market row that kLockStock read into `result`; false when it read none.
bool read_locked_stock(ResultSet& result, uint64_t* stock) {
  MYSQL_ROW row = result.first_row();
  if (row == nullptr) return false;
  *stock = market_value(row[0]);
  return true;
}

// Begins the order's transaction with the vault row's locking read, the market row's plain read,
// the bot guard's count and the trade's log entry, in one round trip, then applies the guard and
// takes the market row's price and stock into `exchange`. Leaves the vault row (KRW_amount,
// <coin>_amount) in `vault` and the logged trade's id in `trade_id` (0 when the log entry failed,
// a lock wait timeout or a lost connection included: the order is refused after its checks, where
// a failed write refuses it, and the attempt's outcome decides the rest). Done when the order goes
// on; refused when it stops here: a failed read, a trade the guard found (it has printed its
// line), or no market row; `order` rolls back then, the entry with it.
Outcome open_order(Exchange& exchange, Transaction& order, const std::string& symbol,
                   uint64_t amount, uint64_t trade_time, bool buy, ResultSet* vault,
                   uint64_t* trade_id) {
  std::vector<ResultSet> results = order.begin(
      {fmt::format(sql::kLockVaultBalances, symbol, user->idx),
       fmt::format(sql::kReadMarketRow, symbol),
       fmt::format(sql::kCountSameTrade, user->idx, symbol, trade_time, buy ? 1 : 0),
       fmt::format(sql::kInsertTradeAtMarket, user->idx, symbol, amount, amount, buy, trade_time)});
  // The reads stand even when the log entry failed (a lock wait timeout, say): the order shows
  // what it showed when the entry went with the writes, and is refused where they would fail.
  if (results.size() < 3) return refused_by_database();
  const int guard = exchange.check_trading_bot(results[2]);
  if (guard == 0) return refused(Reason::kBotGuard);
  if (guard < 0) return refused(Reason::kDatabase);
  MYSQL_ROW market = results[1].first_row();
  if (market == nullptr) return refused(Reason::kBadCoin);
  exchange.cur_price = market_value(market[0]);
  exchange.cur_qty = market_value(market[1]);
  *vault = std::move(results[0]);
  // The entry is the batch's last statement, so the insert id is its own.
  *trade_id = results.size() == 4 ? client->last_insert_id() : 0;
  return done();
}

// The checks of a buy, in the order a refusal names them; done with the KRW it costs in `cost`.
Outcome check_buy(uint64_t price, uint64_t stock, uint64_t amount, ResultSet& balances,
                  uint64_t* cost) {
  if (!stock_covers(stock, amount)) return refused(Reason::kNoStock);
  MYSQL_ROW vault = balances.first_row();
  if (vault == nullptr) return refused(Reason::kDatabase);
  // Both go as signed values: an amount of 2^63 or more, or a negative price, is refused here.
  if (negative(amount)) return refused(Reason::kBadAmount);
  if (!user->validate_user_krw(static_cast<int64_t>(amount), static_cast<int64_t>(price),
                               balance_value(vault[0]))) {
    return refused(Reason::kNoKrw);
  }
  // The check above bounds the cost by a stored balance, so it fits a signed 64-bit amount.
  std::optional<uint64_t> total = money::buy_cost(price, amount);
  if (!total) return refused(Reason::kNoKrw);
  *cost = *total;
  return done();
}

// What an executed order prints after its market lines: the two balance statements it ran (the
// last two of `writes`) and its TradeResponse.
void print_trade(const std::vector<std::string>& writes, const std::string& symbol, uint64_t price,
                 uint64_t amount, uint64_t value, bool buy) {
  print_line(writes[writes.size() - 2]);
  print_line(writes.back());
  korvane::TradeResponse response;
  response.set_symbol(symbol);
  response.set_coin_cur_price(price);
  response.set_amount(amount);
  response.set_total_price(value);
  response.set_flag(buy);
  print_json_response(response, JsonFields::kSetFields);
}

}  // namespace

Outcome Exchange::handle_buy(const korvane::Buy& request) {
  // Only the low 32 bits of the field name the coin.
  int32_t id = static_cast<int32_t>(static_cast<uint32_t>(request.symbol()));
  uint64_t amount = request.amount();
  uint64_t trade_time = request.timestamp();
  if (amount == 0) return refused(Reason::kBadAmount);
  std::optional<std::string> symbol = convert_sym_with_id(id);
  if (!symbol) return refused(Reason::kBadCoin);

  Transaction order(client);
  ResultSet balances;
  uint64_t trade_id;
  Outcome opened =
      open_order(*this, order, *symbol, amount, trade_time, true, &balances, &trade_id);
  if (!opened.done()) return opened;
  if (!stock_covers(cur_qty, amount)) {
    std::vector<ResultSet> locked = order.read({fmt::format(sql::kLockStock, *symbol)});
    if (locked.empty()) return refused_by_database();
    if (!read_locked_stock(locked[0], &cur_qty)) return refused(Reason::kBadCoin);
  }
  uint64_t cost = 0;
  Outcome checked = check_buy(cur_price, cur_qty, amount, balances, &cost);
  if (!checked.done()) {
    print_text(fmt::format("{}\n{}\n", cur_price, cur_qty));
    return checked;
  }

  const std::vector<std::string> writes = {
      fmt::format(sql::kLockStock, *symbol), fmt::format(sql::kSubtractStock, amount, *symbol),
      user->update_user_vault_coin(*symbol, static_cast<int64_t>(amount), true),
      user->update_user_vault_krw(static_cast<int64_t>(cost), true)};
  std::vector<ResultSet> answers;
  uint64_t value = 0;
  Outcome outcome = commit_order(order, writes, trade_id, amount, &value, &answers);
  // The stock the buy met, locked just before it moved (a buy proved applied without that answer
  // keeps its first read's). The two market lines go in one write.
  if (!answers.empty()) read_locked_stock(answers[0], &cur_qty);
  print_text(fmt::format("{}\n{}\n", cur_price, cur_qty));
  if (outcome.done()) {
    print_trade(writes, *symbol, cur_price, amount, value, true);
  } else if (answers.size() == 1 && !stock_covers(cur_qty, amount)) {
    // The stock fell below the amount since the first read: the stock write failed on its check.
    return refused(Reason::kNoStock);
  }
  return outcome;
}

Outcome Exchange::handle_sell(const korvane::Sell& request) {
  int32_t id = static_cast<int32_t>(request.symbol());
  uint64_t amount = request.amount();
  uint64_t trade_time = request.timestamp();
  if (amount == 0) return refused(Reason::kBadAmount);
  std::optional<std::string> symbol = convert_sym_with_id(id);
  if (!symbol) return refused(Reason::kBadCoin);

  Transaction order(client);
  ResultSet balances;
  uint64_t trade_id;
  Outcome opened =
      open_order(*this, order, *symbol, amount, trade_time, false, &balances, &trade_id);
  if (!opened.done()) return opened;
  MYSQL_ROW vault = balances.first_row();
  if (vault == nullptr) return refused(Reason::kDatabase);
  // An amount of 2^63 or more is negative as a signed value and refused here.
  if (negative(amount)) return refused(Reason::kBadAmount);
  if (!user->validate_user_qty(static_cast<int64_t>(amount), balance_value(vault[1]))) {
    return refused(Reason::kNoCoins);
  }
  if (negative(cur_price) || negative(cur_qty)) return refused(Reason::kDatabase);
  // The coin balance bounds the amount by 2^31, so proceeds and new stock fit their types; the
  // database refuses a KRW balance or stock beyond its column.
  std::optional<uint64_t> proceeds = money::sell_proceeds(cur_price, amount);
  uint64_t new_stock;
  if (!proceeds || static_cast<int64_t>(*proceeds) < 0 ||
      __builtin_add_overflow(cur_qty, amount, &new_stock)) {
    return refused(Reason::kTooLarge);
  }

  const std::vector<std::string> writes = {
      fmt::format(sql::kAddStock, amount, *symbol),
      user->update_user_vault_coin(*symbol, static_cast<int64_t>(amount), false),
      user->update_user_vault_krw(static_cast<int64_t>(*proceeds), false)};
  uint64_t value = 0;
  Outcome outcome = commit_order(order, writes, trade_id, amount, &value, nullptr);
  if (outcome.done()) print_trade(writes, *symbol, cur_price, amount, value, false);
  return outcome;
}

int Exchange::check_trading_bot(ResultSet& count) {
  MYSQL_ROW row = count.first_row();
  if (row == nullptr) return -1;
  if (parse_decimal_prefix64(row[0]) != 0) {
    print_line(wire::kBotGuardLine);
    return 0;
  }
  return 1;
}

Outcome Exchange::commit_order(Transaction& order, const std::vector<std::string>& writes,
                               uint64_t trade_id, uint64_t amount, uint64_t* value,
                               std::vector<ResultSet>* answers) {
  std::optional<uint64_t> trade_value = money::trade_value(cur_price, amount);
  if (!trade_value) return refused(Reason::kTooLarge);
  *value = *trade_value;
  // The log entry written in the first round trip failed: a failed write refuses the order.
  if (trade_id == 0) return refused_by_database();
  // The log entry completes the order: commit it with the order's other changes, and answer
  // only once they are durable. Should the commit's answer be lost, the entry's id tells whether
  // this order was applied.
  // The fence writes the vault row without changing it: on a cluster, a "not applied" stands only
  // once that write has committed (MySQLClient::Proof).
  const MySQLClient::Proof proof = {fmt::format(sql::kProveTrade, trade_id, user->idx),
                                    fmt::format(sql::kFenceVault, user->idx)};
  if (!order.commit(writes, proof, answers)) return refused_by_database();
  return done({static_cast<uint32_t>(trade_id)});
}
