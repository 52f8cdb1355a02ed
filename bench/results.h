// What one run of korvane_bench measured, as the report and the plot read it.
#ifndef KORVANE_BENCH_RESULTS_H_
#define KORVANE_BENCH_RESULTS_H_

#include <string>
#include <utility>
#include <vector>

#include "stats.h"
#include "workload.h"

namespace bench {

// A ratio of subject over floor, per round and overall.
struct Paired {
  std::vector<double> subject;  // per round
  std::vector<double> floor;    // per round
  std::vector<double> ratios;   // subject / floor, per round

  void add(double s, double f) {
    subject.push_back(s);
    floor.push_back(f);
    ratios.push_back(s / f);
  }
  double ratio() const { return median(ratios); }
  bool empty() const { return ratios.empty(); }
};

// Time per order of the two servers and of the two bare clients, all four from the same rounds.
struct OrderCosts {
  Paired subject;   // this tree's server over the bare client
  Paired baseline;  // the baseline server over the bare client
  Paired replay;    // this tree's server over its own batches, replayed by a bare client
};

// One session count's load run, or several pooled.
struct LoadResult {
  int sessions = 0;
  double requests_per_second = 0;
  std::vector<double> latency[kKinds];
  int refused[kKinds] = {};
  std::vector<double> all;
};

// The same session counts, run by turns against both servers.
struct LoadSweep {
  std::vector<LoadResult> subject;
  std::vector<LoadResult> baseline;
};

// One run of many sessions placing orders at once (sessions.h).
struct SessionsRun {
  int sessions = 0;
  bool one_coin = false;  // all sessions on one coin, else spread over the four
  double orders_per_second = 0;
  std::vector<double> latency;  // per order, request written to prompt read, in us
  // Per session process after the run, mean over the sessions, in KiB: the peak resident set
  // (VmHWM) and the proportional set (Pss, shared pages divided among their users).
  double server_hwm_kib = 0;
  double server_pss_kib = 0;
  // The database's resident set before the sessions started and with all of them connected
  // after the run, in KiB.
  long db_rss_before_kib = 0;
  long db_rss_kib = 0;
  double start_seconds = 0;  // starting and signing in every session, before the timed window
};

// The sessions-at-once section: its runs and how the database served their connections.
struct SessionsSection {
  std::vector<SessionsRun> runs;
  int orders_per_session = 0;
  std::string database_threads;  // e.g. "one-thread-per-connection, max_connections 1100"
  // When it ran and how busy the machine was (1, 5, 15 minute load averages) around it: the
  // section runs on its own too (--only sessions), apart from the run the machine table is of.
  std::string date, load_before, load_after;
};

// Start-up: the server's spawn to first prompt, over the bootstrap run of the mysql client plus
// one connect. The connect is measured two ways: by a bare client process (spawned, connected,
// ended), the least a process that talks to the database costs; and inside this already running
// process, which leaves the server's process start on the server's side.
struct Startup {
  Paired process_floor;
  Paired connect_floor;
  Paired script;  // the bootstrap run over the same client run with no statements
};

struct Machine {
  std::string cpu, kernel, database, date, load_before, load_after;
  unsigned cores = 0;
};

struct Results {
  Machine machine;
  std::string baseline_label;  // names the baseline server's commit
  OrderCosts orders_flushed, orders_unflushed;
  LoadSweep load;
  Paired commit_modes, memory;
  Startup startup;
  std::vector<std::pair<std::string, double>> digest;
  SessionsSection sessions;
  int rounds_orders = 0, order_blocks = 0, orders_per_round = 0, rounds_startup = 0;
  int rounds_memory = 0;
  int requests_per_session = 0, load_rounds = 0;
};

}  // namespace bench

#endif  // KORVANE_BENCH_RESULTS_H_
