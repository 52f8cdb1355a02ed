#include "sessions.h"

#include <fmt/format.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>

#include "account/money.h"
#include "account/sha256.h"
#include "driver.h"
#include "server_proc.h"
#include "stats.h"
#include "workload.h"

namespace bench {

namespace {

constexpr char kPassword[] = "sessions-password";
// Every account of a run starts with these: enough that none of its orders is refused.
constexpr int64_t kStartingKrw = 2000000000;
constexpr int64_t kStartingCoins = 1000000;
// The coins by their request index, and the one all sessions share in the one-coin runs.
constexpr const char* kCoins[] = {"BTC", "ETH", "XRP", "SOL"};
constexpr int kSharedCoin = 2;
constexpr uint64_t kFirstTimestamp = 1700000000;
// Sessions starting at once: each start runs the bootstrap script through a mysql client, and a
// burst of a thousand of them would only queue on the two cores.
constexpr int kStartingAtOnce = 8;
// A run in which no server answers for this long has stalled; the whole driver is bounded too.
constexpr int kStallMillis = 120000;

struct Session {
  ServerProc server;
  enum { kIdle, kStarting, kSigningIn, kReady, kOrdering, kDone } state = kIdle;
  int coin = kSharedCoin;
  int sent = 0;
  Clock::time_point sent_at;
};

std::string order_bytes(int coin, int k) {
  // Buys and sells in turn, each with a time of its own so that the bot guard refuses none.
  return order_request(k % 2 == 0, coin, 1, kFirstTimestamp + static_cast<uint64_t>(k));
}

// The database's process, from its pid file; -1 when unknown.
pid_t database_pid() {
  BareDb root;
  if (!root.connect_as_root()) return -1;
  auto file = root.value("SELECT @@GLOBAL.pid_file");
  if (!file) return -1;
  std::ifstream in(*file);
  pid_t pid = -1;
  in >> pid;
  return pid;
}

class Poller {
 public:
  Poller() : fd_(epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) fail("epoll_create1 failed");
  }
  ~Poller() { close(fd_); }

  void add(int fd, int index) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<uint32_t>(index);
    if (epoll_ctl(fd_, EPOLL_CTL_ADD, fd, &ev) != 0) fail("epoll_ctl failed");
  }

  // The sessions whose output is readable; fails the run when none is for kStallMillis.
  const std::vector<int>& wait() {
    epoll_event events[256];
    int n;
    do {
      n = epoll_wait(fd_, events, 256, kStallMillis);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) fail("no session answered for two minutes");
    ready_.clear();
    for (int i = 0; i < n; ++i) ready_.push_back(static_cast<int>(events[i].data.u32));
    return ready_;
  }

 private:
  int fd_;
  std::vector<int> ready_;
};

}  // namespace

std::string create_accounts(BareDb& db, const std::string& prefix, int n) {
  const std::string digest = encryptSha256(kPassword);
  std::string values;
  for (int i = 0; i < n; ++i) {
    values += fmt::format("{}(NULL, '{}{}', '{}')", i == 0 ? "" : ",", prefix, i, digest);
  }
  const std::string ids =
      fmt::format("(SELECT acc_id FROM kv_account WHERE username LIKE '{}%')", prefix);
  if (!db.exec("START TRANSACTION") || !db.exec("INSERT INTO kv_account VALUES" + values) ||
      !db.exec(fmt::format("INSERT INTO kv_uservault SELECT NULL, acc_id, {0}, {1}, {1}, {1}, {1}, "
                           "0 FROM kv_account WHERE acc_id IN {2}",
                           kStartingKrw, kStartingCoins, ids)) ||
      !db.exec("COMMIT")) {
    fail("cannot add the accounts: " + db.error());
  }
  return ids;
}

