// korvane_web_bench: the WebSocket endpoint of scripts/serve against its TCP serving, both of one
// scripts/serve in the same run, printed as a section of docs/performance.md (scripts/bench
// appends it).
//
// - An order (a buy or a sell of 1 XRP, from the request's write to its prompt) over a WebSocket
//   session against the same over a TCP session. The two take turns round by round, changing
//   which goes first, and the figure is the median of the per-round ratios, so that the noise of
//   a shared machine falls on both alike. Goal: at most 1.1.
// - 100 WebSocket sessions connecting at once (one thread each): how many are greeted.
// - The endpoint's memory per session: its resident set with 100 sessions open, less that with
//   none, over 100. Each session is a server process either way; over TCP each connection has a
//   socat process of its own, whose proportional share is given beside it.
//
// Usage: korvane_web_bench [--quick]
// Needs a database prepared by the bootstrap script, reached the way the server reaches it
// (MYSQL_UNIX_PORT and MYSQL_HOME); it sets the XRP market and adds accounts of its own.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stats.h"
#include "support/client.h"
#include "support/envelopes.h"
#include "support/net_session.h"
#include "support/test_db.h"
#include "support/ws_client.h"

namespace {

using bench::Clock;

constexpr int kXrp = 2;
constexpr double kOrderGoal = 1.1;
constexpr int kSessionsAtOnce = 100;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "korvane_web_bench: %s\n", what.c_str());
  std::exit(1);
}

// A field of /proc/PID/FILE in KiB ("VmRSS", "Pss"), or -1.
long proc_kib(pid_t pid, const std::string& file, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// The processes whose command line holds every one of `words`.
std::vector<pid_t> processes_with(const std::vector<std::string>& words) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (dirent* e = proc != nullptr ? readdir(proc) : nullptr) {
    const std::string pid = e->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in("/proc/" + pid + "/cmdline");
    std::string line((std::istreambuf_iterator<char>(in)), {});
    bool all = !line.empty();
    for (const std::string& w : words) all = all && line.find(w) != std::string::npos;
    if (all) found.push_back(std::stoi(pid));
  }
  if (proc != nullptr) closedir(proc);
  return found;
}

// One side of the order measurement: a signed-in session that sends a request and reads its
// answer, over WebSocket or TCP.
template <typename Session>
double orders(Session& session, uint64_t* timestamp, int n) {
  std::string answer;
  Clock::time_point start = Clock::now();
  for (int k = 0; k < n; ++k) {
    auto envelope = k % 2 == 0 ? envelopes::buy(kXrp, 1, (*timestamp)++)
                               : envelopes::sell(kXrp, 1, (*timestamp)++);
    if (!session.send(envelopes::bytes_of(envelope)) || !session.read_until_prompt(&answer) ||
        answer.find("\"total_price\"") == std::string::npos) {
      fail("an order failed: " + answer);
    }
  }
  return bench::micros_since(start) / n;
}

template <typename Session>
void sign_up_and_in(Session& session) {
  const std::string name = unique_name("webbench");
  std::string answer;
  if (!session.read_until_prompt(&answer) ||
      !session.send(envelopes::bytes_of(envelopes::signup(name, "pw"))) ||
      !session.read_until_prompt(&answer) ||
      !session.send(envelopes::bytes_of(envelopes::signin(name, "pw"))) ||
      !session.read_until_prompt(&answer) || !answer.empty()) {
    fail("sign-up and sign-in failed: " + answer);
  }
}

struct Figures {
  double ws_us = 0, tcp_us = 0, ratio = 0;
  int rounds = 0, per_round = 0;
  int greeted = 0;
  double all_greeted_ms = 0;
  double endpoint_kib_per_session = 0;
  long socat_pss_kib = 0, server_rss_kib = 0;
};

void measure_orders(const ServedOverTcp& served, int rounds, int n, Figures* f) {
  WsSession ws(served.web_port());
  NetSession tcp(served.port());
  if (!ws.open() || !tcp.connected()) fail("cannot connect");
  sign_up_and_in(ws);
  sign_up_and_in(tcp);
  uint64_t ws_ts = 1500000000, tcp_ts = 1500000000;
  orders(ws, &ws_ts, n);  // warm both
  orders(tcp, &tcp_ts, n);
  std::vector<double> ratios, ws_us, tcp_us;
  for (int r = 0; r < rounds; ++r) {
    double w, t;
    if (r % 2 == 0) {
      w = orders(ws, &ws_ts, n);
      t = orders(tcp, &tcp_ts, n);
    } else {
      t = orders(tcp, &tcp_ts, n);
      w = orders(ws, &ws_ts, n);
    }
    ws_us.push_back(w);
    tcp_us.push_back(t);
    ratios.push_back(w / t);
  }
  f->rounds = rounds;
  f->per_round = n;
  f->ws_us = bench::median(ws_us);
  f->tcp_us = bench::median(tcp_us);
  f->ratio = bench::median(ratios);
}

