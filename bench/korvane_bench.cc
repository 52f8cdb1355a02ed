// korvane_bench: the server against its floors and against a baseline server, side by side in
// one run, written up as a report.
//
// A request cannot avoid its statements' round trips to the database; everything else the server
// does (process start, decoding, formatting, printing) is overhead. Each figure here is a ratio
// of the server's cost to such a floor, or to the same cost of the baseline server (another
// build, usually of an earlier commit), all measured in this run. The sides take turns,
// changing which goes first, over several rounds, and the report gives the median of the
// per-round ratios, so that the noise of a shared machine falls on all alike.
//
// The floor of an order is fixed: the statements an order took before the server batched them,
// one round trip each (bare_db.h). A second floor moves with the server: a bare client replaying
// the batches the server sends for an order now, so that the server over it is what the server
// process itself adds. Orders are measured with the database's log flush on and off; off, what
// remains is the round trips and the statements' own work.
//
// Usage: korvane_bench --report FILE --plot-data FILE [--sessions-plot-data FILE]
//                      [--baseline-server PATH] [--baseline-label TEXT] [--findings FILE]
//                      [--only PHASE] [--session-counts N,N,...] [--quick]
//
// PHASE is one of start-up, orders, commit, memory, load, digest and sessions; the baseline
// server is needed by orders and load. --session-counts replaces the session counts of the
// sessions phase.
//
// Needs a database prepared by the bootstrap script, reached the way the server reaches it
// (MYSQL_UNIX_PORT and MYSQL_HOME, see scripts/lib/common.sh), whose root user has no password.
// It changes the market prices, adds accounts of its own and switches the log flush of the whole
// instance (putting it back at exit): point it at a throwaway instance.
#include <fmt/format.h>
#include <mysql.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

#include "account/sha256.h"
#include "bare_db.h"
#include "db/connection_params.h"
#include "driver.h"
#include "report.h"
#include "results.h"
#include "server/startup.h"
#include "server_proc.h"
#include "sessions.h"
#include "stats.h"
#include "workload.h"

namespace bench {
namespace {

constexpr char kPassword[] = "bench-password";
constexpr int kXrp = 2;
constexpr uint64_t kFirstOrderTimestamp = 1500000000;
// Balances every benchmark account starts with: enough that no order of a run is refused.
constexpr int64_t kStartingKrw = 2000000000;
constexpr int64_t kStartingCoins = 1000000;

// The whole run ends by itself within this time, whatever a server does; its servers then see
// their input close and end too.
constexpr unsigned kRunLimitSeconds = 40 * 60;

// Sizes of the run; --quick shrinks them for a smoke run.
struct Plan {
  std::vector<int> sessions = {1, 2, 4, 8, 16};
  int load_rounds = 6;
  int requests_per_session = 200;  // per round
  int order_rounds = 1000;         // per flush setting, over all blocks
  int order_blocks = 10;
  int orders_per_round = 2;
  int startup_rounds = 100;
  int memory_rounds = 3;
  int memory_requests = 300;
  std::vector<int> session_counts = {16, 64, 256, 1000};  // the sessions-at-once phase
  int orders_per_session = 20;
  std::vector<std::string> digest_args = {"--benchmark_repetitions=5",
                                          "--benchmark_enable_random_interleaving=true",
                                          "--benchmark_min_time=0.05"};

  void shrink() {
    load_rounds = 1;
    requests_per_session = 30;
    order_rounds = 200;
    order_blocks = 4;
    orders_per_round = 2;
    startup_rounds = 4;
    memory_rounds = 1;
    memory_requests = 60;
    session_counts = {16, 64};
    digest_args = {"--benchmark_min_time=0.01"};
  }
};

// Accounts and market state, set up by direct statements outside any measurement.
class Fixture {
 public:
  void open() {
    if (!db_.connect(true)) fail("cannot reach the database: " + db_.error());
  }

