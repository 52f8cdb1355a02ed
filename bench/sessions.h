// Many sessions at once, each placing orders back to back: what the database's row locks and
// connections cost when every session is its own server process.
//
// N server processes on pipes, each signed in to an account of its own, all started and signed
// in before the timed window; then every session sends its orders one after the other (each
// sent as soon as the previous one's answer is read), buys and sells in turn, all on one coin or
// spread over the four. One thread drives every session through epoll, so that the driver adds
// one process, not N threads, to what the machine schedules.
//
// After every run the bank is checked against the trade log: every account of the run holds its
// starting KRW and coins moved by exactly the trades logged for it (KRW by their values and fees),
// and every coin's stock moved by exactly the run's logged trades. A difference, an order refused
// or a trade missing from the log fails the run.
#ifndef KORVANE_BENCH_SESSIONS_H_
#define KORVANE_BENCH_SESSIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "bare_db.h"
#include "results.h"

namespace bench {

// Runs `sessions` sessions of `orders` orders each with the server at `server_path`, its
// accounts created through `db` (a connection of the server's user), and checks the bank
// afterwards. `run` tells this run's accounts from those of earlier runs.
SessionsRun run_sessions(BareDb& db, const std::string& server_path, int sessions, bool one_coin,
                         int orders, int run);

// The parts of a run the bank check rests on.
//
// Creates `n` accounts named `prefix` followed by 0..n-1 (no underscore or percent sign in
// `prefix`), each holding the run's starting KRW and coins, in one transaction. Returns the SQL
// set of their ids, for the check.
std::string create_accounts(BareDb& db, const std::string& prefix, int n);

// Every coin's stock, in request index order (BTC, ETH, XRP, SOL).
std::vector<int64_t> read_stock(BareDb& db);

// The bank against the trade log: empty when every account of `ids` holds its starting amounts
// moved by exactly its logged trades (KRW by their values and fees), `traded` trades are logged
// for them, and every coin's stock moved from `stock_before` by exactly those trades; otherwise
// what differs, in capitals.
std::string bank_difference(BareDb& db, const std::string& ids,
                            const std::vector<int64_t>& stock_before, long traded);

// How the database serves connections: its thread handling, pool size and max_connections.
std::string describe_database_threads(BareDb& db);

}  // namespace bench

#endif  // KORVANE_BENCH_SESSIONS_H_
