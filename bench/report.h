// The write-up of one run: docs/performance.md and the data of its plot.
#ifndef KORVANE_BENCH_REPORT_H_
#define KORVANE_BENCH_REPORT_H_

#include <string>

#include "results.h"

namespace bench {

// Goals. A time or memory ratio meets its goal at or below it, a throughput ratio at or above.
constexpr double kOrderGoal = 1.10;           // flush on, this tree's server over the floor
constexpr double kUnflushedOrderGoal = 0.60;  // flush off, the same
constexpr double kThroughputGoal = 1.60;      // requests/s at kThroughputSessions, over baseline
constexpr int kThroughputSessions = 8;
constexpr double kTailGoal = 0.50;  // p99 at kTailSessions, over baseline
constexpr int kTailSessions = 16;
constexpr double kStartupGoal = 1.2;
constexpr double kMemoryGoal = 1.5;
// Flush on, this tree's server over its own batches replayed by a bare client: what the server
// process adds to an order.
constexpr double kReplayGoal = 1.05;
// Sessions at once: one coin over four coins at each of kCoinGoalSessions, and kScaleSessions
// over kScaleBaseSessions for each layout, both in orders per second.
constexpr double kOneCoinGoal = 0.90;
constexpr int kCoinGoalSessions[] = {64, 256};
constexpr double kScaleGoal = 0.90;
constexpr int kScaleSessions = 1000;
constexpr int kScaleBaseSessions = 64;

// Writes the report in Markdown to `path`, followed by the text of `findings_path` when it
// exists. Returns false when `path` cannot be written.
bool write_report(const Results& r, const std::string& path, const std::string& findings_path);

// Writes one line per session count for bench/performance.gp: sessions, requests/s of this
// tree's server and of the baseline, p99 of all requests of each, then p99 of buys and of sells
// of each (ms). Returns false when `path` cannot be written.
bool write_plot_data(const Results& r, const std::string& path);

// Writes one line per session count of the sessions-at-once section for bench/sessions.gp:
// sessions, orders/s on one coin and on four, p50 of each, p99 of each (ms). Returns false
// when `path` cannot be written.
bool write_sessions_plot_data(const Results& r, const std::string& path);

// The ratios the goals are set on, for the summary line. Negative when not measured.
double throughput_ratio(const LoadSweep& load);
double tail_ratio(const LoadSweep& load);

}  // namespace bench

#endif  // KORVANE_BENCH_REPORT_H_
