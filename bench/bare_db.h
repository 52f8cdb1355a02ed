// A bare database client: one libmariadb connection with nothing between the caller and the
// database, and the statements of one order issued through it. This is the floor the server's
// orders are measured against: the statements an order took before the server batched them (a
// copy of their texts, kept here so that the floor does not move with the server), one round
// trip each, the same result reading, and nothing else.
#ifndef KORVANE_BENCH_BARE_DB_H_
#define KORVANE_BENCH_BARE_DB_H_

#include <mysql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

class BareDb {
 public:
  BareDb() = default;
  ~BareDb();
  BareDb(const BareDb&) = delete;
  BareDb& operator=(const BareDb&) = delete;

  // Connects as the server does (user korvane, database korvane_db, utf8mb4). With
  // `session_setup`, also sends the server's session settings (db/statements.h,
  // kSessionSettings). False on failure.
  bool connect(bool session_setup);

  // Connects as the database's root user, without a password and with no database chosen: the
  // private instance of scripts/bench. For settings of the whole server (SET GLOBAL).
  bool connect_as_root();

  // Runs a statement and reads its whole result, as the server's exec_query_result does. False
  // when the statement failed.
  bool exec(const std::string& statement);

  // Column 0 of the first row of a query, or nothing when it failed or gave no row.
  std::optional<std::string> value(const std::string& query);

  // Every column of the first row of a query; empty when it failed or gave no row.
  std::vector<std::string> row(const std::string& query);

  // Column 0 of every row of a query.
  std::vector<std::string> column(const std::string& query);

  // The last error text.
  std::string error();

 private:
  MYSQL* conn_ = nullptr;
};

// One order as a client places it.
struct Order {
  bool buy;
  std::string symbol;  // "BTC", "ETH", "XRP" or "SOL"
  uint64_t amount;
  uint64_t timestamp;
};

// Runs the order as the server did before batching: the same statements in the same order, one
// round trip each, as one transaction with its two row locks. True when it committed.
bool run_order_in_transaction(BareDb& db, uint32_t account, const Order& order);

// Runs the order as a literal, lock-free reading of the statements would: the bot count, the
// market and balance reads, then every write on its own, each committed by itself. True when
// every statement succeeded.
bool run_order_autocommit(BareDb& db, uint32_t account, const Order& order);

}  // namespace bench

#endif  // KORVANE_BENCH_BARE_DB_H_
