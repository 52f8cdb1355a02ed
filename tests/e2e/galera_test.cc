// korvane on a three-node Galera cluster (scripts/cluster, the recipe of docs/deploy.md), each
// client its own server process built to reach the database over TCP.
//
// Sessions of one account writing on all three nodes at once: the nodes settle who wins only at
// COMMIT, and the losers get a deadlock error there; the server runs those orders again, so every
// affordable order trades. Sessions behind the proxy while the node they write on is killed: they
// reconnect to the node that takes over, every order counts exactly once, and the killed node
// comes back holding the same rows as the others. On every node the books agree with the log.
// Sessions moved to a backup while their COMMITs are held on the node they leave answer what the
// log holds, and a COMMIT that reaches the old node after the new one has settled "not applied"
// never lands. A node that is up but not Synced gets no new sessions from the proxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/cluster.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/fault_proxy.h"
#include "support/server_process.h"
#include "support/test_db.h"
#include "support/trade_ledger.h"

namespace {

constexpr int kSOL = 3;
constexpr long kPrice = 100;

long as_long(const std::string& s) { return s.empty() ? 0 : std::stol(s); }

std::string trade_response(uint64_t amount, bool buy) {
  return "{\n \"symbol\": \"SOL\",\n \"coin_cur_price\": \"" + std::to_string(kPrice) +
         "\",\n \"amount\": \"" + std::to_string(amount) + "\",\n \"total_price\": \"" +
         std::to_string(kPrice * amount) + "\",\n \"flag\": " + (buy ? "true" : "false") +
         "\n}\n\n";
}

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// An order a session sent, and whether its answer was its trade.
struct Order {
  int account;  // index into Books::ids
  bool buy;
  uint64_t time;
  uint64_t amount;
  bool traded = false;
};

Order order_of(int account, const korvane::KorvaneInterface& request) {
  const bool buy = request.has_event_buy();
  return {account, buy, buy ? request.event_buy().timestamp() : request.event_sell().timestamp(),
          buy ? request.event_buy().amount() : request.event_sell().amount()};
}

korvane::KorvaneInterface envelope_of(const Order& o) {
  return o.buy ? envelopes::buy(kSOL, o.amount, o.time) : envelopes::sell(kSOL, o.amount, o.time);
}

// What a test set up: its accounts, what each held and the coin's stock at the start.
struct Books {
  std::vector<std::string> names, ids;
  long krw = 0, coins = 0, stock = 0;
};

class Galera : public ::testing::Test {
 protected:
  // One cluster for the tests of one process: it takes 15 to 20 s to start.
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }

  void SetUp() override {
#ifdef KORVANE_SANITIZED
    GTEST_SKIP() << "the cluster tests run the server built for TCP, which has no sanitizers; "
                    "the run without them covers these";
#endif
    const char* server = std::getenv("KORVANE_TCP_SERVER");
    if (server == nullptr || *server == '\0') {
      GTEST_SKIP() << "KORVANE_TCP_SERVER is not set: scripts/test builds the server for a TCP "
                      "database and names it there";
    }
    server_ = server;
    if (cluster_ == nullptr) cluster_ = new Cluster();
    ASSERT_TRUE(cluster_->ok());
  }

  // A server whose database is whatever listens on 127.0.0.1:port, past its greeting.
  std::unique_ptr<ServerProcess> server_on(int port) {
    auto server = std::make_unique<ServerProcess>(
        std::map<std::string, std::string>{{"MYSQL_TCP_PORT", std::to_string(port)}},
        std::vector<std::string>{}, server_);
    server->read_until_prompt();
    return server;
  }

  std::unique_ptr<ServerProcess> signed_in(int port, const std::string& name) {
    auto session = server_on(port);
    EXPECT_EQ(session->send(envelopes::signin(name, "pw")), "");
    return session;
  }