std::vector<int64_t> read_stock(BareDb& db) {
  std::vector<int64_t> qty;
  for (const char* coin : kCoins) {
    auto v = db.value(fmt::format("SELECT qty FROM kv_coininfo WHERE symbol='{}'", coin));
    if (!v) fail("cannot read the stock: " + db.error());
    qty.push_back(std::stoll(*v));
  }
  return qty;
}

std::string bank_difference(BareDb& db, const std::string& ids,
                            const std::vector<int64_t>& stock_before, long traded) {
  // A buy pays the trade's value and the fee, a sell receives the value less the fee; the log
  // holds the value.
  const std::string fee = fmt::format("(total_price * {} DIV 100)", money::kFeePercent);
  std::string moved =
      fmt::format("SUM(IF(type=1, -(total_price + {0}), total_price - {0})) AS krw", fee);
  std::string differs = fmt::format("v.KRW_amount <> {} + COALESCE(t.krw, 0)", kStartingKrw);
  for (const char* coin : kCoins) {
    moved += fmt::format(", SUM(IF(symbol='{0}', IF(type=1, amount, -amount), 0)) AS {0}", coin);
    differs += fmt::format(" OR v.{0}_amount <> {1} + COALESCE(t.{0}, 0)", coin, kStartingCoins);
  }
  const std::string trades = fmt::format("FROM kv_tradehistory WHERE acc_id IN {}", ids);
  std::vector<std::string> wrong = db.row(fmt::format(
      "SELECT COUNT(*), MIN(v.acc_id) FROM kv_uservault v LEFT JOIN (SELECT acc_id, {} {} GROUP "
      "BY acc_id) t USING (acc_id) WHERE v.acc_id IN {} AND ({})",
      moved, trades, ids, differs));
  if (wrong.size() != 2) fail("cannot check the balances: " + db.error());
  if (wrong[0] != "0") {
    return fmt::format(
        "THE BANK DOES NOT BALANCE: {} accounts hold other amounts than their "
        "trades logged (first: account {})",
        wrong[0], wrong[1]);
  }
  auto logged = db.value("SELECT COUNT(*) " + trades);
  if (!logged || std::stol(*logged) != traded) {
    return fmt::format("THE TRADE LOG DOES NOT MATCH: {} trades answered, {} logged", traded,
                       logged.value_or("?"));
  }
  std::vector<int64_t> after = read_stock(db);
  for (size_t c = 0; c < after.size(); ++c) {
    auto net =
        db.value(fmt::format("SELECT COALESCE(SUM(IF(type=1, amount, -amount)), 0) {} AND "
                             "symbol='{}'",
                             trades, kCoins[c]));
    if (!net) fail("cannot sum the trades: " + db.error());
    if (after[c] != stock_before[c] - std::stoll(*net)) {
      return fmt::format(
          "THE STOCK DOES NOT MATCH THE LOG: {} went from {} to {}, the log moved "
          "it by {}",
          kCoins[c], stock_before[c], after[c], -std::stoll(*net));
    }
  }
  return "";
}