  // A new account holding kStartingKrw and kStartingCoins of each coin.
  uint32_t create_account(std::string* name) {
    *name = fmt::format("bench{}_{}", getpid(), ++accounts_);
    if (!db_.exec(fmt::format("INSERT INTO kv_account VALUES(NULL, '{}', '{}')", *name,
                              encryptSha256(kPassword)))) {
      fail("cannot add an account: " + db_.error());
    }
    uint32_t id = static_cast<uint32_t>(std::stoul(db_.value("SELECT LAST_INSERT_ID()").value()));
    if (!db_.exec(
            fmt::format("INSERT INTO kv_uservault VALUES(NULL, {0}, {1}, {2}, {2}, {2}, {2}, 0)",
                        id, kStartingKrw, kStartingCoins))) {
      fail("cannot add a vault: " + db_.error());
    }
    return id;
  }

  // Prices low and stock high, so that no order of a run is refused for either.
  void set_market() {
    const std::pair<const char*, int> prices[] = {
        {"BTC", 40000}, {"ETH", 3000}, {"XRP", 2}, {"SOL", 150}};
    for (const auto& [symbol, price] : prices) {
      if (!db_.exec(fmt::format(
              "UPDATE kv_coininfo SET current_price={}, qty=1000000000 WHERE symbol='{}'", price,
              symbol))) {
        fail("cannot set the market: " + db_.error());
      }
    }
  }

  std::vector<int32_t> entry_ids(uint32_t account) { return ids_of(db_, account); }

  static std::vector<int32_t> ids_of(BareDb& db, uint32_t account) {
    std::vector<int32_t> ids;
    for (const std::string& id : db.column(
             fmt::format("SELECT id FROM kv_addressbook WHERE acc_id={} ORDER BY id", account))) {
      ids.push_back(std::stoi(id));
    }
    return ids;
  }

  BareDb& db() { return db_; }

 private:
  BareDb db_;
  int accounts_ = 0;
};

// The database's log flush at commit (innodb_flush_log_at_trx_commit), a setting of the whole
// instance, changed through a root connection. The setting found by open() is put back by
// restore(), which main() also runs at exit, a failed run's included.
class LogFlush {
 public:
  void open() {
    if (!db_.connect_as_root()) fail("cannot connect as root: " + db_.error());
    std::optional<std::string> value = db_.value("SELECT @@GLOBAL.innodb_flush_log_at_trx_commit");
    if (!value) fail("cannot read the log flush setting: " + db_.error());
    original_ = *value;
  }

  // On: every commit waits for its log to reach the disk (1). Off: the log is flushed about
  // once a second, whatever commits (0).
  void set(bool on) { apply(on ? "1" : "0"); }

  // Puts back the setting open() found; nothing before open(). Runs at exit too, so it reports
  // a failure instead of failing the run.
  void restore() {
    if (original_.empty()) return;
    if (!db_.exec("SET GLOBAL innodb_flush_log_at_trx_commit=" + original_)) {
      std::fprintf(stderr, "korvane_bench: cannot put the log flush back: %s\n",
                   db_.error().c_str());
    }
  }

 private:
  void apply(const std::string& value) {
    if (!db_.exec("SET GLOBAL innodb_flush_log_at_trx_commit=" + value)) {
      fail("cannot set the log flush: " + db_.error());
    }
  }

  BareDb db_;
  std::string original_;
};

LogFlush& log_flush() {
  static LogFlush flush;
  return flush;
}

// A server started from `path` and signed in to `name`; fails the run when that does not work.
void start_signed_in(ServerProc& server, const std::string& path, const std::string& name) {
  std::string answer;
  if (!server.start(path) || !server.read_prompt(&answer)) {
    fail("the server did not start");
  }
  if (!server.request(signin_request(name, kPassword), &answer) || !answer.empty()) {
    fail("sign-in failed: " + answer);
  }
}

// ---------------------------------------------------------------------------------------------
// Load: N sessions at once, each running the mix for its own account.

struct SessionOutcome {
  std::vector<double> latency[kKinds];
  int refused[kKinds] = {};
  std::string error;
  Clock::time_point end;
};

// Holds the sessions until all have started and signed in, so that the timed window holds only
// requests.
class StartGate {
 public:
  explicit StartGate(int parties) : waiting_(parties) {}