  // Signs up `accounts` new accounts through `port` and gives each `krw` and `coins` SOL, with
  // `stock` SOL in the market at kPrice. The first server start there makes the schema.
  Books open_books(int port, int accounts, long krw, long coins, long stock) {
    Books books{{}, {}, krw, coins, stock};
    auto setup = server_on(port);
    const int node = cluster_->proxy_node();
    for (int a = 0; a < accounts; ++a) {
      books.names.push_back(unique_name("galera"));
      setup->send(envelopes::signup(books.names.back(), "pw"));
      books.ids.push_back(cluster_->value(node,
                                          "SELECT acc_id FROM korvane_db.kv_account "
                                          "WHERE username='" +
                                              books.names.back() + "'"));
      cluster_->exec(node, "UPDATE korvane_db.kv_uservault SET KRW_amount=" + std::to_string(krw) +
                               ", SOL_amount=" + std::to_string(coins) +
                               " WHERE acc_id=" + books.ids.back());
    }
    cluster_->exec(node,
                   "UPDATE korvane_db.kv_coininfo SET current_price=" + std::to_string(kPrice) +
                       ", qty=" + std::to_string(stock) + " WHERE symbol='SOL'");
    return books;
  }

  // Checks on `node` that the sessions' orders and the books agree (support/trade_ledger.h);
  // an order not answered with its trade counts as not traded. Returns what the check counted.
  LedgerCounts check_books(int node, const Books& books, const std::vector<Order>& orders) {
    SCOPED_TRACE("node" + std::to_string(node));
    std::vector<SentOrder> sent;
    for (const Order& o : orders) {
      sent.push_back({o.account, o.buy, o.time, o.amount,
                      o.traded ? SentOrder::Told::kTraded : SentOrder::Told::kNotTraded});
    }
    return check_ledger([&](const std::string& q) { return cluster_->rows(node, q); },
                        {"SOL", kPrice, books.ids, books.krw, books.coins, books.stock}, sent);
  }

  // Every node holds the same rows in each of korvane's tables.
  void expect_nodes_agree() {
    const std::string checksum =
        "CHECKSUM TABLE korvane_db.kv_account, korvane_db.kv_uservault, korvane_db.kv_coininfo, "
        "korvane_db.kv_tradehistory, korvane_db.kv_addressbook";
    // A read that waits for every committed write first: CHECKSUM TABLE itself does not wait.
    for (int node = 1; node <= 3; ++node) {
      cluster_->value(node, "SELECT COUNT(*) FROM korvane_db.kv_tradehistory");
    }
    auto first = cluster_->rows(1, checksum);
    EXPECT_EQ(first.size(), 5u);
    for (int node = 2; node <= 3; ++node) {
      EXPECT_EQ(cluster_->rows(node, checksum), first) << "node" << node << " differs from node1";
    }
  }

  // Transactions undone on any node because another node's write to the same rows was
  // certified first: at their COMMIT, or earlier by the other's write set.
  long conflicts() {
    long n = 0;
    for (int node = 1; node <= 3; ++node) {
      n += as_long(cluster_->value(
          node,
          "SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME "
          "IN ('WSREP_LOCAL_CERT_FAILURES', 'WSREP_LOCAL_BF_ABORTS')"));
    }
    return n;
  }

  static Cluster* cluster_;
  std::string server_;
};

Cluster* Galera::cluster_ = nullptr;

// Four sessions of one account on three nodes: node1 has two, which meet on its row locks as
// well as at COMMIT.
constexpr int kWriterNodes[] = {1, 2, 3, 1};
constexpr int kWriterOrders = 150;

