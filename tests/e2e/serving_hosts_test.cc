// Serving from three hosts of their own behind HAProxy in TCP mode (scripts/serve-hosts): one
// host is lost while the korvane clients of four accounts trade through the proxy, killed at once
// or cut off the network. New connections go to a live host; the clients whose sessions were on
// the lost host say their connection was lost and settle the order they had sent, on a live host,
// then go on there; and every answer equals the trade log: nothing applied twice, nothing told
// wrong.
#include "support/serving_hosts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/envelopes.h"
#include "support/shell.h"
#include "support/test_db.h"
#include "support/trade_ledger.h"

namespace {

constexpr long kPrice = 100, kKrw = 100000000, kCoins = 1000000, kStock = 10000000;
constexpr int kAccounts = 4;
// Each client sends this many orders in one session, so that every client is still trading when
// the host is lost: the loss comes once the accounts have logged kTradesBeforeLoss trades.
constexpr int kOrders = 200;
constexpr int kTradesBeforeLoss = 150;
constexpr uint64_t kFirstTime = 1700000000;
// What a client says of its session on the lost host: lost during a request (then it settles the
// request and goes on), or found ended before the next one was sent (then it stops there).
constexpr char kLost[] = "korvane: the connection to the server was lost during the request\n";
constexpr char kEndedBefore[] =
    "korvane: the server had ended the session before this command, which was not sent";

struct Loss {
  const char* name;
  bool cut;  // cut off the network; else every process of the host killed
};

// How the client names an order it settles: "buy of SOL at 2023-11-14 22:13:20 UTC".
std::string order_words(bool buy, uint64_t time) {
  const time_t t = static_cast<time_t>(time);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return std::string(buy ? "buy" : "sell") + " of SOL at " + text;
}

// Order `i` of a client: buys and sells in turn, each with a time of its own and an amount that
// no other order of the session has, so that its trade can be told apart in what was printed.
SentOrder nth_order(int account, int i) {
  return {account, i % 2 == 0, kFirstTime + static_cast<uint64_t>(i), static_cast<uint64_t>(1 + i),
          SentOrder::Told::kUnknown};
}

// What each order of a client's run was told, from what the client printed: a settled order by
// the client's verdict, any other by its trade among the answers. An order with neither was
// refused when the client went on past it; after the last order answered, one that the client
// did not send when it found its session ended, and unknown when it stopped otherwise.
std::vector<SentOrder> told(const ClientRun& run, int account) {
  std::vector<SentOrder> orders;
  std::vector<bool> silent;  // neither settled nor answered with its trade
  int last_answered = -1;
  for (int i = 0; i < kOrders; ++i) {
    SentOrder o = nth_order(account, i);
    const std::string words = order_words(o.buy, o.time);
    const bool in_doubt = run.err.find("whether the " + words) != std::string::npos;
    if (run.err.find("applied: your history holds the " + words) != std::string::npos) {
      o.told = SentOrder::Told::kTraded;
    } else if (run.err.find("not applied: your history holds no " + words) != std::string::npos) {
      o.told = SentOrder::Told::kNotTraded;
    } else if (!in_doubt && run.out.find("\"amount\": \"" + std::to_string(o.amount) + "\"") !=
                                std::string::npos) {
      o.told = SentOrder::Told::kTraded;
    }
    silent.push_back(!in_doubt && o.told == SentOrder::Told::kUnknown);
    if (in_doubt || !silent.back()) last_answered = i;
    orders.push_back(o);
  }
  const bool went_on = run.status == 0 || run.status == 3;
  const bool not_sent = run.err.find(kEndedBefore) != std::string::npos;
  for (int i = 0; i < kOrders; ++i) {
    if (silent[i] && (went_on || not_sent || i < last_answered)) {
      orders[i].told = SentOrder::Told::kNotTraded;
    }
  }
  return orders;
}

int count_of(const std::string& text, const std::string& line) {
  int n = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
  return n;
}

class AServingHostLost : public ::testing::TestWithParam<Loss> {};

TEST_P(AServingHostLost, MovesNewSessionsAndItsClientsSettleWhatTheySent) {
  if (!namespaces_allowed()) {
    GTEST_SKIP() << "serving hosts of their own need network namespaces, not allowed here";
  }
  using Clock = std::chrono::steady_clock;
  TestDb db;
  db.set_market("SOL", kPrice, kStock);
  ServingHosts hosts;
  ASSERT_TRUE(hosts.ok());

  LedgerStart start{"SOL", kPrice, {}, kKrw, kCoins, kStock};
  std::vector<std::string> names;
  for (int a = 0; a < kAccounts; ++a) {
    names.push_back(unique_name("hosts"));
    ClientRun made = run_client({"--connect", hosts.address(), "-c", "signup " + names[a] + " pw"});
    ASSERT_EQ(made.status, 0) << made.err;
    start.ids.push_back(std::to_string(db.account_id(names[a])));
    db.exec("UPDATE korvane_db.kv_uservault SET KRW_amount=" + std::to_string(kKrw) +
            ", SOL_amount=" + std::to_string(kCoins) + " WHERE acc_id=" + start.ids[a]);
  }
  const std::string accounts =
      "(" + start.ids[0] + "," + start.ids[1] + "," + start.ids[2] + "," + start.ids[3] + ")";

  std::vector<ClientRun> runs(kAccounts);
  std::vector<std::thread> clients;
  for (int a = 0; a < kAccounts; ++a) {
    clients.emplace_back([&, a] {
      std::vector<std::string> args = {"--connect", hosts.address(), "-c",
                                       "signin " + names[a] + " pw"};
      for (int i = 0; i < kOrders; ++i) {
        const SentOrder o = nth_order(a, i);
        args.insert(args.end(),
                    {"-c", std::string(o.buy ? "buy" : "sell") + " sol " +
                               std::to_string(o.amount) + " --at " + std::to_string(o.time)});
      }
      runs[a] = run_client(args);
    });
  }
  // Every client is in the middle of its session: none has sent all its orders yet.
  wait_for_value(db,
                 "SELECT COUNT(*) >= " + std::to_string(kTradesBeforeLoss) +
                     " FROM korvane_db.kv_tradehistory WHERE acc_id IN " + accounts,
                 "1");
  // The host with the most sessions is lost (HAProxy spreads four over three: it has two).
  int lost = 1, sessions_lost = 0;
  for (int host = 1; host <= 3; ++host) {
    const int sessions = hosts.sessions(host);
    if (sessions > sessions_lost) lost = host, sessions_lost = sessions;
  }
  EXPECT_GT(sessions_lost, 0);
  if (GetParam().cut) {
    hosts.cut(lost);
  } else {
    hosts.kill(lost);
  }
  const Clock::time_point lost_at = Clock::now();
  hosts.wait_proxy_sees(lost, false);
  const double marked_down = std::chrono::duration<double>(Clock::now() - lost_at).count();
  // A new session now goes to a live host.
  const Clock::time_point connect = Clock::now();
  ClientRun fresh = run_client({"--connect", hosts.address(), "-c", "signin " + names[0] + " pw"});
  const double greeted = std::chrono::duration<double>(Clock::now() - connect).count();
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  for (std::thread& t : clients) t.join();

  std::vector<SentOrder> orders;
  int said_lost = 0;
  for (int a = 0; a < kAccounts; ++a) {
    SCOPED_TRACE("account " + std::to_string(a));
    // Each client's session on the lost host ended and the client said so: it settled the order
    // it had sent on a live host and went on there to the end, or it stopped before sending more.
    const int ended = count_of(runs[a].err, kLost) + count_of(runs[a].err, kEndedBefore);
    EXPECT_LE(ended, 1) << runs[a].err;
    // Exit status 1 for a session ended, 3 for an order settled as not applied, else 0.
    const int status = count_of(runs[a].err, kEndedBefore) == 1               ? 1
                       : count_of(runs[a].err, "korvane: not applied: ") == 1 ? 3
                                                                              : 0;
    EXPECT_EQ(runs[a].status, status) << runs[a].err;
    said_lost += ended;
    for (const SentOrder& o : told(runs[a], a)) orders.push_back(o);
  }
  EXPECT_EQ(said_lost, sessions_lost);
  const LedgerCounts counts =
      check_ledger([&](const std::string& q) { return db.rows(q); }, start, orders);
  std::cout << "serving host " << lost << " " << (GetParam().cut ? "cut off" : "killed") << " with "
            << sessions_lost << " session(s): " << counts.sent << " orders, " << counts.told_traded
            << " told traded, " << counts.told_not_traded << " told not traded, " << counts.unknown
            << " unknown, " << counts.logged << " logged; marked down after " << marked_down
            << " s, a new session greeted in " << greeted << " s\n";
}

INSTANTIATE_TEST_SUITE_P(Loss, AServingHostLost,
                         ::testing::Values(Loss{"Killed", false}, Loss{"CutOff", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