  void arrive_and_wait() {
    std::unique_lock<std::mutex> lock(mu_);
    if (--waiting_ == 0) cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }

  // Waits for every party, then lets them go; returns the moment they were let go.
  Clock::time_point open_when_all_arrived() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return waiting_ == 0; });
    open_ = true;
    Clock::time_point start = Clock::now();
    cv_.notify_all();
    return start;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int waiting_;
  bool open_ = false;
};

void run_session(const std::string& path, const std::string& name, uint32_t account, int requests,
                 uint32_t seed, StartGate* gate, SessionOutcome* out) {
  BareDb lookup;
  ServerProc server;
  std::string answer;
  bool ready = lookup.connect(false) && server.start(path) && server.read_prompt(&answer) &&
               server.request(signin_request(name, kPassword), &answer) && answer.empty();
  gate->arrive_and_wait();
  if (!ready) {
    out->error = "session did not start or sign in: " + answer;
    out->end = Clock::now();
    return;
  }
  Mix mix(seed);
  std::vector<int32_t> ids;
  for (int i = 0; i < requests; ++i) {
    Step step = mix.next(ids);
    Clock::time_point sent = Clock::now();
    if (!server.request(step.bytes, &answer)) {
      out->error = fmt::format("no answer to a {} request", kKindNames[step.kind]);
      break;
    }
    out->latency[step.kind].push_back(micros_since(sent));
    if (!step.success_mark.empty() && answer.find(step.success_mark) == std::string::npos) {
      ++out->refused[step.kind];
    } else if (step.adds_entry) {
      mix.entry_added();
      ids = Fixture::ids_of(lookup, account);
    }
  }
  out->end = Clock::now();
  server.finish();
}

LoadResult run_load(Fixture& fixture, const std::string& path, int sessions, int requests,
                    uint32_t seed) {
  std::vector<std::string> names(sessions);
  std::vector<uint32_t> accounts(sessions);
  for (int i = 0; i < sessions; ++i) accounts[i] = fixture.create_account(&names[i]);
  std::vector<SessionOutcome> outcomes(sessions);
  StartGate gate(sessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i) {
    threads.emplace_back(run_session, path, names[i], accounts[i], requests,
                         seed + static_cast<uint32_t>(i), &gate, &outcomes[i]);
  }
  Clock::time_point start = gate.open_when_all_arrived();
  for (std::thread& t : threads) t.join();

  LoadResult result;
  result.sessions = sessions;
  Clock::time_point end = start;
  size_t total = 0;
  for (const SessionOutcome& o : outcomes) {
    if (!o.error.empty()) fail(o.error);
    end = std::max(end, o.end);
    for (int k = 0; k < kKinds; ++k) {
      result.latency[k].insert(result.latency[k].end(), o.latency[k].begin(), o.latency[k].end());
      result.all.insert(result.all.end(), o.latency[k].begin(), o.latency[k].end());
      result.refused[k] += o.refused[k];
      total += o.latency[k].size();
    }
  }
  double seconds = std::chrono::duration<double>(end - start).count();
  result.requests_per_second = static_cast<double>(total) / seconds;
  return result;
}

void pool(LoadResult& into, const LoadResult& one) {
  into.sessions = one.sessions;
  for (int t = 0; t < kKinds; ++t) {
    into.latency[t].insert(into.latency[t].end(), one.latency[t].begin(), one.latency[t].end());
    into.refused[t] += one.refused[t];
  }
  into.all.insert(into.all.end(), one.all.begin(), one.all.end());
}

