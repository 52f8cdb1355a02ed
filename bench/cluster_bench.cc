// korvane on a three-node Galera cluster behind HAProxy, against one MariaDB: orders per second
// through each, how long the sessions pause when the node behind the proxy is killed, and what
// new clients starting at a steady rate do to the order latency of the sessions trading.
// scripts/bench-cluster starts both databases and the server built for TCP, and runs this.
//
//   korvane_cluster_bench --server PATH --single-port P --proxy-port P --cluster DIR --out FILE
//       [--sessions N] [--orders N] [--runs N] [--failovers N] [--churn-orders N]
//       [--churn-every-ms N] [--churn-runs N] [--findings FILE]
//
// A count of 0 skips that part (--runs, --failovers, --churn-orders). FILE's text, notes written
// by hand, ends the fragment.
// Every session is its own server process with an account of its own, so no order waits for
// another's rows, and every order is affordable with a time of its own: each ends as a trade, and
// the figures are those of the database path alone. Writes a markdown fragment to FILE.
#include <mysql.h>
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korvane.pb.h"
#include "server/dispatch.h"
#include "server_proc.h"
#include "stats.h"
#include "workload.h"

namespace {

using bench::Clock;
using bench::median;

constexpr int kSOL = 3;
constexpr long kPrice = 100;

struct Options {
  std::string server, cluster, out, findings;
  int single_port = 0, proxy_port = 0;
  int sessions = 4, orders = 300, runs = 3, failovers = 3;
  int churn_orders = 1000, churn_every_ms = 100, churn_runs = 3;
};

[[noreturn]] void fail(const std::string& why) {
  std::cerr << "korvane_cluster_bench: " << why << "\n";
  std::exit(1);
}

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A trade's answer ends with its JSON, whose last field is the side.
bool traded(const std::string& answer) {
  return ends_with(answer, "\"flag\": true\n}\n\n") || ends_with(answer, "\"flag\": false\n}\n\n");
}

std::string signup_request(const std::string& name) {
  korvane::KorvaneInterface e;
  e.set_event_id(event::kSignUp);
  e.mutable_event_signup()->set_username(name);
  e.mutable_event_signup()->set_password("pw");
  std::string bytes;
  e.SerializeToString(&bytes);
  return bytes;
}

// Runs statements as the korvane user on 127.0.0.1:port.
void sql(int port, const std::vector<std::string>& statements) {
  MYSQL* conn = mysql_init(nullptr);
  if (mysql_real_connect(conn, "127.0.0.1", "korvane", "wexolim", "korvane_db",
                         static_cast<unsigned int>(port), nullptr, 0) == nullptr) {
    fail("cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + mysql_error(conn));
  }
  for (const std::string& s : statements) {
    if (mysql_query(conn, s.c_str()) != 0) fail(s + ": " + mysql_error(conn));
    MYSQL_RES* res = mysql_store_result(conn);
    if (res != nullptr) mysql_free_result(res);
  }
  mysql_close(conn);
}

// Column 0 of the first row of `query` on 127.0.0.1:port.
std::string sql_value(int port, const std::string& query) {
  MYSQL* conn = mysql_init(nullptr);
  std::string value;
  if (mysql_real_connect(conn, "127.0.0.1", "korvane", "wexolim", nullptr,
                         static_cast<unsigned int>(port), nullptr, 0) != nullptr &&
      mysql_query(conn, query.c_str()) == 0) {
    MYSQL_RES* res = mysql_store_result(conn);
    MYSQL_ROW row = res != nullptr ? mysql_fetch_row(res) : nullptr;
    if (row != nullptr && row[0] != nullptr) value = row[0];
    if (res != nullptr) mysql_free_result(res);
  }
  mysql_close(conn);
  return value;
}

// Signed-in sessions on the database at `port`, each with a new account holding plenty.
std::vector<std::unique_ptr<bench::ServerProc>> open_sessions(const Options& o, int port) {
  static int accounts = 0;
  setenv("MYSQL_TCP_PORT", std::to_string(port).c_str(), 1);
  std::vector<std::unique_ptr<bench::ServerProc>> sessions;
  std::string answer;
  for (int s = 0; s < o.sessions; ++s) {
    const std::string name = "cbench" + std::to_string(getpid()) + "_" + std::to_string(++accounts);
    bench::ServerProc setup;
    if (!setup.start(o.server) || !setup.read_prompt(&answer) ||
        !setup.request(signup_request(name), &answer)) {
      fail("a server on port " + std::to_string(port) + " did not start");
    }
    setup.finish();
    sql(port,
        {"UPDATE kv_uservault v JOIN kv_account a USING (acc_id) SET v.KRW_amount=1000000000, "
         "v.SOL_amount=1000000 WHERE a.username='" +
             name + "'",
         "UPDATE kv_coininfo SET current_price=" + std::to_string(kPrice) +
             ", qty=1000000000 WHERE symbol='SOL'"});
    auto session = std::make_unique<bench::ServerProc>();
    if (!session->start(o.server) || !session->read_prompt(&answer) ||
        !session->request(bench::signin_request(name, "pw"), &answer) || !answer.empty()) {
      fail("a session on port " + std::to_string(port) + " did not sign in: " + answer);
    }
    sessions.push_back(std::move(session));
  }
  return sessions;
}

// Order i of a session: sides in pairs, a time of its own.
std::string order(int i) {
  return bench::order_request((i / 2) % 2 == 0, kSOL, 1 + i % 3, 1000000 + i);
}

// Orders per second of all sessions sending `orders` each at once.
double throughput(const Options& o, int port) {
  auto sessions = open_sessions(o, port);
  std::atomic<bool> go{false};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (auto& session : sessions) {
    threads.emplace_back([&, s = session.get()] {
      while (!go.load()) std::this_thread::yield();
      std::string answer;
      for (int i = 0; i < o.orders; ++i) {
        if (!s->request(order(i), &answer)) fail("a session ended");
        if (!traded(answer)) ++refused;
      }
    });
  }
  const auto start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (refused.load() > 0) fail(std::to_string(refused.load()) + " orders were refused");
  for (auto& session : sessions) session->finish();
  return o.sessions * o.orders / seconds;
}

// Order latencies in ms of all sessions sending `churn_orders` each through the proxy at once;
// with `churn`, meanwhile a new server process starts through the proxy every churn_every_ms
// and ends as soon as it has shown its prompt, as a client that connects and leaves. *starts
// gets how many did (a start that takes longer than the interval delays the next).
std::vector<double> latencies(const Options& o, bool churn, int* starts) {
  auto sessions = open_sessions(o, o.proxy_port);
  std::atomic<bool> go{false}, stop{false};
  std::vector<std::vector<double>> each(sessions.size());
  std::vector<std::thread> threads;
  for (size_t s = 0; s < sessions.size(); ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      std::string answer;
      for (int i = 0; i < o.churn_orders; ++i) {
        const auto start = Clock::now();
        if (!sessions[s]->request(order(i), &answer)) fail("a session ended");
        each[s].push_back(bench::micros_since(start) / 1000);
        if (!traded(answer)) fail("an order was refused: " + answer);
      }
    });
  }
  *starts = 0;
  std::thread starter([&] {
    if (!churn) return;
    auto next = Clock::now();
    while (!stop.load()) {
      bench::ServerProc client;
      std::string answer;
      if (!client.start(o.server) || !client.read_prompt(&answer)) fail("a new client failed");
      client.finish();
      ++*starts;
      next += std::chrono::milliseconds(o.churn_every_ms);
      std::this_thread::sleep_until(next);
    }
  });
  go = true;
  for (auto& t : threads) t.join();
  stop = true;
  starter.join();
  for (auto& session : sessions) session->finish();
  std::vector<double> all;
  for (const auto& v : each) all.insert(all.end(), v.begin(), v.end());
  return all;
}