// Every node takes writes for the same account, and so for the same vault and market rows. The
// nodes lock rows only locally, so orders meet at COMMIT, where all but one fail with a deadlock
// error; every order is affordable whatever the interleaving and has a time of its own, so each
// must end as a trade.
TEST_F(Galera, SessionsOfOneAccountOnEveryNodeTradeEveryAffordableOrder) {
  const long kKrw = 1000000, kCoins = 1000, kStock = 100000;
  Books books = open_books(cluster_->node_port(1), 1, kKrw, kCoins, kStock);

  std::vector<std::unique_ptr<ServerProcess>> sessions;
  for (int node : kWriterNodes) {
    sessions.push_back(signed_in(cluster_->node_port(node), books.names[0]));
  }
  const long conflicts_before = conflicts();
  std::atomic<bool> go{false};
  std::vector<std::vector<Order>> orders(sessions.size());
  std::vector<std::thread> threads;
  for (size_t s = 0; s < sessions.size(); ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kWriterOrders; ++i) {
        // Sides in pairs, so that the account keeps coins and KRW to spare.
        const uint64_t time = 1000 * (s + 1) + i, amount = 1 + (i + s) % 3;
        Order o = order_of(0, (i / 2) % 2 == 0 ? envelopes::buy(kSOL, amount, time)
                                               : envelopes::sell(kSOL, amount, time));
        const auto sent = std::chrono::steady_clock::now();
        const std::string answer = sessions[s]->send(envelope_of(o));
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - sent)
                            .count();
        o.traded = ends_with(answer, trade_response(o.amount, o.buy));
        EXPECT_TRUE(o.traded) << "session " << s << " (node" << kWriterNodes[s]
                              << "): the order at " << time << " was not traded after " << ms
                              << " ms: " << answer;
        orders[s].push_back(o);
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();

  std::vector<Order> all;
  for (const auto& session : orders) all.insert(all.end(), session.begin(), session.end());
  ASSERT_EQ(all.size(), sessions.size() * kWriterOrders);
  // Without conflicts the load would not have tested their retry.
  EXPECT_GT(conflicts() - conflicts_before, 0) << "no order met another's at COMMIT";
  for (int node = 1; node <= 3; ++node) check_books(node, books, all);
  expect_nodes_agree();
}

// The failover: sessions through the proxy, two per account, racing each other's bot guard with
// orders at shared times. The node behind the proxy is killed while orders are in flight, and
// started again while the sessions go on writing on the node that took over.
constexpr int kSessionAccount[] = {0, 0, 1, 1};
constexpr int kAccounts = 2;
constexpr int kOrdersBeforeKill = 15;  // per session
constexpr int kOrdersAfterRejoin = 10;