// Runs every session count several times against both servers, the counts in rising and then
// in falling order by turns, so that a slow spell of the shared disk or CPU falls on all counts
// rather than on one. Each count runs on the two servers one right after the other, with the
// same seeds, and which server goes first changes from run to run. The latencies of a count's
// runs are pooled; its throughput is the median over its runs.
LoadSweep sweep_load(Fixture& fixture, const Plan& plan, const std::string& baseline_path) {
  const size_t counts = plan.sessions.size();
  LoadSweep sweep;
  sweep.subject.resize(counts);
  sweep.baseline.resize(counts);
  std::vector<std::vector<double>> subject_rates(counts), baseline_rates(counts);
  for (int round = 0; round < plan.load_rounds; ++round) {
    for (size_t k = 0; k < counts; ++k) {
      size_t i = round % 2 == 0 ? k : counts - 1 - k;
      int n = plan.sessions[i];
      uint32_t seed = static_cast<uint32_t>(1000 * n + 100 * round);
      auto run = [&](bool subject) {
        progress(fmt::format("{} sessions, round {}, {}", n, round + 1,
                             subject ? "this tree's server" : "baseline server"));
        LoadResult one = run_load(fixture, subject ? KORVANE_SERVER_PATH : baseline_path, n,
                                  plan.requests_per_session, seed);
        pool(subject ? sweep.subject[i] : sweep.baseline[i], one);
        (subject ? subject_rates : baseline_rates)[i].push_back(one.requests_per_second);
      };
      bool subject_first = (round + k) % 2 == 0;
      run(subject_first);
      run(!subject_first);
    }
  }
  for (size_t i = 0; i < counts; ++i) {
    sweep.subject[i].requests_per_second = median(subject_rates[i]);
    sweep.baseline[i].requests_per_second = median(baseline_rates[i]);
  }
  return sweep;
}

// The 1, 5 and 15 minute load averages: how busy the shared machine was around the run.
std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return fmt::format("{} {} {}", one, five, fifteen);
}

// The time now, to the minute.
std::string now_utc() {
  std::time_t now = std::time(nullptr);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  return date;
}

// Every session count with all sessions on one coin and spread over four, the counts rising; which
// layout goes first changes from count to count.
SessionsSection sweep_sessions(Fixture& fixture, const Plan& plan) {
  SessionsSection section;
  section.orders_per_session = plan.orders_per_session;
  section.database_threads = describe_database_threads(fixture.db());
  section.date = now_utc();
  section.load_before = load_average();
  int run = 0;
  for (size_t k = 0; k < plan.session_counts.size(); ++k) {
    for (int layout = 0; layout < 2; ++layout) {
      const bool one_coin = (layout + k) % 2 == 0;
      const int n = plan.session_counts[k];
      progress(fmt::format("{} sessions, {}", n, one_coin ? "one coin" : "four coins"));
      section.runs.push_back(run_sessions(fixture.db(), KORVANE_SERVER_PATH, n, one_coin,
                                          plan.orders_per_session, ++run));
      const SessionsRun& r = section.runs.back();
      progress(fmt::format("{:.0f} orders/s, p50 {:.1f} ms, p99 {:.1f} ms; bank checked",
                           r.orders_per_second, quantile(r.latency, 0.5) / 1000,
                           quantile(r.latency, 0.99) / 1000));
    }
  }
  section.load_after = load_average();
  return section;
}

// Two descriptors per session and the database's for its connections: as many as allowed.
void raise_descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::vector<int> parse_counts(const std::string& text) {
  std::vector<int> counts;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    int n = std::atoi(item.c_str());
    if (n <= 0) fail("not a session count: " + item);
    counts.push_back(n);
  }
  return counts;
}

// ---------------------------------------------------------------------------------------------
// Paired measurements.

// Runs `rounds` rounds of both measurements, taking turns at going first, after one warm-up
// round that is not kept. Each function returns its cost for the round.
template <typename Subject, typename Floor>
Paired interleave(int rounds, Subject subject, Floor floor) {
  Paired paired;
  subject();
  floor();
  for (int r = 0; r < rounds; ++r) {
    double s, f;
    if (r % 2 == 0) {
      f = floor();
      s = subject();
    } else {
      s = subject();
      f = floor();
    }
    paired.add(s, f);
  }
  return paired;
}

// The same for any number of sides: after a warm-up round, each round runs every side once,
// the rounds going through every order of the sides in turn so that none is always first or
// last. Returns the costs per side, per round.
std::vector<std::vector<double>> take_turns(int rounds,
                                            const std::vector<std::function<double()>>& sides) {
  for (const auto& side : sides) side();
  std::vector<size_t> order(sides.size());
  std::iota(order.begin(), order.end(), 0);
  std::vector<std::vector<double>> costs(sides.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t i : order) costs[i].push_back(sides[i]());
    std::next_permutation(order.begin(), order.end());
  }
  return costs;
}