// One failover: the sessions send orders without pause through the proxy, the node behind it is
// SIGKILLed, and each session's first order sent after the kill is timed to its answer. Returns
// the pause of the first session to answer and of the last, in seconds. Starts the node again
// afterwards (scripts/cluster start), so that the next failover has three nodes.
std::pair<double, double> failover(const Options& o) {
  auto sessions = open_sessions(o, o.proxy_port);
  const std::string name = sql_value(o.proxy_port, "SELECT @@wsrep_node_name");
  if (name.rfind("node", 0) != 0) fail("no node answers through the proxy");
  const std::string node = name.substr(4);
  std::ifstream pid_file(o.cluster + "/node" + node + ".pid");
  pid_t pid = 0;
  if (!(pid_file >> pid) || pid <= 0) fail("no pid for " + name);

  std::atomic<bool> killed{false}, stop{false};
  std::atomic<int> sent{0};
  Clock::time_point kill_time;
  std::vector<std::atomic<double>> pause(sessions.size());
  for (auto& p : pause) p = -1;
  std::vector<std::thread> threads;
  for (size_t s = 0; s < sessions.size(); ++s) {
    threads.emplace_back([&, s] {
      std::string answer;
      for (int i = 0; !stop.load(); ++i) {
        const bool after_kill = killed.load();
        ++sent;
        if (!sessions[s]->request(order(i), &answer)) fail("a session ended");
        if (!traded(answer)) fail("an order was refused: " + answer);
        if (after_kill && pause[s].load() < 0) {
          pause[s] = std::chrono::duration<double>(Clock::now() - kill_time).count();
        }
      }
    });
  }
  // A second of load first, so that every session has orders in flight when the node dies.
  while (sent.load() < o.sessions * 20) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill_time = Clock::now();
  kill(pid, SIGKILL);
  killed = true;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (std::all_of(pause.begin(), pause.end(), [](const auto& p) { return p.load() >= 0; })) break;
  }
  stop = true;
  for (auto& t : threads) t.join();
  for (auto& session : sessions) session->finish();
  const std::string start = "'" + std::string(KORVANE_CLUSTER_SCRIPT) + "' start " + node + " '" +
                            o.cluster + "' >/dev/null";
  if (std::system(start.c_str()) != 0) fail("scripts/cluster start " + node + " failed");
  std::vector<double> each;
  for (const auto& p : pause) each.push_back(p.load());
  return {*std::min_element(each.begin(), each.end()), *std::max_element(each.begin(), each.end())};
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown CPU";
}

