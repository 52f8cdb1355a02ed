#include "bare_db.h"

#include <fmt/format.h>

#include <utility>

#include "account/money.h"
#include "base/decimal.h"
#include "db/connection_params.h"
#include "db/statements.h"

namespace bench {

namespace {

// The statements of an order as the server issued them, one round trip each, before it learned
// to batch them: a buy sends 11 (begin, two locks, bot guard, price and stock, KRW balance, four
// writes, commit), a sell 12 (price and stock read apart, the coin balance instead of KRW). They
// are copied here rather than taken from the server's catalogue so that the floor stays the same
// whatever the server sends now; keep them byte for byte. (The session settings are not part of
// the floor's order: a connection here is set up as the server's is, with its own text.)
constexpr char kBeginTransaction[] = "START TRANSACTION";
constexpr char kCommit[] = "COMMIT";
constexpr char kRollback[] = "ROLLBACK";
constexpr char kLockVault[] = "SELECT acc_id FROM kv_uservault WHERE acc_id={} FOR UPDATE;";
constexpr char kLockMarket[] = "SELECT symbol FROM kv_coininfo WHERE symbol='{}' FOR UPDATE;";
constexpr char kCountSameTrade[] =
    "SELECT COUNT(*) from kv_tradehistory where acc_id={} and symbol='{}' and "
    "trade_time=FROM_UNIXTIME({}) and type={};";
constexpr char kSelectPriceAndStock[] =
    "SELECT current_price, qty FROM kv_coininfo WHERE symbol='{}';";
constexpr char kSelectPrice[] = "SELECT current_price FROM kv_coininfo WHERE symbol='{}';";
constexpr char kSelectStock[] = "SELECT qty FROM kv_coininfo WHERE symbol='{}';";
constexpr char kSelectKrwBalance[] = "SELECT KRW_amount FROM kv_uservault WHERE acc_id='{}';";
constexpr char kSelectCoinBalance[] = "SELECT {}_amount FROM kv_uservault WHERE acc_id='{}';";
constexpr char kSetStock[] = "UPDATE kv_coininfo SET qty={} WHERE symbol='{}'";
constexpr char kAddCoin[] = "UPDATE kv_uservault SET {}_amount={}_amount+{} WHERE acc_id={}";
constexpr char kSubtractCoin[] = "UPDATE kv_uservault SET {}_amount={}_amount-{} WHERE acc_id={}";
constexpr char kSubtractKrw[] = "UPDATE kv_uservault SET KRW_amount=KRW_amount-{} WHERE acc_id={}";
constexpr char kAddKrw[] = "UPDATE kv_uservault SET KRW_amount=KRW_amount+{} WHERE acc_id={}";
constexpr char kInsertTrade[] =
    "INSERT INTO kv_tradehistory VALUES(NULL, {}, '{}', {}, {}, {}, {}, FROM_UNIXTIME({}) );";

// A market value as the server reads it: a 32-bit decimal prefix, widened with its sign.
int64_t read_int(const std::optional<std::string>& text) {
  return text ? parse_decimal_prefix32(text->c_str()) : -1;
}
int64_t read_int(const std::string& text) { return parse_decimal_prefix32(text.c_str()); }
int64_t read_int(const char* text) { return text ? parse_decimal_prefix32(text) : -1; }

// The reads and writes of one order, shared by both ways of running it. `locked` adds the
// transaction's two row locks. False as soon as a statement fails or a check refuses.
bool order_statements(BareDb& db, uint32_t account, const Order& o, bool locked) {
  const std::string& sym = o.symbol;
  if (locked) {
    if (!db.exec(fmt::format(kLockVault, account))) return false;
    if (!db.exec(fmt::format(kLockMarket, sym))) return false;
  }
  std::optional<std::string> same =
      db.value(fmt::format(kCountSameTrade, account, sym, o.timestamp, o.buy ? 1 : 0));
  if (!same || *same != "0") return false;
  int64_t price, stock;
  if (o.buy) {
    // A buy reads both values with one statement.
    std::vector<std::string> row = db.row(fmt::format(kSelectPriceAndStock, sym));
    if (row.size() != 2) return false;
    price = read_int(row[0]);
    stock = read_int(row[1]);
  } else {
    price = read_int(db.value(fmt::format(kSelectPrice, sym)));
    stock = read_int(db.value(fmt::format(kSelectStock, sym)));
  }
  if (price < 0 || stock < 0) return false;
  const uint64_t p = static_cast<uint64_t>(price);
  const int64_t amount = static_cast<int64_t>(o.amount);
  if (o.buy) {
    int64_t krw = read_int(db.value(fmt::format(kSelectKrwBalance, account)));
    std::optional<uint64_t> cost = money::buy_cost(p, o.amount);
    if (!cost || !money::covers(krw, *cost) || static_cast<uint64_t>(stock) < o.amount) {
      return false;
    }
    return db.exec(fmt::format(kSetStock, static_cast<uint64_t>(stock) - o.amount, sym)) &&
           db.exec(fmt::format(kAddCoin, sym, sym, amount, account)) &&
           db.exec(fmt::format(kSubtractKrw, static_cast<int64_t>(*cost), account)) &&
           db.exec(fmt::format(kInsertTrade, account, sym, p, o.amount, p * o.amount, true,
                               o.timestamp));
  }
  int64_t coins = read_int(db.value(fmt::format(kSelectCoinBalance, sym, account)));
  std::optional<uint64_t> proceeds = money::sell_proceeds(p, o.amount);
  if (!proceeds || !money::covers(coins, o.amount)) return false;
  return db.exec(fmt::format(kSetStock, static_cast<uint64_t>(stock) + o.amount, sym)) &&
         db.exec(fmt::format(kSubtractCoin, sym, sym, amount, account)) &&
         db.exec(fmt::format(kAddKrw, static_cast<int64_t>(*proceeds), account)) &&
         db.exec(fmt::format(kInsertTrade, account, sym, p, o.amount, p * o.amount, false,
                             o.timestamp));
}

// The writes of an order's second batch, before its commit, from the vault row (KRW_amount,
// <coin>_amount) and the market row (price, stock) of the first; none when a check refuses.
std::vector<std::string> batched_writes(uint32_t account, const Order& o, MYSQL_ROW vault,
                                        MYSQL_ROW market) {
  const std::string& sym = o.symbol;
  const int64_t price = read_int(market[0]);
  const int64_t stock = read_int(market[1]);
  if (price < 0 || stock < 0) return {};
  const uint64_t p = static_cast<uint64_t>(price);
  const int64_t amount = static_cast<int64_t>(o.amount);
  if (o.buy) {
    std::optional<uint64_t> cost = money::buy_cost(p, o.amount);
    if (!cost || !money::covers(read_int(vault[0]), *cost) ||
        static_cast<uint64_t>(stock) < o.amount) {
      return {};
    }
    return {fmt::format(sql::kLockStock, sym), fmt::format(sql::kSubtractStock, o.amount, sym),
            fmt::format(sql::kAddCoin, sym, sym, amount, account),
            fmt::format(sql::kSubtractKrw, static_cast<int64_t>(*cost), account)};
  }
  std::optional<uint64_t> proceeds = money::sell_proceeds(p, o.amount);
  if (!proceeds || !money::covers(read_int(vault[1]), o.amount)) return {};
  return {fmt::format(sql::kAddStock, o.amount, sym),
          fmt::format(sql::kSubtractCoin, sym, sym, amount, account),
          fmt::format(sql::kAddKrw, static_cast<int64_t>(*proceeds), account)};
}

}  // namespace

BareDb::~BareDb() {
  if (conn_ != nullptr) mysql_close(conn_);
}

bool BareDb::connect(bool session_setup, bool batches) {
  conn_ = mysql_init(nullptr);
  if (conn_ == nullptr) return false;
  mysql_options(conn_, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (session_setup) {
    // The settings the server sends with every connect.
    mysql_options(conn_, MYSQL_INIT_COMMAND, db_params::session_settings().c_str());
  }
  return mysql_real_connect(conn_, db_params::kHost, db_params::kUser, db_params::kPassword,
                            db_params::kDatabase, 0, nullptr,
                            batches ? CLIENT_MULTI_STATEMENTS : 0) != nullptr;
}

bool BareDb::connect_as_root() {
  conn_ = mysql_init(nullptr);
  if (conn_ == nullptr) return false;
  return mysql_real_connect(conn_, db_params::kHost, "root", "", nullptr, db_params::kPort, nullptr,
                            0) != nullptr;
}

bool BareDb::exec(const std::string& statement) {
  if (mysql_real_query(conn_, statement.data(), statement.size()) != 0) return false;
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res != nullptr) mysql_free_result(res);
  return mysql_errno(conn_) == 0;
}

std::vector<ResultSet> BareDb::batch(const std::vector<std::string>& statements) {
  std::string text;
  for (const std::string& statement : statements) {
    text += statement;
    if (statement.back() != ';') text += ';';
  }
  std::vector<ResultSet> results;
  int status = mysql_real_query(conn_, text.data(), text.size());
  while (status == 0) {
    ResultSet result(mysql_store_result(conn_));
    if (mysql_errno(conn_) != 0) break;
    results.push_back(std::move(result));
    status = mysql_next_result(conn_);  // 0: another result; -1: none left; >0: it failed
  }
  while (mysql_more_results(conn_) && mysql_next_result(conn_) == 0) {
    ResultSet ignored(mysql_store_result(conn_));
  }
  return results;
}

uint64_t BareDb::last_insert_id() { return mysql_insert_id(conn_); }

std::optional<std::string> BareDb::value(const std::string& query) {
  std::vector<std::string> rows = column(query);
  if (rows.empty()) return std::nullopt;
  return rows.front();
}

std::vector<std::string> BareDb::row(const std::string& query) {
  std::vector<std::string> out;
  if (mysql_real_query(conn_, query.data(), query.size()) != 0) return out;
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res == nullptr) return out;
  if (MYSQL_ROW row = mysql_fetch_row(res)) {
    unsigned long* lengths = mysql_fetch_lengths(res);
    for (unsigned int i = 0; i < mysql_num_fields(res); ++i) {
      out.emplace_back(row[i] == nullptr ? "" : row[i], lengths[i]);
    }
  }
  mysql_free_result(res);
  return out;
}