Order xrp_order(int k, uint64_t* timestamp) { return Order{k % 2 == 0, "XRP", 1, (*timestamp)++}; }

// Time per order of a server, from request written to prompt read, buys and sells in turn.
std::function<double()> server_orders(ServerProc& server, uint64_t* timestamp, int n) {
  return [&server, timestamp, n] {
    std::string answer;
    Clock::time_point start = Clock::now();
    for (int k = 0; k < n; ++k) {
      Order o = xrp_order(k, timestamp);
      if (!server.request(order_request(o.buy, kXrp, o.amount, o.timestamp), &answer) ||
          answer.find("\"total_price\"") == std::string::npos) {
        fail("a server order failed: " + answer);
      }
    }
    return micros_since(start) / n;
  };
}

// The accounts the four sides of the order measurement trade for, and their next order times.
struct OrderAccounts {
  std::string subject, baseline;
  uint32_t floor = 0, replay = 0;
  uint64_t subject_ts = kFirstOrderTimestamp, baseline_ts = kFirstOrderTimestamp,
           floor_ts = kFirstOrderTimestamp, replay_ts = kFirstOrderTimestamp;
};

// Time per order of a bare client running `run` for its account, buys and sells in turn; fails
// the run when an order does not commit.
std::function<double()> bare_orders(BareDb& db, uint32_t account, uint64_t* timestamp, int n,
                                    bool (*run)(BareDb&, uint32_t, const Order&),
                                    const char* what) {
  return [&db, account, timestamp, n, run, what] {
    Clock::time_point start = Clock::now();
    for (int k = 0; k < n; ++k) {
      if (!run(db, account, xrp_order(k, timestamp))) {
        fail(fmt::format("{} failed: {}", what, db.error()));
      }
    }
    return micros_since(start) / n;
  };
}

// `rounds` rounds of the four sides, with the log flush as it is set, added to *costs. Each
// block starts its own server processes and floor connection: on a busy machine, where a
// process or a connection's database thread lands can slow one side for as long as it lives
// (seen as one side paying several milliseconds in a third of the rounds of a block, a
// different side in each), so every block draws that again.
void order_block(const Plan& plan, int rounds, const std::string& baseline_path, OrderAccounts& a,
                 OrderCosts* costs) {
  ServerProc subject, baseline;
  start_signed_in(subject, KORVANE_SERVER_PATH, a.subject);
  start_signed_in(baseline, baseline_path, a.baseline);
  BareDb floor, replay;
  if (!floor.connect(true)) fail("cannot connect: " + floor.error());
  if (!replay.connect(true, true)) fail("cannot connect: " + replay.error());
  const int n = plan.orders_per_round;
  std::vector<std::vector<double>> sides = take_turns(
      rounds,
      {server_orders(subject, &a.subject_ts, n), server_orders(baseline, &a.baseline_ts, n),
       bare_orders(floor, a.floor, &a.floor_ts, n, run_order_in_transaction, "a bare order"),
       bare_orders(replay, a.replay, &a.replay_ts, n, run_order_batched, "a replayed order")});
  subject.finish();
  baseline.finish();
  for (int r = 0; r < rounds; ++r) {
    costs->subject.add(sides[0][r], sides[2][r]);
    costs->baseline.add(sides[1][r], sides[2][r]);
    costs->replay.add(sides[0][r], sides[3][r]);
  }
}