std::string fixed(double v, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.*f", digits, v);
  return buf;
}

Options parse(int argc, char** argv) {
  Options o;
  const std::map<std::string, std::string*> texts = {{"--server", &o.server},
                                                     {"--cluster", &o.cluster},
                                                     {"--out", &o.out},
                                                     {"--findings", &o.findings}};
  const std::map<std::string, int*> numbers = {{"--single-port", &o.single_port},
                                               {"--proxy-port", &o.proxy_port},
                                               {"--sessions", &o.sessions},
                                               {"--orders", &o.orders},
                                               {"--runs", &o.runs},
                                               {"--failovers", &o.failovers},
                                               {"--churn-orders", &o.churn_orders},
                                               {"--churn-every-ms", &o.churn_every_ms},
                                               {"--churn-runs", &o.churn_runs}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) fail("a value is missing after " + arg);
    const std::string value = argv[++i];
    if (auto text = texts.find(arg); text != texts.end()) {
      *text->second = value;
    } else if (auto number = numbers.find(arg); number != numbers.end()) {
      *number->second = std::stoi(value);
    } else {
      fail("unknown option " + arg);
    }
  }
  if (o.server.empty() || o.cluster.empty() || o.out.empty() || o.single_port == 0 ||
      o.proxy_port == 0) {
    fail("--server, --cluster, --out, --single-port and --proxy-port are needed");
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  // Alternating runs, so that a slow moment of the machine does not fall on one side only.
  std::vector<double> single, cluster;
  for (int r = 0; r < o.runs; ++r) {
    single.push_back(throughput(o, o.single_port));
    cluster.push_back(throughput(o, o.proxy_port));
    std::cerr << "run " << r + 1 << ": single " << fixed(single.back(), 0) << " orders/s, cluster "
              << fixed(cluster.back(), 0) << " orders/s\n";
  }
  std::vector<double> first, last;
  for (int r = 0; r < o.failovers; ++r) {
    auto [min, max] = failover(o);
    first.push_back(min);
    last.push_back(max);
    std::cerr << "failover " << r + 1 << ": first answer after " << fixed(min, 2)
              << " s, every session after " << fixed(max, 2) << " s\n";
  }
  // Alternating again; the schema statements are counted on the node in front, which the new
  // clients' bootstrap reaches through the proxy.
  const std::string schema_statements =
      "SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS "
      "WHERE VARIABLE_NAME IN ('COM_CREATE_DB', 'COM_CREATE_TABLE')";
  std::vector<double> calm, churned;
  int starts = 0;
  long ddl = 0;
  for (int r = 0; r < (o.churn_orders > 0 ? o.churn_runs : 0); ++r) {
    int none = 0, started = 0;
    calm.push_back(bench::quantile(latencies(o, false, &none), 0.99));
    const long before = std::atol(sql_value(o.proxy_port, schema_statements).c_str());
    churned.push_back(bench::quantile(latencies(o, true, &started), 0.99));
    ddl += std::atol(sql_value(o.proxy_port, schema_statements).c_str()) - before;
    starts += started;
    std::cerr << "order p99 " << fixed(calm.back(), 1) << " ms alone, " << fixed(churned.back(), 1)
              << " ms with " << started << " new clients\n";
  }

  std::ostringstream md;
  char date[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(date, sizeof(date), "%Y-%m-%d", std::gmtime(&now));
  const double s = median(single), c = median(cluster);
  md << "<!-- Written by scripts/bench-cluster (bench/cluster_bench.cc); run it again rather "
        "than editing. -->\n"
     << "## A Galera cluster behind HAProxy\n\n"
     << "Measured " << date << " on " << std::thread::hardware_concurrency() << " cores ("
     << cpu_model() << "), all on one machine: the three nodes of `scripts/cluster` (the "
     << "settings of `deploy/galera/korvane-galera.cnf`, `deploy/haproxy/korvane-db.cfg`) "
     << "against one MariaDB 10.11 with the same buffer sizes and a flush at every commit, both "
     << "over TCP on 127.0.0.1, served by the same server build "
        "(`-DKORVANE_DB_HOST=127.0.0.1`).\n\n";
  if (o.runs > 0) {
    md << "| Database | Orders per second (median of " << o.runs << ") | Runs |\n"
       << "|---|---:|---|\n"
       << "| One MariaDB | " << fixed(s, 0) << " |";
    for (double v : single) md << " " << fixed(v, 0);
    md << " |\n| Galera cluster through HAProxy | " << fixed(c, 0) << " (" << fixed(100 * c / s, 0)
       << " %) |";
    for (double v : cluster) md << " " << fixed(v, 0);
    md << " |\n\n";
  }
  if (o.failovers > 0) {
    md << "| Failover (SIGKILL of the node behind the proxy) | Median of " << o.failovers
       << " | Each |\n"
       << "|---|---:|---|\n"
       << "| Until the first session's next order is answered | " << fixed(median(first), 1)
       << " s |";
    for (double v : first) md << " " << fixed(v, 2);
    md << " |\n| Until every session's next order is answered | " << fixed(median(last), 1)
       << " s |";
    for (double v : last) md << " " << fixed(v, 2);
    md << " |\n\n";
  }
  if (!calm.empty()) {
    md << "| Order latency through the proxy, p99 | Median of " << calm.size() << " | Runs |\n"
       << "|---|---:|---|\n";
    for (const auto& [what, v] : {std::make_pair(std::string("Sessions trading alone"), &calm),
                                  std::make_pair("While a new client starts every " +
                                                     std::to_string(o.churn_every_ms) + " ms",
                                                 &churned)}) {
      md << "| " << what << " | " << fixed(median(*v), 1) << " ms |";
      for (double p : *v) md << " " << fixed(p, 1);
      md << " |\n";
    }
    md << "\n"
       << starts << " new clients started in all; they ran " << ddl
       << " schema statements (`CREATE DATABASE`, `CREATE TABLE`) on the node in front.\n\n";
  }
  md << "Method: " << o.sessions << " sessions at once, each its own server process signed in to "
     << "an account of its own, each sending " << o.orders << " SOL orders (buys and sells in "
     << "pairs, every one affordable and with a time of its own, so every one trades and no two "
     << "sessions touch the same vault; all share the coin's market row). Orders per second is "
     << "all orders over the time from the first sent to the last answered. For the failover the "
     << "same sessions send orders without pause through the proxy; after a second the node "
     << "behind it is SIGKILLed, and for each session the time from the kill to the answer of "
     << "its first order sent after the kill is taken. The sessions reconnect through the proxy "
     << "once it has marked the node down (checks every 500 ms, two failures), and the surviving "
     << "nodes commit again once they have timed the dead one out (Galera's "
     << "`evs.suspect_timeout`, 5 s): that wait is most of the pause. The killed node is started "
     << "again between failovers. For the latency the same number of sessions, on new "
     << "accounts, send " << o.churn_orders << " orders each through the proxy, each timed from "
     << "its request to its answer, and the p99 of all their orders is taken; alternately alone "
     << "and while a new server process starts through the proxy every " << o.churn_every_ms
     << " ms and ends at its prompt (it runs the bootstrap, `sql/init.sql`, and connects; a "
     << "start that takes longer delays the next). `scripts/bench-cluster` runs it all.\n";
  if (!o.findings.empty()) {
    std::ifstream findings(o.findings);
    if (!findings) fail("cannot read " + o.findings);
    md << "\n" << findings.rdbuf();
  }
  std::ofstream out(o.out);
  out << md.str();
  if (!out) fail("cannot write " + o.out);
  std::cout << md.str();
  return 0;
}
