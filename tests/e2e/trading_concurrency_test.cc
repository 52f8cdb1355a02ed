// Many clients trading one coin at once, some of them on the same account. Each client is its own
// server process, as in a deployment, so the only thing keeping orders apart is the database.
// Whatever the interleaving, coins and KRW are neither made nor lost, nothing goes negative, and
// every account holds exactly what its trade log says it traded.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

constexpr int kSOL = 3;
constexpr long kPrice = 100;
constexpr long kStartStock = 20;
constexpr long kStartKrw = 600;  // two or three buys at most: sessions compete for it
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

long as_long(const std::string& s) { return s.empty() ? 0 : std::stol(s); }

TEST(TradingConcurrency, ParallelOrdersKeepCoinsBalancesAndLogInAgreement) {
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
    sessions.push_back(std::make_unique<ServerProcess>());
    sessions.back()->read_until_prompt();
    ASSERT_EQ(sessions.back()->send(envelopes::signin(names[account], "pw")), "");
    siblings.push_back(per_account[account]++);
  }

  std::atomic<bool> go{false};
  std::vector<int> responses(sessions.size(), 0);
  std::vector<std::thread> threads;
  for (size_t s = 0; s < sessions.size(); ++s) {
    threads.emplace_back([&, s] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kOrdersPerSession; ++i) {
        std::string answer = sessions[s]->send(order(static_cast<int>(s), siblings[s], i));
        if (answer.find("\"flag\"") != std::string::npos) ++responses[s];
      }
    });
  }
  go = true;
  for (std::thread& t : threads) t.join();

  long stock = as_long(db.value("SELECT qty FROM kv_coininfo WHERE symbol='SOL'"));
  EXPECT_GE(stock, 0);
  long coins_everywhere = stock;
  size_t logged = 0;
  for (int a = 0; a < kAccounts; ++a) {
    SCOPED_TRACE("account " + std::to_string(a));
    auto vault =
        db.rows("SELECT KRW_amount, SOL_amount FROM kv_uservault WHERE acc_id=" + ids[a])[0];
    long krw = as_long(vault[0]), coins = as_long(vault[1]);
    EXPECT_GE(krw, 0);
    EXPECT_GE(coins, 0);
    coins_everywhere += coins;

    long expect_krw = kStartKrw, expect_coins = kStartCoins;
    std::set<std::tuple<std::string, std::string>> seen;  // side and time
    auto trades = db.rows(
        "SELECT type, amount, total_price, trade_time FROM kv_tradehistory WHERE symbol='SOL' "
        "AND acc_id=" +
        ids[a]);
    for (const auto& row : trades) {
      long amount = as_long(row[1]), value = as_long(row[2]), fee = value * 25 / 100;
      EXPECT_EQ(value, kPrice * amount);
      bool buy = row[0] == "1";
      expect_krw += buy ? -(value + fee) : value - fee;
      expect_coins += buy ? amount : -amount;
      EXPECT_TRUE(seen.emplace(row[0], row[3]).second)
          << "two trades of one side at " << row[3] << " passed the bot guard";
    }
    EXPECT_EQ(krw, expect_krw) << "KRW differs from what the trade log says";
    EXPECT_EQ(coins, expect_coins) << "coins differ from what the trade log says";
    logged += trades.size();
  }
  EXPECT_EQ(coins_everywhere, kStartStock + kAccounts * kStartCoins)
      << "stock plus holdings changed";
  // Every logged trade was answered, and only those; at least the first order got through.
  int answered = 0;
  for (int n : responses) answered += n;
  EXPECT_EQ(static_cast<size_t>(answered), logged);
  EXPECT_GT(logged, 0u);
}

}  // namespace
