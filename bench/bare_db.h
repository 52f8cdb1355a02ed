// A bare database client: one libmariadb connection with nothing between the caller and the
// database, and the statements of one order issued through it. These are the floors the server's
// orders are measured against. The fixed one: the statements an order took before the server
// batched them (a copy of their texts, kept here so that the floor does not move with the
// server), one round trip each, the same result reading, and nothing else. The replay: the
// batches the server sends for an order now, built from its own statement texts (so it moves
// with the server), read as the server reads them; the server over it is what the server process
// itself adds.
#ifndef KORVANE_BENCH_BARE_DB_H_
#define KORVANE_BENCH_BARE_DB_H_

#include <mysql.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/result_set.h"

namespace bench {

class BareDb {
 public:
  BareDb() = default;
  ~BareDb();
  BareDb(const BareDb&) = delete;
  BareDb& operator=(const BareDb&) = delete;

  // Connects as the server does (user korvane, database korvane_db, utf8mb4). With
  // `session_setup`, also sends the server's session settings (db/statements.h,
  // kSessionSettings). With `batches`, the connection takes several statements in one text
  // (CLIENT_MULTI_STATEMENTS), as the server's does. False on failure.
  bool connect(bool session_setup, bool batches = false);

  // Connects as the database's root user, without a password and with no database chosen: the
  // private instance of scripts/bench. For settings of the whole server (SET GLOBAL).
  bool connect_as_root();

  // Runs a statement and reads its whole result, as the server's exec_query_result does. False
  // when the statement failed.
  bool exec(const std::string& statement);

  // Sends the statements in one round trip, as one text in which each ends with one semicolon
  // (a text that carries its own keeps just that), and stores every result, as the server's
  // send_batch does. Returns a result per statement that ran (empty for one without rows): fewer
  // than sent when one failed, and then whatever the batch still had to say has been dropped.
  // REQUIRES: connected with `batches`.
  std::vector<ResultSet> batch(const std::vector<std::string>& statements);

  // The id the last INSERT gave.
  uint64_t last_insert_id();

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

// Runs the order as the server runs it now: its two batches, begin with the locking and plain
// reads, the bot guard and the trade's log entry, then the stock lock, the writes and the commit,
// each text from the server's catalogue (db/statements.h), with the checks between them on what
// the first batch read. Nothing is printed. True when it committed. REQUIRES: `db` connected
// with `batches` and the session settings.
bool run_order_batched(BareDb& db, uint32_t account, const Order& order);

// Runs the order as a literal, lock-free reading of the statements would: the bot count, the
// market and balance reads, then every write on its own, each committed by itself. True when
// every statement succeeded.
bool run_order_autocommit(BareDb& db, uint32_t account, const Order& order);

}  // namespace bench

#endif  // KORVANE_BENCH_BARE_DB_H_