// Time per order of this tree's server and of the baseline server, each over the bare client's
// time for the statements of an order before batching, and of this tree's server over its
// batches replayed by a bare client, with the log flush on (*flushed) and off
// (*unflushed). The two settings take turns block by block, so that both span the whole phase.
void measure_orders(Fixture& fixture, const Plan& plan, const std::string& baseline_path,
                    OrderCosts* flushed, OrderCosts* unflushed) {
  OrderAccounts a;
  fixture.create_account(&a.subject);
  fixture.create_account(&a.baseline);
  std::string bare_name;
  a.floor = fixture.create_account(&bare_name);
  a.replay = fixture.create_account(&bare_name);
  const int rounds = plan.order_rounds / plan.order_blocks;
  for (int b = 0; b < plan.order_blocks; ++b) {
    for (int k = 0; k < 2; ++k) {
      bool on = (b + k) % 2 == 0;
      progress(fmt::format("orders, block {}, log flush {}", b + 1, on ? "on" : "off"));
      log_flush().set(on);
      order_block(plan, rounds, baseline_path, a, on ? flushed : unflushed);
    }
  }
  log_flush().set(true);
}

// The same orders run as a literal reading would (every write committed by itself) over the
// orders as the server runs them (one transaction).
Paired measure_commit_modes(Fixture& fixture, const Plan& plan) {
  std::string name;
  uint32_t tx_account = fixture.create_account(&name);
  uint32_t auto_account = fixture.create_account(&name);
  BareDb db;
  if (!db.connect(true)) fail("cannot connect: " + db.error());
  uint64_t tx_ts = kFirstOrderTimestamp, auto_ts = kFirstOrderTimestamp;
  const int n = plan.orders_per_round;
  return interleave(
      plan.order_rounds,
      [&] {
        Clock::time_point start = Clock::now();
        for (int k = 0; k < n; ++k) {
          if (!run_order_autocommit(db, auto_account, xrp_order(k, &auto_ts))) {
            fail("an autocommitted order failed: " + db.error());
          }
        }
        return micros_since(start) / n;
      },
      [&] {
        Clock::time_point start = Clock::now();
        for (int k = 0; k < n; ++k) {
          if (!run_order_in_transaction(db, tx_account, xrp_order(k, &tx_ts))) {
            fail("an order failed: " + db.error());
          }
        }
        return micros_since(start) / n;
      });
}

// The mysql client and its arguments as the server's bootstrap command runs it, without the
// shell that runs the command: the floor leaves out what the server pays for by contract.
std::vector<std::string> bootstrap_client() {
  // The command holds no password; the client takes it from its environment, as run_bootstrap()
  // gives it.
  setenv("MYSQL_PWD", db_params::kPassword, 1);
  const std::string command = bootstrap_command("");
  std::istringstream words(command.substr(0, command.rfind(" < ")));
  std::vector<std::string> argv;
  for (std::string word; words >> word;) argv.push_back(word);
  return argv;
}

// Start-up, as described in results.h.
Startup measure_startup(const Plan& plan) {
  auto server_start = [] {
    ServerProc server;
    std::string answer;
    Clock::time_point start = Clock::now();
    if (!server.start(KORVANE_SERVER_PATH) || !server.read_prompt(&answer)) {
      fail("the server did not start");
    }
    double us = micros_since(start);
    server.finish();
    return us;
  };
  const std::vector<std::string> mysql = bootstrap_client();
  auto bootstrap = [&mysql](const char* script) {
    Clock::time_point start = Clock::now();
    int status = run_program(mysql, script);
    if (status != 0) fail("the bootstrap script failed");
    return micros_since(start);
  };
  auto connect_process = [] {
    Clock::time_point start = Clock::now();
    if (run_program({KORVANE_BARE_CONNECT_PATH}, "/dev/null") != 0) {
      fail("the bare client could not connect");
    }
    return micros_since(start);
  };
  auto connect_here = [] {
    Clock::time_point start = Clock::now();
    MYSQL* conn = mysql_init(nullptr);
    mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (mysql_real_connect(conn, db_params::kHost, db_params::kUser, db_params::kPassword,
                           db_params::kDatabase, 0, nullptr, 0) == nullptr) {
      fail("cannot connect");
    }
    double us = micros_since(start);
    mysql_close(conn);
    return us;
  };
  Startup result;
  server_start();
  bootstrap(KORVANE_INIT_SQL_PATH);
  for (int r = 0; r < plan.startup_rounds; ++r) {
    double s = 0, b = 0, p = 0, c = 0, e = 0;
    if (r % 2 == 0) s = server_start();
    b = bootstrap(KORVANE_INIT_SQL_PATH);
    p = connect_process();
    c = connect_here();
    e = bootstrap("/dev/null");
    if (r % 2 == 1) s = server_start();
    result.process_floor.add(s, b + p);
    result.connect_floor.add(s, b + c);
    result.script.add(b, e);
  }
  return result;
}

