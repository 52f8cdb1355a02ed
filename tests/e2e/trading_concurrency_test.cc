// Many clients trading one coin at once, some of them on the same account. Each client is its own
// server process, as in a deployment, so the only thing keeping orders apart is the database.
// Whatever the interleaving, coins and KRW are neither made nor lost, nothing goes negative, and
// every account holds exactly what its trade log says it traded. The same holds when the database
// is stopped and started twice in the middle of the load: every session goes on in its own
// process, every answered order is in the log exactly once, and every logged order was answered.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/answers.h"
#include "support/db_control.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"
#include "support/trade_ledger.h"

namespace {

constexpr int kSOL = 3;
constexpr long kPrice = 100;
constexpr long kStartStock = 20;
// Two or three buys at most: sessions compete for it. Every price and fee here is a multiple of
// 25 and this is not, so no balance is ever 0, the display's value for a balance it cannot read.
constexpr long kStartKrw = 610;
constexpr long kStartCoins = 4;
constexpr int kOrdersPerSession = 40;
// Session i trades for account kSessionAccount[i]; accounts 0 and 1 have several sessions.
constexpr int kSessionAccount[] = {0, 0, 0, 1, 1, 2, 2};
constexpr int kAccounts = 3;

// Order i of a session. Even orders use a time shared by all sessions of the account, so those
// sessions race on the bot guard; odd orders use a time of their own. Sides come in pairs.
korvane::KorvaneInterface order(int session, int sibling, int i) {
  uint64_t time = i % 2 == 0 ? 1 + i : 1000 * (sibling + 1) + i;
  uint64_t amount = 1 + (i + session) % 3;
  return (i / 2) % 2 == 0 ? envelopes::buy(kSOL, amount, time)
                          : envelopes::sell(kSOL, amount, time);
}

// Runs the load of all sessions and checks what it left behind. The database is stopped and
// started `restarts` times while orders are in flight; the sessions go on through each.
void run_load(int restarts) {
  TestDb db;
  db.set_market("SOL", kPrice, kStartStock);

  std::vector<std::string> names, ids;
  {
    ServerProcess setup;
    setup.read_until_prompt();
    for (int a = 0; a < kAccounts; ++a) {
      names.push_back(unique_name("race"));
      setup.send(envelopes::signup(names.back(), "pw"));
      ids.push_back(std::to_string(db.account_id(names.back())));
      db.exec("UPDATE kv_uservault SET KRW_amount=" + std::to_string(kStartKrw) +
              ", SOL_amount=" + std::to_string(kStartCoins) + " WHERE acc_id=" + ids.back());
    }
  }

  std::vector<std::unique_ptr<ServerProcess>> sessions;
  std::vector<int> siblings;  // index of each session among those of its account
  std::map<int, int> per_account;
  for (int account : kSessionAccount) {
    sessions.push_back(signed_in_server(db, names[account]));
    siblings.push_back(per_account[account]++);
  }

  // Restart r comes once r / (restarts + 2) of all orders have been sent, so that half of them
  // come after the last. Orders wait while the database is down, so each restart cuts off those
  // in flight and holds up the rest.
  const int total = static_cast<int>(sessions.size()) * kOrdersPerSession;
  std::atomic<int> sent{0}, done{0};
  std::atomic<bool> go{false};
  std::thread restarter([&] {
    for (int r = 1; r <= restarts; ++r) {
      while (sent.load() < total * r / (restarts + 2)) std::this_thread::yield();
      while (sent.load() == done.load() && sent.load() < total) std::this_thread::yield();
      db_control::stop();
      db_control::start();
    }
  });
  std::vector<std::vector<SentOrder>> sent_by(sessions.size());
  std::vector<std::thread> threads;
  for (size_t s = 0; s < sessions.size(); ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      const int account = kSessionAccount[s];
      for (int i = 0; i < kOrdersPerSession; ++i) {
        korvane::KorvaneInterface request = order(static_cast<int>(s), siblings[s], i);
        ++sent;
        std::string answer = sessions[s]->send(request);
        ++done;
        const bool buy = request.has_event_buy();
        sent_by[s].push_back(
            {account, buy, buy ? request.event_buy().timestamp() : request.event_sell().timestamp(),
             buy ? request.event_buy().amount() : request.event_sell().amount(),
             answer.find("\"flag\"") == std::string::npos ? SentOrder::Told::kNotTraded
                                                          : SentOrder::Told::kTraded});
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();
  restarter.join();
  TestDb after;  // the first connection did not survive a restart
  std::vector<SentOrder> orders;
  for (const auto& session : sent_by) orders.insert(orders.end(), session.begin(), session.end());
  const LedgerCounts counts =
      check_ledger([&after](const std::string& q) { return after.rows(q); },
                   {"SOL", kPrice, ids, kStartKrw, kStartCoins, kStartStock}, orders);
  EXPECT_GT(counts.told_traded, 0u);
  ASSERT_EQ(counts.krw.size(), ids.size());

  // Every session is still the one signed in at the start, and reads its balance.
  for (size_t s = 0; s < sessions.size(); ++s) {
    const int a = kSessionAccount[s];
    EXPECT_EQ(sessions[s]->send(envelopes::my_info()),
              answers::my_info(ids[a], names[a], counts.krw[a]));
  }
}

TEST(TradingConcurrency, ParallelOrdersKeepCoinsBalancesAndLogInAgreement) { run_load(0); }

TEST(TradingConcurrency, TwoRestartsUnderLoadKeepEverySessionAndEveryOrderExactlyOnce) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  run_load(2);
}

// A buy waits for its coin's market row only where it writes the stock, and whatever another
// order did to the stock before then decides it: the buy prints the stock it met there and is
// refused, with the lines of a buy above the stock, when that stock is too small. One whose first
// read found too little stock waits for the row before refusing, so a sale about to commit
// still lets it trade. `other` is the other order's stock write, made while it holds the row.
TEST(TradingConcurrency, ABuyMeetsTheStockWhereItWritesIt) {
  TestDb db, locker, root{TestDb::kRoot};
  const struct {
    const char* what;
    long stock;         // before both orders
    const char* other;  // the other order's change of the stock
    long met;           // the stock the buy meets
  } cases[] = {
      {"a sale tops up a stock the buy found short", 0, "qty+1", 1},
      {"another buy takes the last coin the buy read", 1, "qty-1", 0},
      {"another buy leaves enough", 2, "qty-1", 1},
      {"the stock stays short", 0, "qty", 0},
  };
  const std::string name = unique_name("last");
  std::unique_ptr<ServerProcess> server = signed_in_server(db, name);
  const std::string acc = std::to_string(db.account_id(name));
  uint64_t time = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    db.set_market("SOL", kPrice, c.stock);
    const std::string trades = "SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc;
    const std::string before = db.value(trades);
    locker.exec("START TRANSACTION");
    locker.rows("SELECT qty FROM kv_coininfo WHERE symbol='SOL' FOR UPDATE");
    server->write_raw(envelopes::bytes_of(envelopes::buy(kSOL, 1, time++)));
    ASSERT_TRUE(wait_for_lock_waits(root, 1));
    locker.exec(std::string("UPDATE kv_coininfo SET qty=") + c.other + " WHERE symbol='SOL'");
    locker.exec("COMMIT");
    const bool traded = c.met >= 1;
    EXPECT_EQ(server->read_until_prompt(),
              traded ? answers::order("SOL", kPrice, c.met, 1, true, 125, acc)
                     : std::to_string(kPrice) + "\n" + std::to_string(c.met) + "\n");
    EXPECT_EQ(db.value("SELECT qty FROM kv_coininfo WHERE symbol='SOL'"),
              std::to_string(traded ? c.met - 1 : c.met));
    EXPECT_EQ(std::stol(db.value(trades)), std::stol(before) + (traded ? 1 : 0));
  }
}

}  // namespace