void measure_sessions(const ServedOverTcp& served, Figures* f) {
  const std::vector<pid_t> endpoint =
      processes_with({"web-endpoint", "--port", std::to_string(served.web_port())});
  if (endpoint.size() != 1) fail("cannot find the endpoint's process");
  const long before = proc_kib(endpoint[0], "status", "VmRSS");
  std::vector<std::unique_ptr<WsSession>> sessions(kSessionsAtOnce);
  std::atomic<int> greeted{0};
  std::vector<std::thread> threads;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < kSessionsAtOnce; ++i) {
    threads.emplace_back([&, i] {
      sessions[i] = std::make_unique<WsSession>(served.web_port());
      std::string text;
      if (sessions[i]->read_until_prompt(&text, 120000)) ++greeted;
    });
  }
  for (std::thread& t : threads) t.join();
  f->all_greeted_ms = bench::micros_since(start) / 1000;
  f->greeted = greeted;
  const long after = proc_kib(endpoint[0], "status", "VmRSS");
  f->endpoint_kib_per_session = static_cast<double>(after - before) / kSessionsAtOnce;
  const std::vector<pid_t> servers = processes_with({"korvane-server"});
  if (!servers.empty()) f->server_rss_kib = proc_kib(servers[0], "status", "VmRSS");
  // A TCP connection's socat, forked for it by the listener: its proportional share of memory.
  NetSession tcp(served.port());
  std::string text;
  if (!tcp.read_until_prompt(&text)) fail("a TCP session was not greeted");
  const std::vector<pid_t> socats = processes_with({"socat", "EXEC:"});
  long most = 0;
  for (pid_t p : socats) most = std::max(most, proc_kib(p, "smaps_rollup", "Pss"));
  f->socat_pss_kib = most;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  TestDb db;
  db.set_market("XRP", 100, 100000000);
  ServeOptions options;
  options.web = true;
  options.max_per_source = 0;  // every session comes from 127.0.0.1
  char page[] = "/tmp/korvane-bench-page.XXXXXX";
  if (mkdtemp(page) == nullptr) fail("mkdtemp failed");
  options.web_root = page;
  Figures f;
  {
    ServedOverTcp served(options);
    if (served.web_port() == 0) fail("scripts/serve did not start");
    std::fprintf(stderr, "  orders over WebSocket and TCP\n");
    measure_orders(served, quick ? 6 : 40, quick ? 10 : 20, &f);
    std::fprintf(stderr, "  %d WebSocket sessions at once\n", kSessionsAtOnce);
    measure_sessions(served, &f);
  }
  rmdir(page);
  std::ostringstream out;
  char line[512];
  out << "## The WebSocket endpoint\n\n"
      << "`bench/web_bench.cc`, against TCP serving of the same `scripts/serve` in the same "
         "run.\n\n"
      << "| Figure | Value | Goal |\n|---|---|---|\n";
  std::snprintf(line, sizeof(line),
                "| an order over WebSocket / over TCP (median of %d rounds of %d) | %.3f "
                "(%.0f us / %.0f us) | at most %.1f |\n",
                f.rounds, f.per_round, f.ratio, f.ws_us, f.tcp_us, kOrderGoal);
  out << line;
  std::snprintf(line, sizeof(line),
                "| WebSocket sessions connecting at once, greeted | %d of %d (the last after "
                "%.0f ms) | all |\n",
                f.greeted, kSessionsAtOnce, f.all_greeted_ms);
  out << line;
  std::snprintf(line, sizeof(line),
                "| endpoint memory per WebSocket session | %.0f KiB (a TCP connection's socat: "
                "%ld KiB; a server process: %ld KiB) | |\n",
                f.endpoint_kib_per_session, f.socat_pss_kib, f.server_rss_kib);
  out << line;
  std::fputs(out.str().c_str(), stdout);
  return f.greeted == kSessionsAtOnce ? 0 : 1;
}
