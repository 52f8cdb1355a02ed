// korvane_bench: the server against its floors, side by side in one run, written up as a report.
//
// A request cannot avoid its statements' round trips to the database; everything else the server
// does (process start, decoding, formatting, printing) is overhead. Each figure here is a ratio
// of the server's cost to such a floor, both measured in this run. Baseline and subject take
// turns (A/B, then B/A) over several rounds, and the report gives the median of the per-round
// ratios, so that the noise of a shared machine falls on both alike.
//
// Usage: korvane_bench --report FILE --plot-data FILE [--findings FILE] [--quick]
//
// Needs a database prepared by the bootstrap script, reached the way the server reaches it
// (MYSQL_UNIX_PORT and MYSQL_HOME, see scripts/lib/common.sh). It changes the market prices and
// adds accounts of its own: point it at a throwaway instance.
#include <fmt/format.h>
#include <mysql.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "account/sha256.h"
#include "bare_db.h"
#include "db/connection_params.h"
#include "server_proc.h"
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
constexpr unsigned kRunLimitSeconds = 15 * 60;

constexpr double kOrderGoal = 1.10;
constexpr double kStartupGoal = 1.2;
constexpr double kMemoryGoal = 1.5;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "korvane_bench: %s\n", what.c_str());
  std::exit(1);
}

void progress(const std::string& what) { std::fprintf(stderr, "  %s\n", what.c_str()); }

// Sizes of the run; --quick shrinks them for a smoke run.
struct Plan {
  std::vector<int> sessions = {1, 2, 4, 8, 16};
  int load_rounds = 3;
  int requests_per_session = 200;  // per round
  int order_rounds = 1000;
  int orders_per_round = 2;
  int startup_rounds = 100;
  int memory_rounds = 3;
  int memory_requests = 300;
  std::vector<std::string> digest_args = {"--benchmark_repetitions=5",
                                          "--benchmark_enable_random_interleaving=true",
                                          "--benchmark_min_time=0.05"};