TEST_F(Galera, KilledWriterNodeFailsOverAndRejoinsWithEveryOrderOnceOnEveryNode) {
  const long kKrw = 100000, kCoins = 100, kStock = 1000;
  const int proxy = cluster_->proxy_port();
  Books books = open_books(proxy, kAccounts, kKrw, kCoins, kStock);
  const int writer = cluster_->proxy_node();
  ASSERT_GT(writer, 0);

  std::vector<std::unique_ptr<ServerProcess>> sessions;
  std::vector<int> siblings;
  std::map<int, int> per_account;
  for (int account : kSessionAccount) {
    sessions.push_back(signed_in(proxy, books.names[account]));
    siblings.push_back(per_account[account]++);
  }
  const int session_count = static_cast<int>(sessions.size());

  std::atomic<int> sent{0}, done{0};
  std::atomic<bool> go{false}, rejoined{false};
  std::thread operator_thread([&] {
    while (sent.load() < session_count * kOrdersBeforeKill && !HasFailure()) {
      std::this_thread::yield();
    }
    // Kill it with an order in flight, so that one is cut off before or in its COMMIT.
    while (sent.load() == done.load() && !HasFailure()) std::this_thread::yield();
    cluster_->kill(writer);
    cluster_->start(writer);
    rejoined = true;
  });
  std::vector<std::vector<Order>> orders(sessions.size());
  std::vector<int> rejoined_at(sessions.size(), -1);  // the first order sent after the rejoin
  std::vector<std::thread> threads;
  for (int s = 0; s < session_count; ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      const int account = kSessionAccount[s];
      int stop_at = -1;
      for (int i = 0; stop_at < 0 || i < stop_at; ++i) {
        if (stop_at < 0 && rejoined.load()) {
          stop_at = i + kOrdersAfterRejoin;
          rejoined_at[s] = i;
        }
        // A failure (a session that stopped answering) ends the load; the kill and the restart
        // still run, for the cluster's sake.
        if (HasFailure()) break;
        // Even orders take a time all sessions of the account share, so they race on the bot
        // guard; odd ones a time of their own. Sides come in pairs.
        const uint64_t time = i % 2 == 0 ? 1 + i : 1000000 * (siblings[s] + 1) + i;
        const uint64_t amount = 1 + (i + s) % 3;
        Order o = order_of(account, (i / 2) % 2 == 0 ? envelopes::buy(kSOL, amount, time)
                                                     : envelopes::sell(kSOL, amount, time));
        ++sent;
        const std::string answer = sessions[s]->send(envelope_of(o));
        ++done;
        o.traded = ends_with(answer, trade_response(o.amount, o.buy));
        orders[s].push_back(o);
        // Paced, so that the node catching up is not starved on a small machine; the pace
        // bounds how many orders pile up while it rejoins.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  operator_thread.join();
  ASSERT_FALSE(HasFailure());

  std::vector<Order> all;
  size_t traded = 0;
  for (int s = 0; s < session_count; ++s) {
    for (const Order& o : orders[s]) traded += o.traded;
    all.insert(all.end(), orders[s].begin(), orders[s].end());
    // Orders at a time of their own (odd ones) are affordable: after the failover they trade.
    ASSERT_GE(rejoined_at[s], 0);
    for (size_t i = static_cast<size_t>(rejoined_at[s]); i < orders[s].size(); ++i) {
      EXPECT_TRUE(i % 2 == 0 || orders[s][i].traded)
          << "session " << s << " did not trade its order " << i << " after the failover";
    }
  }
  EXPECT_GT(traded, static_cast<size_t>(session_count * kOrdersBeforeKill / 2));
  std::vector<long> krw_of;
  for (int node = 1; node <= 3; ++node) {
    std::vector<long> krw = check_books(node, books, all).krw;
    if (node == 1) krw_of = krw;
  }
  expect_nodes_agree();

  // Every session is still the one that signed in before the kill.
  ASSERT_EQ(krw_of.size(), static_cast<size_t>(kAccounts));
  for (int s = 0; s < session_count; ++s) {
    const int a = kSessionAccount[s];
    EXPECT_EQ(sessions[s]->send(envelopes::my_info()),
              "idx: " + books.ids[a] + "\nUsername: " + books.names[a] +
                  "\nAmount: " + std::to_string(krw_of[a]) + "\n");
  }
}

// Sessions moved to a backup while their orders commit. The node behind the proxy blocks commits
// for a backup (BACKUP STAGE BLOCK_COMMIT, as a backup or the donor of a state transfer does):
// it leaves the Synced state and holds every COMMIT that reaches it, after the cluster has
// ordered its write set, so the proxy cuts its sessions while COMMITs wait there. Each session
// reconnects to the node that took over and settles its interrupted order there; the held node is
// then released (its held COMMITs go on) or killed. Each round takes out the node the proxy uses at
// the time, until a COMMIT was held in a round of each kind (every order locks the coin's market
// row, so one session at a time reaches its COMMIT). Every order is affordable and has a
// time of its own, so every answer must be its trade, and the log and the books must say the same.
enum class TakeOut { kRelease, kKill };
struct TakeOutCase {
  const char* name;
  TakeOut after;
};
const TakeOutCase kTakeOuts[] = {{"released", TakeOut::kRelease}, {"killed", TakeOut::kKill}};
constexpr int kRoundsPerTakeOut = 5;  // at most: a round may catch no session in its COMMIT
constexpr int kMovedSessionAccount[] = {0, 0, 1, 2, 3, 4};
constexpr int kMovedAccounts = 5;

TEST_F(Galera, SessionsMovedToABackupWhileOrdersCommitAnswerWhatTheLogHolds) {
  const long kKrw = 10000000, kCoins = 1000, kStock = 1000000;
  const int proxy = cluster_->proxy_port();
  Books books = open_books(proxy, kMovedAccounts, kKrw, kCoins, kStock);
  std::vector<std::unique_ptr<ServerProcess>> sessions;
  for (int account : kMovedSessionAccount) {
    sessions.push_back(signed_in(proxy, books.names[account]));
  }
  constexpr size_t kSessions = std::size(kMovedSessionAccount);

  std::atomic<bool> stop{false};
  std::atomic<int> answered[kSessions] = {};
  std::vector<std::vector<Order>> orders(kSessions);
  std::vector<std::thread> threads;
  for (size_t s = 0; s < kSessions; ++s) {
    threads.emplace_back([&, s] {
      for (int i = 0; !stop.load() && !HasFailure(); ++i) {
        const uint64_t time = 1000000 * (s + 1) + i, amount = 1 + (i + s) % 3;
        Order o = order_of(kMovedSessionAccount[s], (i / 2) % 2 == 0
                                                        ? envelopes::buy(kSOL, amount, time)
                                                        : envelopes::sell(kSOL, amount, time));
        const std::string answer = sessions[s]->send(envelope_of(o));
        o.traded = ends_with(answer, trade_response(o.amount, o.buy));
        EXPECT_TRUE(o.traded) << "session " << s << ": the order at " << time << " answered "
                              << answer;
        orders[s].push_back(o);
        ++answered[s];
        // Paced, so that a node catching up is not starved on a small machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  // Returns once every session has answered `more` orders after this call, or the test failed.
  auto await_answers = [&](int more) {
    std::vector<int> target;
    for (size_t s = 0; s < kSessions; ++s) target.push_back(answered[s].load() + more);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (size_t s = 0; s < kSessions && !HasFailure(); ++s) {
      while (answered[s].load() < target[s] && !HasFailure()) {
        if (std::chrono::steady_clock::now() > deadline) {
          ADD_FAILURE() << "session " << s << " stopped answering";
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  };

  const std::string held_commits =
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER='korvane' AND INFO='COMMIT'";
  for (const TakeOutCase& c : kTakeOuts) {
    SCOPED_TRACE(c.name);
    long caught = 0;
    for (int round = 0; round < kRoundsPerTakeOut && caught == 0 && !HasFailure(); ++round) {
      await_answers(3);
      const int writer = cluster_->proxy_node();
      ASSERT_GT(writer, 0);
      {
        TestDb held(TestDb::kRoot, cluster_->socket(writer));
        // A read that waited for the cluster's writes would wait for the lock's end.
        held.exec("SET SESSION wsrep_sync_wait=0");
        held.exec("BACKUP STAGE START");
        held.exec("BACKUP STAGE BLOCK_COMMIT");
        cluster_->wait_proxy_sees(writer, false);
        // The cut sessions' statements stay held on the node, their COMMITs among them.
        caught = as_long(held.value(held_commits));
        std::printf("%s: node%d taken out with %ld COMMITs held\n", c.name, writer, caught);
        await_answers(2);
        if (c.after == TakeOut::kKill) cluster_->kill(writer);
      }
      if (c.after == TakeOut::kKill) {
        cluster_->start(writer);
      } else {
        cluster_->wait_proxy_sees(writer, true);
      }
    }
    EXPECT_GT(caught, 0) << "no round held a session's COMMIT";
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  ASSERT_FALSE(HasFailure());

  std::vector<Order> all;
  for (const auto& session : orders) all.insert(all.end(), session.begin(), session.end());
  for (int node = 1; node <= 3; ++node) check_books(node, books, all);
  expect_nodes_agree();
}

// The old node's COMMIT arrives late, after the session has moved to another node and settled
// there that the order was not applied. A proxy in front of the server holds the order's COMMIT
// on its way to node1 and cuts the server off, then sends the reconnect to node2 (a failover
// that node1 does not know about: its transaction stays open, holding its rows). The rerun on
// node2 waits, at its stock write, for a market row lock of the test's; meanwhile the held COMMIT
// is sent on. It must not commit: the session was told, or is about to be told, that its order
// was made by the rerun.
// A locking read on node2 waits for nothing of node1's, so only a write the cluster orders
// before the old COMMIT (the proof's fence) can make sure.
TEST_F(Galera, ACommitHeldOnTheOldNodeNeverLandsAfterTheNewNodeSaidNotApplied) {
  const long kKrw = 100000, kCoins = 100, kStock = 1000;
  Books books = open_books(cluster_->proxy_port(), 1, kKrw, kCoins, kStock);
  FaultProxy proxy;
  proxy.forward_to(cluster_->socket(1));
  auto session = std::make_unique<ServerProcess>(proxy.env());
  session->read_until_prompt();
  ASSERT_EQ(session->send(envelopes::signin(books.names[0], "pw")), "");

  TestDb node1(TestDb::kRoot, cluster_->socket(1)), node2(TestDb::kRoot, cluster_->socket(2));
  node2.exec("START TRANSACTION");
  node2.rows("SELECT qty FROM kv_coininfo WHERE symbol='SOL' FOR UPDATE");
  proxy.arm_at("COMMIT", FaultProxy::Cut::kDelayed);
  proxy.forward_to(cluster_->socket(2));
  Order order = order_of(0, envelopes::buy(kSOL, 2, 77));
  std::string answer;
  std::thread client([&] { answer = session->send(envelope_of(order)); });
  // The old transaction waits on node1 for its COMMIT; the rerun on node2 for the market row.
  const bool rerun_waits =
      proxy.wait_until_holding() && wait_for_lock_wait_in(node2, "SELECT qty FROM kv_coininfo%");
  proxy.release();
  // The old transaction ends on node1 once its COMMIT has been answered, either way.
  wait_for_value(node1,
                 "SELECT COUNT(*) FROM information_schema.INNODB_TRX t JOIN "
                 "information_schema.PROCESSLIST p ON p.ID=t.trx_mysql_thread_id "
                 "WHERE p.USER='korvane'",
                 "0");
  node2.try_exec("ROLLBACK");  // undone already if the old COMMIT's write reached node2
  client.join();
  ASSERT_TRUE(rerun_waits);

  order.traded = ends_with(answer, trade_response(order.amount, order.buy));
  EXPECT_TRUE(order.traded) << answer;
  for (int node = 1; node <= 3; ++node) check_books(node, books, {order});
  expect_nodes_agree();
}

// The proxy sends new sessions only to a Synced node. One taken out of that state (desynced, as
// a donor is) is marked down like a dead one, and new sessions land on another node. Synced
// again it is eligible again, but the proxy does not fail back: it takes new sessions again once
// the node that took over in turn leaves.
TEST_F(Galera, ANodeThatIsNotSyncedTakesNoNewSessions) {
  const std::string state =
      "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
      "WHERE VARIABLE_NAME='WSREP_LOCAL_STATE_COMMENT'";
  auto desync = [&](int node, bool on) {
    cluster_->exec(node, std::string("SET GLOBAL wsrep_desync=") + (on ? "ON" : "OFF"));
    cluster_->wait_proxy_sees(node, !on);
  };
  const int front = cluster_->proxy_node();
  ASSERT_GT(front, 0);

  desync(front, true);
  EXPECT_EQ(cluster_->value(front, state), "Donor/Desynced");
  const int next = cluster_->proxy_node();
  EXPECT_NE(next, front);
  ASSERT_GT(next, 0);

  desync(front, false);
  EXPECT_EQ(cluster_->value(front, state), "Synced");
  EXPECT_EQ(cluster_->proxy_node(), next) << "the proxy failed back";

  desync(next, true);
  EXPECT_EQ(cluster_->proxy_node(), front);
  desync(next, false);
}

// A partition under load, each node on a host of its own: sessions of four accounts trade through
// the proxy while the node behind it is cut off from the other two (a minority of one) or, every
// other cycle, all three are cut off from one another (no majority anywhere); each cut is healed
// once it has taken effect, five cycles in all. A node without a majority stops serving, the proxy
// moves new sessions to a Synced node, the sessions that were on the cut node settle their orders
// on the majority, the nodes rejoin after the heal, and on every node every answer equals the log.
TEST_F(Galera, PartitionsUnderLoadAreToldAsTheyHappened) {
  if (!cluster_->on_hosts()) {
    GTEST_SKIP() << "a partition needs each node on a host of its own, and network namespaces "
                    "are not allowed here";
  }
  using Clock = std::chrono::steady_clock;
  constexpr int kAccounts = 4, kCycles = 5;
  const long kKrw = 100000000, kCoins = 1000, kStock = 100000;
  const int proxy = cluster_->proxy_port();
  Books books = open_books(proxy, kAccounts, kKrw, kCoins, kStock);
  std::vector<std::unique_ptr<ServerProcess>> sessions;
  for (int a = 0; a < kAccounts; ++a) {
    sessions.push_back(signed_in(proxy, books.names[a]));
    // Without a majority anywhere an order waits from the cut until the heal and the new primary
    // component (about 11 s here).
    sessions.back()->set_answer_timeout_ms(60000);
  }

  // Each session buys and sells 1 SOL in turn, each order with a time of its own, until told to
  // stop; a session that does not answer in time fails the test and ends the load.
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::vector<std::vector<Order>> orders(kAccounts);
  std::vector<double> longest(kAccounts, 0);  // seconds, the longest wait for one answer
  std::vector<std::thread> threads;
  for (int a = 0; a < kAccounts; ++a) {
    threads.emplace_back([&, a] {
      for (uint64_t i = 0; !stop.load() && !HasFailure(); ++i) {
        Order o = order_of(
            a, i % 2 == 0 ? envelopes::buy(kSOL, 1, 1 + i) : envelopes::sell(kSOL, 1, 1 + i));
        const Clock::time_point sent = Clock::now();
        const std::string answer = sessions[a]->send(envelope_of(o));
        longest[a] =
            std::max(longest[a], std::chrono::duration<double>(Clock::now() - sent).count());
        o.traded = ends_with(answer, trade_response(o.amount, o.buy));
        orders[a].push_back(o);
        ++answered;
      }
    });
  }
  // Waits until `more` orders have been answered (the sessions trade) or the load has ended.
  auto trading = [&](int more) {
    const int target = answered.load() + more;
    while (answered.load() < target && !HasFailure()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  };
  // Waits until the node's status variable reads `want`, for as long as a cluster's wait takes.
  auto until_status = [&](int node, const char* variable, const std::string& want) {
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(180);
    std::string got;
    while ((got = cluster_->status(node, variable)) != want) {
      if (Clock::now() > give_up) {
        ADD_FAILURE() << "node" << node << ": " << variable << " is " << got << ", not " << want;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  };

  double rejoin = 0;
  for (int cycle = 0; cycle < kCycles && !HasFailure(); ++cycle) {
    trading(2 * kAccounts);
    const bool no_majority = cycle % 2 == 1;
    const int front = cluster_->proxy_node();
    const std::vector<int> cut = no_majority ? std::vector<int>{1, 2, 3} : std::vector<int>{front};
    cluster_->cut(cut);
    for (int node : cut) until_status(node, "wsrep_cluster_status", "non-Primary");
    if (!no_majority) {
      // The majority goes on, and so do the sessions, through the proxy.
      cluster_->wait_proxy_sees(front, false);
      trading(kAccounts);
    }
    const Clock::time_point healed = Clock::now();
    cluster_->heal();
    for (int node = 1; node <= 3; ++node) until_status(node, "wsrep_local_state_comment", "Synced");
    rejoin = std::max(rejoin, std::chrono::duration<double>(Clock::now() - healed).count());
    for (int node = 1; node <= 3; ++node) cluster_->wait_proxy_sees(node, true);
  }
  trading(2 * kAccounts);
  stop = true;
  for (std::thread& t : threads) t.join();

  std::vector<Order> all;
  size_t traded = 0;
  for (const auto& session : orders) {
    all.insert(all.end(), session.begin(), session.end());
    for (const Order& o : session) traded += o.traded ? 1 : 0;
  }
  size_t logged = 0;
  for (int node = 1; node <= 3; ++node) logged = check_books(node, books, all).logged;
  expect_nodes_agree();
  std::cout << "partitions: " << kCycles << " cycles, " << all.size() << " orders answered, "
            << traded << " told traded, " << logged
            << " logged (on each node); longest wait for an answer "
            << *std::max_element(longest.begin(), longest.end()) << " s, longest rejoin " << rejoin
            << " s\n";
}

}  // namespace