// Peak resident set of a session process after a mixed run, over that of a bare client that
// only connects. Both are in KiB.
Paired measure_memory(Fixture& fixture, const Plan& plan) {
  return interleave(
      plan.memory_rounds,
      [&] {
        std::string name, answer;
        uint32_t account = fixture.create_account(&name);
        ServerProc server;
        start_signed_in(server, KORVANE_SERVER_PATH, name);
        Mix mix(7);
        std::vector<int32_t> ids;
        for (int i = 0; i < plan.memory_requests; ++i) {
          Step step = mix.next(ids);
          if (!server.request(step.bytes, &answer)) fail("no answer in the memory run");
          if (step.adds_entry && answer.find(step.success_mark) != std::string::npos) {
            mix.entry_added();
            ids = fixture.entry_ids(account);
          }
        }
        long kib = server.peak_rss_kib();
        server.finish();
        if (kib <= 0) fail("cannot read the server's VmHWM");
        return static_cast<double>(kib);
      },
      [] {
        std::string out = capture_output({KORVANE_BARE_CONNECT_PATH});
        long kib = std::strtol(out.c_str(), nullptr, 10);
        if (kib <= 0) fail("the bare client did not report its VmHWM: " + out);
        return static_cast<double>(kib);
      });
}

// The digest benchmark's ratio lines ("ratio sha256/openssl 64B: 1.02"), by label.
std::vector<std::pair<std::string, double>> measure_digest(const Plan& plan) {
  std::vector<std::pair<std::string, double>> ratios;
  std::string path = KORVANE_SHA256_BENCH_PATH;
  if (path.empty()) return ratios;
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), plan.digest_args.begin(), plan.digest_args.end());
  std::istringstream out(capture_output(argv, /*quiet=*/true));
  std::string line;
  while (std::getline(out, line)) {
    if (line.rfind("ratio ", 0) != 0) continue;
    size_t colon = line.rfind(':');
    if (colon == std::string::npos) continue;
    ratios.emplace_back(line.substr(6, colon - 6), std::strtod(line.c_str() + colon + 1, nullptr));
  }
  if (ratios.empty()) fail("the digest benchmark printed no ratio");
  return ratios;
}