std::vector<std::string> BareDb::column(const std::string& query) {
  std::vector<std::string> out;
  if (mysql_real_query(conn_, query.data(), query.size()) != 0) return out;
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res == nullptr) return out;
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    out.emplace_back(row[0] == nullptr ? "" : row[0], mysql_fetch_lengths(res)[0]);
  }
  mysql_free_result(res);
  return out;
}

std::string BareDb::error() { return conn_ == nullptr ? "no connection" : mysql_error(conn_); }

bool run_order_in_transaction(BareDb& db, uint32_t account, const Order& order) {
  if (!db.exec(kBeginTransaction)) return false;
  if (order_statements(db, account, order, true) && db.exec(kCommit)) return true;
  db.exec(kRollback);
  return false;
}

bool run_order_batched(BareDb& db, uint32_t account, const Order& o) {
  const std::string& sym = o.symbol;
  std::vector<ResultSet> opened =
      db.batch({sql::kBeginTransaction, fmt::format(sql::kLockVaultBalances, sym, account),
                fmt::format(sql::kReadMarketRow, sym),
                fmt::format(sql::kCountSameTrade, account, sym, o.timestamp, o.buy ? 1 : 0),
                fmt::format(sql::kInsertTradeAtMarket, account, sym, o.amount, o.amount, o.buy,
                            o.timestamp)});
  // The log entry is the batch's last statement, so the insert id is its own.
  const bool logged = opened.size() == 5 && db.last_insert_id() != 0;
  MYSQL_ROW vault = logged ? opened[1].first_row() : nullptr;
  MYSQL_ROW market = logged ? opened[2].first_row() : nullptr;
  MYSQL_ROW same = logged ? opened[3].first_row() : nullptr;
  std::vector<std::string> writes;
  if (vault != nullptr && market != nullptr && same != nullptr && read_int(same[0]) == 0) {
    writes = batched_writes(account, o, vault, market);
  }
  if (!writes.empty()) {
    writes.push_back(sql::kCommit);
    // The database stops a batch at its first failing statement: all answered is committed.
    if (db.batch(writes).size() == writes.size()) return true;
  }
  db.exec(sql::kRollback);
  return false;
}

bool run_order_autocommit(BareDb& db, uint32_t account, const Order& order) {
  return order_statements(db, account, order, false);
}

}  // namespace bench