  void shrink() {
    sessions = {1, 2, 4};
    load_rounds = 1;
    requests_per_session = 60;
    order_rounds = 20;
    orders_per_round = 2;
    startup_rounds = 4;
    memory_rounds = 1;
    memory_requests = 60;
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

// A server started and signed in to `name`; fails the run when that does not work.
void start_signed_in(ServerProc& server, const std::string& name) {
  std::string answer;
  if (!server.start(KORVANE_SERVER_PATH) || !server.read_prompt(&answer)) {
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

void run_session(const std::string& name, uint32_t account, int requests, uint32_t seed,
                 StartGate* gate, SessionOutcome* out) {
  BareDb lookup;
  ServerProc server;
  std::string answer;
  bool ready = lookup.connect(false) && server.start(KORVANE_SERVER_PATH) &&
               server.read_prompt(&answer) &&
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

struct LoadResult {
  int sessions = 0;
  double requests_per_second = 0;
  std::vector<double> latency[kKinds];
  int refused[kKinds] = {};
  std::vector<double> all;
};

LoadResult run_load(Fixture& fixture, int sessions, int requests, uint32_t seed) {
  std::vector<std::string> names(sessions);
  std::vector<uint32_t> accounts(sessions);
  for (int i = 0; i < sessions; ++i) accounts[i] = fixture.create_account(&names[i]);
  std::vector<SessionOutcome> outcomes(sessions);
  StartGate gate(sessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < sessions; ++i) {
    threads.emplace_back(run_session, names[i], accounts[i], requests,
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

// Runs every session count several times, in rising order and then in falling order by turns,
// so that a slow spell of the shared disk or CPU falls on all counts rather than on one. The
// latencies of a count's runs are pooled; its throughput is the median over its runs.
std::vector<LoadResult> sweep_load(Fixture& fixture, const Plan& plan) {
  std::vector<LoadResult> pooled(plan.sessions.size());
  std::vector<std::vector<double>> rates(plan.sessions.size());
  for (int round = 0; round < plan.load_rounds; ++round) {
    for (size_t k = 0; k < plan.sessions.size(); ++k) {
      size_t i = round % 2 == 0 ? k : plan.sessions.size() - 1 - k;
      int n = plan.sessions[i];
      progress(fmt::format("{} sessions, round {}", n, round + 1));
      LoadResult one = run_load(fixture, n, plan.requests_per_session,
                                static_cast<uint32_t>(1000 * n + 100 * round));
      LoadResult& p = pooled[i];
      p.sessions = n;
      for (int t = 0; t < kKinds; ++t) {
        p.latency[t].insert(p.latency[t].end(), one.latency[t].begin(), one.latency[t].end());
        p.refused[t] += one.refused[t];
      }
      p.all.insert(p.all.end(), one.all.begin(), one.all.end());
      rates[i].push_back(one.requests_per_second);
    }
  }
  for (size_t i = 0; i < pooled.size(); ++i) pooled[i].requests_per_second = median(rates[i]);
  return pooled;
}

// ---------------------------------------------------------------------------------------------
// Paired measurements.

// A ratio of subject over baseline, per round and overall.
struct Paired {
  std::vector<double> subject;   // per round
  std::vector<double> baseline;  // per round
  std::vector<double> ratios;    // subject / baseline, per round

  void add(double s, double b) {
    subject.push_back(s);
    baseline.push_back(b);
    ratios.push_back(s / b);
  }
  double ratio() const { return median(ratios); }
};

// Runs `rounds` rounds of both measurements, taking turns at going first, after one warm-up
// round that is not kept. Each function returns its cost for the round.
template <typename Subject, typename Baseline>
Paired interleave(int rounds, Subject subject, Baseline baseline) {
  Paired paired;
  subject();
  baseline();
  for (int r = 0; r < rounds; ++r) {
    double s, b;
    if (r % 2 == 0) {
      b = baseline();
      s = subject();
    } else {
      s = subject();
      b = baseline();
    }
    paired.add(s, b);
  }
  return paired;
}

Order xrp_order(int k, uint64_t* timestamp) { return Order{k % 2 == 0, "XRP", 1, (*timestamp)++}; }

// Server time per order over the bare client's time for the same statements.
Paired measure_orders(Fixture& fixture, const Plan& plan) {
  std::string server_name, floor_name;
  fixture.create_account(&server_name);
  uint32_t floor_account = fixture.create_account(&floor_name);
  ServerProc server;
  start_signed_in(server, server_name);
  BareDb floor;
  if (!floor.connect(true)) fail("cannot connect: " + floor.error());
  uint64_t server_ts = kFirstOrderTimestamp, floor_ts = kFirstOrderTimestamp;
  const int n = plan.orders_per_round;
  Paired p = interleave(
      plan.order_rounds,
      [&] {
        std::string answer;
        Clock::time_point start = Clock::now();
        for (int k = 0; k < n; ++k) {
          Order o = xrp_order(k, &server_ts);
          if (!server.request(order_request(o.buy, kXrp, o.amount, o.timestamp), &answer) ||
              answer.find("\"total_price\"") == std::string::npos) {
            fail("a server order failed: " + answer);
          }
        }
        return micros_since(start) / n;
      },
      [&] {
        Clock::time_point start = Clock::now();
        for (int k = 0; k < n; ++k) {
          if (!run_order_in_transaction(floor, floor_account, xrp_order(k, &floor_ts))) {
            fail("a bare order failed: " + floor.error());
          }
        }
        return micros_since(start) / n;
      });
  server.finish();
  return p;
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

// Start-up: the server's spawn to first prompt, over the bootstrap run of the mysql client plus
// one connect. The connect is measured two ways: by a bare client process (spawned, connected,
// ended), the least a process that talks to the database costs; and inside this already running
// process, which leaves the server's process start on the server's side.
struct Startup {
  Paired process_floor;
  Paired connect_floor;
  Paired script;  // the bootstrap run over the same client run with no statements
};

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
  auto bootstrap = [](const char* script) {
    Clock::time_point start = Clock::now();
    int status = run_program(
        {"mysql", fmt::format("-u{}", db_params::kUser), fmt::format("-p{}", db_params::kPassword)},
        script);
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
        start_signed_in(server, name);
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

// ---------------------------------------------------------------------------------------------
// The report.

struct Machine {
  std::string cpu, kernel, database, date, load_before, load_after;
  unsigned cores = 0;
};

// The 1, 5 and 15 minute load averages: how busy the shared machine was around the run.
std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return fmt::format("{} {} {}", one, five, fifteen);
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
  std::time_t now = std::time(nullptr);
  char date[32];
  std::strftime(date, sizeof(date), "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  m.date = date;
  return m;
}

std::string verdict(double ratio, double goal) {
  return ratio <= goal ? "met" : "**missed** (see below)";
}

std::string ms(double us) { return fmt::format("{:.2f}", us / 1000); }

struct Results {
  Machine machine;
  std::vector<LoadResult> load;
  Paired orders, commit_modes, memory;
  Startup startup;
  std::vector<std::pair<std::string, double>> digest;
  int rounds_orders = 0, orders_per_round = 0, rounds_startup = 0, rounds_memory = 0;
  int requests_per_session = 0, load_rounds = 0;
};

void write_report(const Results& r, const std::string& path, const std::string& findings_path) {
  std::ofstream out(path);
  if (!out) fail("cannot write " + path);
  const Machine& m = r.machine;
  out << "# Performance\n\n";
  out << "Written by `scripts/bench` from one run; do not edit by hand.\n\n";
  out << "| machine | |\n|---|---|\n";
  out << fmt::format(
      "| CPU | {} |\n| cores | {} |\n| kernel | {} |\n| database | MariaDB {} |\n"
      "| date | {} |\n| load average before / after the run | {} / {} |\n\n",
      m.cpu, m.cores, m.kernel, m.database, m.date, m.load_before, m.load_after);

  out << "## The server against its floors\n\n";
  out << "Each ratio is the server's cost over the cost of a floor measured in the same run. "
         "Subject and floor take turns, alternating which goes first, over several rounds; a "
         "ratio is the median of the per-round ratios, and the medians of the two sides are "
         "given for scale.\n\n";
  out << "| measure | subject (median) | floor (median) | ratio | goal | |\n";
  out << "|---|---|---|---|---|---|\n";
  out << fmt::format(
      "| time per order | server, request written to prompt read ({} ms) | the same statements "
      "from a bare client on one connection ({} ms) | {:.3f} | at most {:.2f} | {} |\n",
      ms(median(r.orders.subject)), ms(median(r.orders.baseline)), r.orders.ratio(), kOrderGoal,
      verdict(r.orders.ratio(), kOrderGoal));
  const Paired& st = r.startup.process_floor;
  out << fmt::format(
      "| start-up | server, spawn to first prompt ({} ms) | `mysql -ukorvane -pwexolim < "
      "sql/init.sql`, then a bare client process that connects ({} ms) | {:.3f} | at most {:.2f} "
      "| {} |\n",
      ms(median(st.subject)), ms(median(st.baseline)), st.ratio(), kStartupGoal,
      verdict(st.ratio(), kStartupGoal));
  const Paired& sc = r.startup.connect_floor;
  out << fmt::format(
      "| start-up, process start counted | server, spawn to first prompt ({} ms) | the same "
      "bootstrap run, then one connect inside a running process ({} ms) | {:.3f} | | see below "
      "|\n",
      ms(median(sc.subject)), ms(median(sc.baseline)), sc.ratio());
  const Paired& sp = r.startup.script;
  out << fmt::format(
      "| bootstrap script on a database in place | `mysql ... < sql/init.sql` ({} ms) | the same "
      "client run with no input ({} ms) | {:.3f} | | the script's own share |\n",
      ms(median(sp.subject)), ms(median(sp.baseline)), sp.ratio());
  out << fmt::format(
      "| peak memory | session process after a mixed run, VmHWM ({} KiB) | a bare client that "
      "only connects, VmHWM ({} KiB) | {:.3f} | at most {:.2f} | {} |\n",
      median(r.memory.subject), median(r.memory.baseline), r.memory.ratio(), kMemoryGoal,
      verdict(r.memory.ratio(), kMemoryGoal));
  out << fmt::format(
      "| one transaction per order | every write committed by itself ({} ms) | one transaction, "
      "one commit ({} ms) | {:.3f} | | the transaction is {:.2f}x as fast |\n",
      ms(median(r.commit_modes.subject)), ms(median(r.commit_modes.baseline)),
      r.commit_modes.ratio(), r.commit_modes.ratio());
  for (const auto& [label, ratio] : r.digest) {
    out << fmt::format(
        "| digest throughput, {} | password digest engine | OpenSSL SHA-256 | {:.2f} | | "
        "higher is faster |\n",
        label, ratio);
  }
  out << fmt::format(
      "\nOrders: {} rounds of {} orders each way (buys and sells of XRP in turn). Start-up: {} "
      "rounds. Memory: {} rounds. The digest ratios come from `korvane_sha256_bench` "
      "(repetitions in random order, median rate of each).\n\n",
      r.rounds_orders, r.orders_per_round, r.rounds_startup, r.rounds_memory);

  out << "## Sessions at once\n\n";
  out << fmt::format(
      "N server processes on pipes, each signed in to its own account, each sending {} requests "
      "per run of a fixed mix seeded per session: 35 % buys, 25 % sells (every order with a "
      "timestamp of "
      "its own), 20 % history views, 5 % address adds (up to ten per account, beyond that they "
      "become rewrites) and the rest address rewrites, of one entry or of all. Latency is from "
      "request written to prompt read; requests per second are all sessions' requests over the "
      "wall time from the first request to the last answer. Each count ran {} times, in rising "
      "and falling order by turns, with fresh accounts each time; latencies are pooled over the "
      "runs and requests per second are their median.\n\n",
      r.requests_per_session, r.load_rounds);
  out << "| sessions | requests/s | all p50 / p99 ms |";
  for (int k = 0; k < kKinds; ++k) out << " " << kKindNames[k] << " p50 / p99 ms |";
  out << " refused |\n|---|---|---|";
  for (int k = 0; k < kKinds; ++k) out << "---|";
  out << "---|\n";
  for (const LoadResult& l : r.load) {
    out << fmt::format("| {} | {:.0f} | {} / {} |", l.sessions, l.requests_per_second,
                       ms(quantile(l.all, 0.5)), ms(quantile(l.all, 0.99)));
    int refused = 0;
    for (int k = 0; k < kKinds; ++k) {
      out << fmt::format(" {} / {} |", ms(quantile(l.latency[k], 0.5)),
                         ms(quantile(l.latency[k], 0.99)));
      refused += l.refused[k];
    }
    out << " " << refused << " |\n";
  }
  out << "\n![requests per second and p99 latency against sessions](performance.png)\n\n";

  std::ifstream findings(findings_path);
  if (findings) out << findings.rdbuf();
}

void write_plot_data(const Results& r, const std::string& path) {
  std::ofstream out(path);
  if (!out) fail("cannot write " + path);
  out << "# sessions rps p99_all";
  for (int k = 0; k < kKinds; ++k) out << " p99_" << k;
  out << "\n";
  for (const LoadResult& l : r.load) {
    out << fmt::format("{} {:.1f} {:.3f}", l.sessions, l.requests_per_second,
                       quantile(l.all, 0.99) / 1000);
    for (int k = 0; k < kKinds; ++k)
      out << fmt::format(" {:.3f}", quantile(l.latency[k], 0.99) / 1000);
    out << "\n";
  }
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  std::string report, plot_data, findings, only;
  Plan plan;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      plan.shrink();
    } else if (i + 1 < argc && arg == "--report") {
      report = argv[++i];
    } else if (i + 1 < argc && arg == "--plot-data") {
      plot_data = argv[++i];
    } else if (i + 1 < argc && arg == "--only") {
      only = argv[++i];
    } else if (i + 1 < argc && arg == "--findings") {
      findings = argv[++i];
    } else {
      fail("usage: korvane_bench --report FILE --plot-data FILE [--findings FILE] [--quick]");
    }
  }
  if (report.empty() || plot_data.empty()) fail("--report and --plot-data are required");
  alarm(kRunLimitSeconds);

  Fixture fixture;
  fixture.open();
  fixture.set_market();
  Results r;
  r.machine = describe_machine(fixture);
  r.rounds_orders = plan.order_rounds;
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
  if (wanted("orders")) r.orders = measure_orders(fixture, plan);
  if (wanted("commit")) r.commit_modes = measure_commit_modes(fixture, plan);
  if (wanted("memory")) r.memory = measure_memory(fixture, plan);
  if (wanted("load")) r.load = sweep_load(fixture, plan);
  if (wanted("digest")) r.digest = measure_digest(plan);

  r.machine.load_after = load_average();
  write_report(r, report, findings);
  write_plot_data(r, plot_data);
  std::printf("start-up, connect in process %.3f\n", r.startup.connect_floor.ratio());
  std::printf("order %.3f  start-up %.3f  memory %.3f  autocommit/transaction %.3f\n",
              r.orders.ratio(), r.startup.process_floor.ratio(), r.memory.ratio(),
              r.commit_modes.ratio());
  return 0;
}