SessionsRun run_sessions(BareDb& db, const std::string& server_path, int n, bool one_coin,
                         int orders, int run) {
  SessionsRun result;
  result.sessions = n;
  result.one_coin = one_coin;
  // No underscore: it is a wildcard in the LIKE that finds the run's accounts.
  const std::string prefix = fmt::format("ses{}r{}n", getpid(), run);
  const std::string ids = create_accounts(db, prefix, n);
  const pid_t db_pid = database_pid();
  result.db_rss_before_kib = db_pid > 0 ? read_proc_kib(db_pid, "status", "VmRSS:") : -1;

  std::unique_ptr<Session[]> s(new Session[n]);
  Poller poller;
  std::string answer;
  // Start and sign in every session, a few at a time.
  Clock::time_point start_begin = Clock::now();
  int next = 0, starting = 0, ready = 0;
  auto launch = [&] {
    for (; starting < kStartingAtOnce && next < n; ++next, ++starting) {
      Session& one = s[next];
      if (!one.server.start(server_path)) fail("cannot start a server");
      one.state = Session::kStarting;
      if (!one_coin) one.coin = next % 4;
      poller.add(one.server.output_fd(), next);
    }
  };
  launch();
  while (ready < n) {
    for (int i : poller.wait()) {
      Session& one = s[i];
      int got = one.server.read_some(&answer);
      if (got < 0) fail("a server ended while starting");
      if (got == 0) continue;
      if (one.state == Session::kStarting) {
        if (!one.server.send(signin_request(prefix + std::to_string(i), kPassword))) {
          fail("cannot write to a server");
        }
        one.state = Session::kSigningIn;
      } else {
        if (!answer.empty()) fail("sign-in failed: " + answer);
        one.state = Session::kReady;
        --starting;
        ++ready;
        launch();
      }
    }
  }
  result.start_seconds = std::chrono::duration<double>(Clock::now() - start_begin).count();
  const std::vector<int64_t> stock_before = read_stock(db);

  // The timed window: every session's orders, each sent when the previous one's answer is in.
  result.latency.reserve(static_cast<size_t>(n) * static_cast<size_t>(orders));
  long refused = 0;
  std::string first_refusal;
  Clock::time_point begin = Clock::now();
  for (int i = 0; i < n; ++i) {
    s[i].sent_at = Clock::now();
    if (!s[i].server.send(order_bytes(s[i].coin, 0))) fail("cannot write to a server");
    s[i].state = Session::kOrdering;
  }
  int done = 0;
  Clock::time_point end = begin;
  while (done < n) {
    for (int i : poller.wait()) {
      Session& one = s[i];
      int got = one.server.read_some(&answer);
      if (got < 0) fail("a server ended during its orders");
      if (got == 0) continue;
      Clock::time_point now = Clock::now();
      result.latency.push_back(
          std::chrono::duration<double, std::micro>(now - one.sent_at).count());
      if (answer.find("\"total_price\"") == std::string::npos) {
        if (refused++ == 0) first_refusal = answer;
      }
      if (++one.sent < orders) {
        one.sent_at = Clock::now();
        if (!one.server.send(order_bytes(one.coin, one.sent))) fail("cannot write to a server");
      } else {
        one.state = Session::kDone;
        ++done;
        end = now;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(end - begin).count();
  result.orders_per_second = static_cast<double>(result.latency.size()) / seconds;

  // Memory, with every session and its database connection still there.
  double hwm = 0, pss = 0;
  for (int i = 0; i < n; ++i) {
    hwm += static_cast<double>(read_proc_kib(s[i].server.pid(), "status", "VmHWM:"));
    pss += static_cast<double>(read_proc_kib(s[i].server.pid(), "smaps_rollup", "Pss:"));
  }
  result.server_hwm_kib = hwm / n;
  result.server_pss_kib = pss / n;
  result.db_rss_kib = db_pid > 0 ? read_proc_kib(db_pid, "status", "VmRSS:") : -1;
  for (int i = 0; i < n; ++i) s[i].server.close_input();
  for (int i = 0; i < n; ++i) s[i].server.finish();

  if (refused > 0) {
    fail(fmt::format("{} of {} orders were refused (first answer: {})", refused,
                     result.latency.size(), first_refusal));
  }
  const std::string difference =
      bank_difference(db, ids, stock_before, static_cast<long>(result.latency.size()));
  if (!difference.empty()) fail(difference);
  return result;
}

std::string describe_database_threads(BareDb& db) {
  std::vector<std::string> v = db.row(
      "SELECT @@GLOBAL.thread_handling, @@GLOBAL.thread_pool_size, @@GLOBAL.max_connections");
  if (v.size() != 3) return "unknown";
  if (v[0] == "pool-of-threads") {
    return fmt::format("`thread_handling={}`, `thread_pool_size={}`, `max_connections={}`", v[0],
                       v[1], v[2]);
  }
  return fmt::format("`thread_handling={}`, `max_connections={}`", v[0], v[2]);
}

}  // namespace bench
