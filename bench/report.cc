#include "report.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>

namespace bench {

namespace {

std::string verdict(bool met) { return met ? "met" : "**missed** (see below)"; }
std::string at_most(double ratio, double goal) { return verdict(ratio <= goal); }
std::string at_least(double ratio, double goal) { return verdict(ratio >= goal); }

std::string ms(double us) { return fmt::format("{:.2f}", us / 1000); }

// The run of `sessions` sessions in `runs`, or nullptr.
const LoadResult* find_load(const std::vector<LoadResult>& runs, int sessions) {
  for (const LoadResult& l : runs) {
    if (l.sessions == sessions) return &l;
  }
  return nullptr;
}

double p99(const LoadResult& l) { return quantile(l.all, 0.99); }

void write_machine(std::ostream& out, const Machine& m) {
  out << "| machine | |\n|---|---|\n";
  out << fmt::format(
      "| CPU | {} |\n| cores | {} |\n| kernel | {} |\n| database | MariaDB {} |\n"
      "| date | {} |\n| load average before / after the run | {} / {} |\n\n",
      m.cpu, m.cores, m.kernel, m.database, m.date, m.load_before, m.load_after);
}

// The rows of one flush setting: each server over the floor.
void write_order_rows(std::ostream& out, const Results& r, const OrderCosts& c, bool flushed) {
  const char* flush = flushed ? "on" : "off";
  const double goal = flushed ? kOrderGoal : kUnflushedOrderGoal;
  const std::string floor = fmt::format(
      "the statements of an order before batching (11 for a buy, 12 for a sell), one round trip "
      "each, from a bare client on one connection ({} ms)",
      ms(median(c.subject.floor)));
  out << fmt::format(
      "| time per order, log flush {} | this tree's server, request written to prompt read ({} "
      "ms) | {} | {:.3f} | at most {:.2f} | {} |\n",
      flush, ms(median(c.subject.subject)), floor, c.subject.ratio(), goal,
      at_most(c.subject.ratio(), goal));
  out << fmt::format(
      "| time per order, log flush {} | the baseline server (`{}`), the same ({} ms) | {} | "
      "{:.3f} | | for scale |\n",
      flush, r.baseline_label, ms(median(c.baseline.subject)), floor, c.baseline.ratio());
  if (c.replay.empty()) return;
  const std::string standing = flushed ? at_most(c.replay.ratio(), kReplayGoal) : "for scale";
  out << fmt::format(
      "| time per order, log flush {} | this tree's server, the same ({} ms) | the batches this "
      "tree's server sends for an order (two round trips), replayed from a bare client on one "
      "connection ({} ms) | {:.3f} | {} | {} |\n",
      flush, ms(median(c.replay.subject)), ms(median(c.replay.floor)), c.replay.ratio(),
      flushed ? fmt::format("at most {:.2f}", kReplayGoal) : "", standing);
}

void write_floors(std::ostream& out, const Results& r) {
  out << "## The server against its floors\n\n";
  out << fmt::format(
      "Each ratio is a cost over the cost of a floor measured in the same run. The sides take "
      "turns, changing which goes first, over several rounds; a ratio is the median of the "
      "per-round ratios, and the medians of the sides are given for scale. The baseline server "
      "is built from commit `{}` in the same run. The log flush is the database's "
      "`innodb_flush_log_at_trx_commit`: on (1), every commit waits for its log to reach the "
      "disk; off (0), it does not, which leaves the round trips and the work of the statements, "
      "the part the server controls.\n\n",
      r.baseline_label);
  out << "| measure | subject (median) | floor (median) | ratio | goal | |\n";
  out << "|---|---|---|---|---|---|\n";
  if (!r.orders_flushed.subject.empty()) write_order_rows(out, r, r.orders_flushed, true);
  if (!r.orders_unflushed.subject.empty()) write_order_rows(out, r, r.orders_unflushed, false);

  const LoadResult* s8 = find_load(r.load.subject, kThroughputSessions);
  const LoadResult* b8 = find_load(r.load.baseline, kThroughputSessions);
  if (s8 != nullptr && b8 != nullptr) {
    double ratio = throughput_ratio(r.load);
    out << fmt::format(
        "| requests per second, {} sessions | this tree's server ({:.0f}) | the baseline server "
        "(`{}`) in the same sweep ({:.0f}) | {:.3f} | at least {:.2f} | {} |\n",
        kThroughputSessions, s8->requests_per_second, r.baseline_label, b8->requests_per_second,
        ratio, kThroughputGoal, at_least(ratio, kThroughputGoal));
  }
  const LoadResult* s16 = find_load(r.load.subject, kTailSessions);
  const LoadResult* b16 = find_load(r.load.baseline, kTailSessions);
  if (s16 != nullptr && b16 != nullptr) {
    double ratio = tail_ratio(r.load);
    out << fmt::format(
        "| p99 latency, {} sessions | this tree's server ({} ms) | the baseline server (`{}`) in "
        "the same sweep ({} ms) | {:.3f} | at most {:.2f} | {} |\n",
        kTailSessions, ms(p99(*s16)), r.baseline_label, ms(p99(*b16)), ratio, kTailGoal,
        at_most(ratio, kTailGoal));
  }

  const Paired& st = r.startup.process_floor;
  if (!st.empty()) {
    out << fmt::format(
        "| start-up | server, spawn to first prompt ({} ms) | the server's bootstrap command "
        "without its shell (`mysql -h... < sql/init.sql`), then a bare client process that "
        "connects ({} ms) | {:.3f} | at most "
        "{:.2f} | {} |\n",
        ms(median(st.subject)), ms(median(st.floor)), st.ratio(), kStartupGoal,
        at_most(st.ratio(), kStartupGoal));
    const Paired& sc = r.startup.connect_floor;
    out << fmt::format(
        "| start-up, process start counted | server, spawn to first prompt ({} ms) | the same "
        "bootstrap run, then one connect inside a running process ({} ms) | {:.3f} | | see "
        "below |\n",
        ms(median(sc.subject)), ms(median(sc.floor)), sc.ratio());
    const Paired& sp = r.startup.script;
    out << fmt::format(
        "| bootstrap script on a database in place | `mysql ... < sql/init.sql` ({} ms) | the "
        "same client run with no input ({} ms) | {:.3f} | | the script's own share |\n",
        ms(median(sp.subject)), ms(median(sp.floor)), sp.ratio());
  }
  if (!r.memory.empty()) {
    out << fmt::format(
        "| peak memory | session process after a mixed run, VmHWM ({} KiB) | a bare client that "
        "only connects, VmHWM ({} KiB) | {:.3f} | at most {:.2f} | {} |\n",
        median(r.memory.subject), median(r.memory.floor), r.memory.ratio(), kMemoryGoal,
        at_most(r.memory.ratio(), kMemoryGoal));
  }
  if (!r.commit_modes.empty()) {
    out << fmt::format(
        "| one transaction per order, log flush on | every write committed by itself ({} ms) | "
        "one transaction, one commit ({} ms) | {:.3f} | | the transaction is {:.2f}x as fast "
        "|\n",
        ms(median(r.commit_modes.subject)), ms(median(r.commit_modes.floor)),
        r.commit_modes.ratio(), r.commit_modes.ratio());
  }
  for (const auto& [label, ratio] : r.digest) {
    out << fmt::format(
        "| digest throughput, {} | password digest engine | OpenSSL SHA-256 | {:.2f} | | "
        "higher is faster |\n",
        label, ratio);
  }
  out << fmt::format(
      "\nOrders: {} rounds of {} orders for each of the four sides and each flush setting "
      "(buys and sells of XRP in turn), the rounds going through the 24 orders of the sides "
      "in turn, in {} blocks per setting, each with fresh server processes and fresh "
      "connections; the two settings take turns block by block. The replayed batches are built "
      "from the server's own statement texts and read as the server reads them, with its checks "
      "between them but nothing printed, so the server over them is what the server process "
      "itself adds to an order. Start-up: {} rounds. Memory: {} "
      "rounds. The digest ratios come from `korvane_sha256_bench` (repetitions in random order, "
      "median rate of each). The load rows are from the sweep below.\n\n",
      r.rounds_orders, r.orders_per_round, r.order_blocks, r.rounds_startup, r.rounds_memory);
}

void write_load_row(std::ostream& out, const LoadResult& l, const std::string& server) {
  out << fmt::format("| {} | {} | {:.0f} | {} / {} |", l.sessions, server, l.requests_per_second,
                     ms(quantile(l.all, 0.5)), ms(p99(l)));
  int refused = 0;
  for (int k = 0; k < kKinds; ++k) {
    out << fmt::format(" {} / {} |", ms(quantile(l.latency[k], 0.5)),
                       ms(quantile(l.latency[k], 0.99)));
    refused += l.refused[k];
  }
  out << " " << refused << " |\n";
}

void write_load(std::ostream& out, const Results& r) {
  out << "## Sessions at once\n\n";
  out << fmt::format(
      "N server processes on pipes, each signed in to its own account, each sending {} requests "
      "per run of a fixed mix seeded per session: 35 % buys, 25 % sells (every order with a "
      "timestamp of its own), 20 % history views, 5 % address adds (up to ten per account, "
      "beyond that they become rewrites) and the rest address rewrites, of one entry or of all. "
      "The log flush is on. Latency is from request written to prompt read; requests per second "
      "are all sessions' requests over the wall time from the first request to the last answer. "
      "Each count ran {} times for each server, in rising and falling order of counts by turns, "
      "the two servers one after the other with the same seeds (which goes first changes from "
      "run to run), with fresh accounts each time; latencies are pooled over the runs and "
      "requests per second are their median. \"new\" is this tree's server, \"`{}`\" the "
      "baseline.\n\n",
      r.requests_per_session, r.load_rounds, r.baseline_label);
  out << "| sessions | server | requests/s | all p50 / p99 ms |";
  for (int k = 0; k < kKinds; ++k) out << " " << kKindNames[k] << " p50 / p99 ms |";
  out << " refused |\n|---|---|---|---|";
  for (int k = 0; k < kKinds; ++k) out << "---|";
  out << "---|\n";
  const std::string baseline = fmt::format("`{}`", r.baseline_label);
  for (size_t i = 0; i < r.load.subject.size() && i < r.load.baseline.size(); ++i) {
    write_load_row(out, r.load.subject[i], "new");
    write_load_row(out, r.load.baseline[i], baseline);
  }
  out << "\nThe same runs as ratios of this tree's server over the baseline:\n\n";
  out << "| sessions | requests/s | p50 | p99 | buy p99 | sell p99 |\n";
  out << "|---|---|---|---|---|---|\n";
  for (size_t i = 0; i < r.load.subject.size() && i < r.load.baseline.size(); ++i) {
    const LoadResult& s = r.load.subject[i];
    const LoadResult& b = r.load.baseline[i];
    out << fmt::format("| {} | {:.3f} | {:.3f} | {:.3f} | {:.3f} | {:.3f} |\n", s.sessions,
                       s.requests_per_second / b.requests_per_second,
                       quantile(s.all, 0.5) / quantile(b.all, 0.5), p99(s) / p99(b),
                       quantile(s.latency[kBuy], 0.99) / quantile(b.latency[kBuy], 0.99),
                       quantile(s.latency[kSell], 0.99) / quantile(b.latency[kSell], 0.99));
  }
  out << "\n![requests per second and p99 latency against sessions, both servers]"
         "(performance.png)\n\n";
}

const SessionsRun* find_sessions(const SessionsSection& s, int sessions, bool one_coin) {
  for (const SessionsRun& r : s.runs) {
    if (r.sessions == sessions && r.one_coin == one_coin) return &r;
  }
  return nullptr;
}

// The session counts of the section, in the order they ran.
std::vector<int> session_counts(const SessionsSection& s) {
  std::vector<int> counts;
  for (const SessionsRun& r : s.runs) {
    if (std::find(counts.begin(), counts.end(), r.sessions) == counts.end()) {
      counts.push_back(r.sessions);
    }
  }
  return counts;
}

std::string layout(bool one_coin) { return one_coin ? "one coin" : "four coins"; }

void write_sessions(std::ostream& out, const SessionsSection& s) {
  out << "## Many sessions at once, orders only\n\n";
  out << fmt::format(
      "N server processes on pipes, each signed in to an account of its own, every session "
      "sending {} orders back to back (each as soon as the previous answer is read; buys and "
      "sells of 1 coin in turn), all on XRP (\"one coin\") or session i on coin i mod 4 (\"four"
      " coins\"). All sessions are started and signed in (8 at a time) before the timed window;"
      " orders per second are all orders over the time from the first order sent to the last "
      "answer read; latency is per order, request written to prompt read. One run each. The log"
      " flush is on; the database serves connections with {}. Memory per session is that of its"
      " server process after the run: its peak resident set (VmHWM, shared library pages "
      "counted whole) and its proportional set (Pss, shared pages divided among the processes "
      "that map them); the database's resident set is given before the run's sessions started "
      "and with all of them still connected (it keeps the threads of ended connections for "
      "reuse, so a run after a larger one grows it little). After every run the driver checks "
      "the bank against the trade log (every account's KRW and coins against its logged trades "
      "and their fees, every coin's stock against the run's trades, one logged trade per order "
      "answered) and fails the run on any difference or any refused order: every run below "
      "passed. This section ran at {}, the load average (1, 5, 15 minutes) {} before it and "
      "{} after it, on the machine above; its figures vary by a quarter or more from run to "
      "run on a shared machine.\n\n",
      s.orders_per_session, s.database_threads, s.date, s.load_before, s.load_after);
  out << "| sessions | coins | orders/s | p50 / p99 ms | per session: server VmHWM / Pss KiB | "
         "database RSS before / after MiB | start and sign-in s |\n";
  out << "|---|---|---|---|---|---|---|\n";
  for (const SessionsRun& r : s.runs) {
    out << fmt::format(
        "| {} | {} | {:.0f} | {} / {} | {:.0f} / {:.0f} | {:.0f} / {:.0f} | {:.1f} |\n", r.sessions,
        layout(r.one_coin), r.orders_per_second, ms(quantile(r.latency, 0.5)),
        ms(quantile(r.latency, 0.99)), r.server_hwm_kib, r.server_pss_kib,
        r.db_rss_before_kib / 1024.0, r.db_rss_kib / 1024.0, r.start_seconds);
  }
  out << "\nOrders per second as ratios: one coin over four coins at the same count, and each "
         "layout over itself at "
      << kScaleBaseSessions << " sessions.\n\n";
  out << "| sessions | one coin / four coins | one coin / " << kScaleBaseSessions
      << " sessions | four coins / " << kScaleBaseSessions << " sessions |\n|---|---|---|---|\n";
  auto rate = [&](int n, bool one) {
    const SessionsRun* r = find_sessions(s, n, one);
    return r == nullptr ? -1.0 : r->orders_per_second;
  };
  auto ratio = [](double a, double b) {
    return a < 0 || b <= 0 ? std::string("") : fmt::format("{:.2f}", a / b);
  };
  for (int n : session_counts(s)) {
    out << fmt::format("| {} | {} | {} | {} |\n", n, ratio(rate(n, true), rate(n, false)),
                       ratio(rate(n, true), rate(kScaleBaseSessions, true)),
                       ratio(rate(n, false), rate(kScaleBaseSessions, false)));
  }
  out << "\n| goal | ratio | |\n|---|---|---|\n";
  for (int n : kCoinGoalSessions) {
    if (rate(n, true) < 0 || rate(n, false) < 0) continue;
    double x = rate(n, true) / rate(n, false);
    out << fmt::format("| one coin at least {:.2f}x four coins, {} sessions | {:.2f} | {} |\n",
                       kOneCoinGoal, n, x, at_least(x, kOneCoinGoal));
  }
  for (bool one : {true, false}) {
    if (rate(kScaleSessions, one) < 0 || rate(kScaleBaseSessions, one) < 0) continue;
    double x = rate(kScaleSessions, one) / rate(kScaleBaseSessions, one);
    out << fmt::format("| {} sessions at least {:.2f}x {} sessions, {} | {:.2f} | {} |\n",
                       kScaleSessions, kScaleGoal, kScaleBaseSessions, layout(one), x,
                       at_least(x, kScaleGoal));
  }
  out << "\n![orders per second and latency against sessions, one coin and four coins]"
         "(sessions.png)\n\n";
}

}  // namespace

bool write_sessions_plot_data(const Results& r, const std::string& path) {
  std::ofstream out(path);
  if (!out) return false;
  out << "# sessions ops_one ops_four p50_one p50_four p99_one p99_four (ms)\n";
  for (int n : session_counts(r.sessions)) {
    const SessionsRun* one = find_sessions(r.sessions, n, true);
    const SessionsRun* four = find_sessions(r.sessions, n, false);
    if (one == nullptr || four == nullptr) continue;
    out << fmt::format("{} {:.1f} {:.1f} {:.3f} {:.3f} {:.3f} {:.3f}\n", n, one->orders_per_second,
                       four->orders_per_second, quantile(one->latency, 0.5) / 1000,
                       quantile(four->latency, 0.5) / 1000, quantile(one->latency, 0.99) / 1000,
                       quantile(four->latency, 0.99) / 1000);
  }
  return static_cast<bool>(out);
}

double throughput_ratio(const LoadSweep& load) {
  const LoadResult* s = find_load(load.subject, kThroughputSessions);
  const LoadResult* b = find_load(load.baseline, kThroughputSessions);
  if (s == nullptr || b == nullptr) return -1;
  return s->requests_per_second / b->requests_per_second;
}

double tail_ratio(const LoadSweep& load) {
  const LoadResult* s = find_load(load.subject, kTailSessions);
  const LoadResult* b = find_load(load.baseline, kTailSessions);
  if (s == nullptr || b == nullptr) return -1;
  return p99(*s) / p99(*b);
}

bool write_report(const Results& r, const std::string& path, const std::string& findings_path) {
  std::ofstream out(path);
  if (!out) return false;
  out << "# Performance\n\n";
  out << "Written by `scripts/bench` from one run; do not edit by hand.\n\n";
  write_machine(out, r.machine);
  write_floors(out, r);
  if (!r.load.subject.empty()) write_load(out, r);
  if (!r.sessions.runs.empty()) write_sessions(out, r.sessions);
  std::ifstream findings(findings_path);
  if (findings) out << findings.rdbuf();
  return static_cast<bool>(out);
}

bool write_plot_data(const Results& r, const std::string& path) {
  std::ofstream out(path);
  if (!out) return false;
  out << "# sessions rps_new rps_base p99_new p99_base p99_buy_new p99_buy_base p99_sell_new "
         "p99_sell_base (ms)\n";
  for (size_t i = 0; i < r.load.subject.size() && i < r.load.baseline.size(); ++i) {
    const LoadResult& s = r.load.subject[i];
    const LoadResult& b = r.load.baseline[i];
    out << fmt::format(
        "{} {:.1f} {:.1f} {:.3f} {:.3f} {:.3f} {:.3f} {:.3f} {:.3f}\n", s.sessions,
        s.requests_per_second, b.requests_per_second, p99(s) / 1000, p99(b) / 1000,
        quantile(s.latency[kBuy], 0.99) / 1000, quantile(b.latency[kBuy], 0.99) / 1000,
        quantile(s.latency[kSell], 0.99) / 1000, quantile(b.latency[kSell], 0.99) / 1000);
  }
  return static_cast<bool>(out);
}

}  // namespace bench