Machine describe_machine(Fixture& fixture) {
  Machine m;
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      m.cpu = line.substr(line.find(':') + 2);
      break;
    }
  }
  m.cores = std::thread::hardware_concurrency();
  utsname u;
  if (uname(&u) == 0) m.kernel = fmt::format("{} {}", u.sysname, u.release);
  m.database = fixture.db().value("SELECT VERSION()").value_or("unknown");
  m.load_before = load_average();
  m.date = now_utc();
  return m;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  constexpr char kUsage[] =
      "usage: korvane_bench --report FILE --plot-data FILE [--sessions-plot-data FILE] "
      "[--baseline-server PATH] [--baseline-label TEXT] [--findings FILE] [--only PHASE] "
      "[--session-counts N,N,...] [--quick]";
  std::string report, plot_data, sessions_plot_data, findings, only, baseline_path, baseline_label,
      counts;
  Plan plan;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      plan.shrink();
    } else if (i + 1 < argc && arg == "--report") {
      report = argv[++i];
    } else if (i + 1 < argc && arg == "--plot-data") {
      plot_data = argv[++i];
    } else if (i + 1 < argc && arg == "--sessions-plot-data") {
      sessions_plot_data = argv[++i];
    } else if (i + 1 < argc && arg == "--session-counts") {
      counts = argv[++i];
    } else if (i + 1 < argc && arg == "--only") {
      only = argv[++i];
    } else if (i + 1 < argc && arg == "--findings") {
      findings = argv[++i];
    } else if (i + 1 < argc && arg == "--baseline-server") {
      baseline_path = argv[++i];
    } else if (i + 1 < argc && arg == "--baseline-label") {
      baseline_label = argv[++i];
    } else {
      fail(kUsage);
    }
  }
  if (!counts.empty()) plan.session_counts = parse_counts(counts);
  if (report.empty() || plot_data.empty()) fail(kUsage);
  const bool needs_baseline = only.empty() || only == "orders" || only == "load";
  if (needs_baseline && access(baseline_path.c_str(), X_OK) != 0) {
    fail("no baseline server at '" + baseline_path + "' (--baseline-server)");
  }
  if (baseline_label.empty()) baseline_label = baseline_path;
  alarm(kRunLimitSeconds);
  raise_descriptor_limit();

  Fixture fixture;
  fixture.open();
  fixture.set_market();
  log_flush().open();
  std::atexit([] { log_flush().restore(); });
  log_flush().set(true);
  Results r;
  r.machine = describe_machine(fixture);
  r.baseline_label = baseline_label;
  r.rounds_orders = plan.order_rounds / plan.order_blocks * plan.order_blocks;
  r.order_blocks = plan.order_blocks;
  r.orders_per_round = plan.orders_per_round;
  r.rounds_startup = plan.startup_rounds;
  r.rounds_memory = plan.memory_rounds;
  r.requests_per_session = plan.requests_per_session;
  r.load_rounds = plan.load_rounds;

  auto wanted = [&](const char* phase) {
    bool run = only.empty() || only == phase;
    if (run) progress(phase);
    return run;
  };
  if (wanted("start-up")) r.startup = measure_startup(plan);
  if (wanted("orders")) {
    measure_orders(fixture, plan, baseline_path, &r.orders_flushed, &r.orders_unflushed);
  }
  if (wanted("commit")) r.commit_modes = measure_commit_modes(fixture, plan);
  if (wanted("memory")) r.memory = measure_memory(fixture, plan);
  if (wanted("load")) r.load = sweep_load(fixture, plan, baseline_path);
  if (wanted("digest")) r.digest = measure_digest(plan);
  if (wanted("sessions")) r.sessions = sweep_sessions(fixture, plan);

  r.machine.load_after = load_average();
  if (!write_report(r, report, findings)) fail("cannot write " + report);
  if (!write_plot_data(r, plot_data)) fail("cannot write " + plot_data);
  if (!sessions_plot_data.empty() && !write_sessions_plot_data(r, sessions_plot_data)) {
    fail("cannot write " + sessions_plot_data);
  }
  for (const SessionsRun& run : r.sessions.runs) {
    std::printf("%d sessions, %s: %.0f orders/s, p99 %.1f ms, Pss %.0f KiB per session\n",
                run.sessions, run.one_coin ? "one coin" : "four coins", run.orders_per_second,
                quantile(run.latency, 0.99) / 1000, run.server_pss_kib);
  }
  if (!only.empty() && only != "orders" && only != "load") return 0;
  std::printf("order over floor, flush on: new %.3f, baseline %.3f\n",
              r.orders_flushed.subject.ratio(), r.orders_flushed.baseline.ratio());
  std::printf("order over floor, flush off: new %.3f (goal at most %.2f), baseline %.3f\n",
              r.orders_unflushed.subject.ratio(), kUnflushedOrderGoal,
              r.orders_unflushed.baseline.ratio());
  std::printf(
      "order over its batches replayed: flush on %.3f (goal at most %.2f), flush off %.3f\n",
      r.orders_flushed.replay.ratio(), kReplayGoal, r.orders_unflushed.replay.ratio());
  std::printf(
      "new over baseline: requests/s at %d sessions %.3f (goal at least %.2f), p99 at %d "
      "sessions %.3f (goal at most %.2f)\n",
      kThroughputSessions, throughput_ratio(r.load), kThroughputGoal, kTailSessions,
      tail_ratio(r.load), kTailGoal);
  std::printf("start-up %.3f (connect in process %.3f)  memory %.3f  autocommit/transaction %.3f\n",
              r.startup.process_floor.ratio(), r.startup.connect_floor.ratio(), r.memory.ratio(),
              r.commit_modes.ratio());
  return 0;
}
