// The database's worst day, end to end: stopped and started under a session and under an order
// that waits for a lock, gone for good, a server killed while its order waits for a row lock,
// lock wait timeouts, deadlocks and interrupted statements inside an order. A session outlives a
// restart as the same signed-in session; an order is applied whole and exactly once, or not at all;
// and the client sees one answer per request, that of the attempt that counted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/answers.h"
#include "support/db_control.h"
#include "support/envelopes.h"
#include "support/global_setting.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kBTC = 0;
constexpr long kStartingKrw = 100000000;
// The server's connection while a statement of it runs, from the live process list (the test's
// own connections sit idle meanwhile).
constexpr char kServerStatement[] =
    "SELECT ID FROM information_schema.PROCESSLIST WHERE USER='korvane' AND COMMAND='Query' "
    "AND ID<>CONNECTION_ID()";
// Waits for a row lock: going on now, and begun since the database started. Status counters are
// read live, unlike information_schema.INNODB_TRX, whose picture may be up to 100 ms old and so
// show the transactions of a test that has just ended. Nothing else runs while a test reads them.
constexpr char kWaitsNow[] = "INNODB_ROW_LOCK_CURRENT_WAITS";
constexpr char kWaitsEver[] = "INNODB_ROW_LOCK_WAITS";

// The value of a status counter, less `minus`.
std::string status_query(const std::string& counter, long minus = 0) {
  return "SELECT CAST(VARIABLE_VALUE AS SIGNED) - " + std::to_string(minus) +
         " FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME='" + counter + "'";
}

// Waits, up to `bound`, for the server process to end, leaving it for wait_exit() to collect.
bool ends_within(const ServerProcess& server, std::chrono::seconds bound) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, server.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// What a test holds locked for an order of the trader to wait on: the BTC market row (the order
// waits in its last round trip, which holds its writes and its commit), or the trader's place in
// the trade log (the order waits in its first round trip, to log the trade).
enum class Hold { kMarketRow, kTradeLog };

std::string hold_name(const ::testing::TestParamInfo<Hold>& info) {
  return info.param == Hold::kMarketRow ? "WhileItWrites" : "BeforeItWrites";
}

// A signed-in trader of BTC at price 100 with stock 50.
class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    db = std::make_unique<TestDb>();
    db->set_market("BTC", 100, 50);
    name = unique_name("fault");
    server = start_session();
    id = std::to_string(db->account_id(name));
    ASSERT_NE(id, "0");
  }

  // A test that stops the database leaves it running for the next, even when it fails half way.
  void TearDown() override {
    if (db_control::available()) db_control::start();
  }

  // A new server process signed in as the trader (signing up first when needed).
  std::unique_ptr<ServerProcess> start_session() { return signed_in_server(*db, name); }

  // What an executed buy of `amount` BTC at 100 prints, paying `krw`, the stock being `stock`
  // before it.
  std::string bought_answer(long amount, long krw, long stock = 50) {
    return answers::order("BTC", 100, stock, amount, true, krw, id);
  }

  // The account display of the trader holding `krw`.
  std::string info(long krw) { return answers::my_info(id, name, krw); }

  // Everything an order changes: the stock, the trader's KRW and BTC, and its trade log.
  std::vector<std::string> snapshot() {
    return {db->value("SELECT qty FROM kv_coininfo WHERE symbol='BTC'"),
            db->value("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + id),
            db->value("SELECT BTC_amount FROM kv_uservault WHERE acc_id=" + id),
            db->value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + id)};
  }

  // The snapshot after buys of `coins` BTC in `trades` trades, from the start.
  std::vector<std::string> bought(long coins, long trades) {
    return {std::to_string(50 - coins), std::to_string(kStartingKrw - 125 * coins),
            std::to_string(coins), std::to_string(trades)};
  }

  // Opens a transaction on `locker` holding what an order of the trader needs at one step.
  void hold(TestDb& locker, Hold what) {
    locker.exec("START TRANSACTION");
    if (what == Hold::kMarketRow) {
      locker.rows("SELECT qty FROM kv_coininfo WHERE symbol='BTC' FOR UPDATE");
    } else {
      // Under REPEATABLE READ this locks the gap where the trader's next trade would go.
      locker.rows("SELECT id FROM kv_tradehistory WHERE acc_id=" + id + " FOR UPDATE");
    }
  }

  std::unique_ptr<TestDb> db;
  std::unique_ptr<ServerProcess> server;
  std::string name, id;
};

TEST_F(Faults, AnOrderSentWhileTheDatabaseIsDownWaitsForItAndTheSessionGoesOn) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  ASSERT_EQ(server->send(envelopes::buy(kBTC, 2, 1)), bought_answer(2, 250));

  db_control::stop();
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 1, 2)));
  db_control::start();
  EXPECT_EQ(server->read_until_prompt(), bought_answer(1, 125, 48));
  // Still signed in, and the balance is read from the database again.
  EXPECT_EQ(server->send(envelopes::my_info()), info(kStartingKrw - 375));
  db = std::make_unique<TestDb>();
  EXPECT_EQ(snapshot(), bought(3, 2));
}

TEST_F(Faults, SignInAndSignUpRightAfterARestartAnswerAsUsual) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  ServerProcess other;
  ASSERT_EQ(other.read_until_prompt(), "");

  // Both sessions lose their connection while idle; the next request of each finds out.
  db_control::stop();
  db_control::start();
  EXPECT_EQ(other.send(envelopes::signin(name, "pw")), "");
  EXPECT_EQ(other.send(envelopes::my_info()), info(kStartingKrw));
  EXPECT_EQ(server->send(envelopes::my_info()), info(kStartingKrw));

  db_control::stop();
  db_control::start();
  const std::string newcomer = unique_name("after");
  const std::string answer = other.send(envelopes::signup(newcomer, "pw"));
  db = std::make_unique<TestDb>();
  const long new_id = db->account_id(newcomer);
  ASSERT_NE(new_id, 0);
  EXPECT_EQ(answer, answers::signup(newcomer, new_id));
  EXPECT_EQ(db->value("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + std::to_string(new_id)),
            std::to_string(kStartingKrw));
}

TEST_F(Faults, TheDatabaseGoneForGoodEndsTheSession) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  // A build whose reconnect bound is 2 s instead of 30: the bound is a build setting.
  server = signed_in_server(*db, name, {}, KORVANE_SHORT_RECONNECT_SERVER_PATH);
  db_control::stop();
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 1, 1)));
  // The server tries to reconnect for its bound before it gives up.
  ASSERT_TRUE(ends_within(*server, std::chrono::seconds(90)));
  EXPECT_EQ(server->read_to_end(), "[MySQL] Connection Error\n");
  EXPECT_EQ(server->wait_exit(), 255);
}

TEST_F(Faults, AnOrderCutOffByARestartRunsAgainAndTradesOnce) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  {
    TestDb locker, root(TestDb::kRoot);
    hold(locker, Hold::kTradeLog);
    server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
    ASSERT_TRUE(wait_for_value(root, status_query(kWaitsNow), "1"));
    // The order has moved stock and balances and waits to log the trade: the stop undoes that.
    db_control::stop();
  }
  db_control::start();
  EXPECT_EQ(server->read_until_prompt(), bought_answer(2, 250));
  db = std::make_unique<TestDb>();
  EXPECT_EQ(snapshot(), bought(2, 1));
}

class KilledServer : public Faults, public ::testing::WithParamInterface<Hold> {};

TEST_P(KilledServer, WhileItsOrderWaitsForALockLeavesItWholeOrNotAtAll) {
  const auto before = snapshot();
  TestDb locker, root(TestDb::kRoot);
  hold(locker, GetParam());
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  ASSERT_TRUE(wait_for_value(root, status_query(kWaitsNow), "1"));
  const std::string connection = root.value(kServerStatement);

  kill(server->pid(), SIGKILL);
  EXPECT_EQ(server->wait_exit(), 128 + SIGKILL);
  locker.exec("ROLLBACK");
  // The database ends the dead process's connection, and with it its transaction.
  ASSERT_TRUE(wait_for_value(
      root, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID=" + connection, "0"));
  if (GetParam() == Hold::kTradeLog) {
    // Killed while its first round trip waited, before its writes were sent: nothing of it.
    EXPECT_EQ(snapshot(), before);
  } else {
    // The writes and the commit had reached the database in one batch, which it runs to its end
    // once the lock is free: the order is whole, though nobody was told.
    const std::vector<std::string> traded = {"48", "99999750", "2", "1"};
    EXPECT_TRUE(snapshot() == before || snapshot() == traded)
        << "half an order: " << ::testing::PrintToString(snapshot());
  }

  // Nothing of it is left locked either.
  auto next = start_session();
  EXPECT_EQ(next->send(envelopes::buy(kBTC, 1, 2)),
            bought_answer(1, 125, std::stol(snapshot()[0])));
}

INSTANTIATE_TEST_SUITE_P(Faults, KilledServer, ::testing::Values(Hold::kMarketRow, Hold::kTradeLog),
                         hold_name);

// A statement of the order interrupted while it waits for a lock (as a Galera node interrupts one
// when another node's write aborts its transaction): the order runs again and trades once.
class InterruptedOrder : public Faults, public ::testing::WithParamInterface<Hold> {};

TEST_P(InterruptedOrder, RunsAgainAndTradesOnce) {
  TestDb locker, root(TestDb::kRoot);
  hold(locker, GetParam());
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  ASSERT_TRUE(wait_for_value(root, status_query(kWaitsNow), "1"));
  root.exec("KILL QUERY " + root.value(kServerStatement));
  locker.exec("ROLLBACK");
  EXPECT_EQ(server->read_until_prompt(), bought_answer(2, 250));
  EXPECT_EQ(snapshot(), bought(2, 1));
}

INSTANTIATE_TEST_SUITE_P(Faults, InterruptedOrder,
                         ::testing::Values(Hold::kMarketRow, Hold::kTradeLog), hold_name);

// A trader session whose waits for a row lock give up after 1 s.
class LockWaitTimeout : public Faults {
 protected:
  void SetUp() override {
    Faults::SetUp();
    if (HasFatalFailure()) return;
    // Connections copy the setting when they open: only the session started here waits 1 s.
    GlobalSetting short_waits("innodb_lock_wait_timeout", "1");
    impatient = start_session();
  }

  std::unique_ptr<ServerProcess> impatient;
};

TEST_F(LockWaitTimeout, TheOrderRunsAgainAndTradesOnceTheLockIsFree) {
  TestDb locker, root(TestDb::kRoot);
  const long waits = std::stol(root.value(status_query(kWaitsEver)));
  hold(locker, Hold::kTradeLog);
  impatient->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  // The first attempt times out; the next one waits again.
  ASSERT_TRUE(wait_for_value(root, status_query(kWaitsEver, waits), "2"));
  ASSERT_TRUE(wait_for_value(root, status_query(kWaitsNow), "1"));
  locker.exec("ROLLBACK");
  EXPECT_EQ(impatient->read_until_prompt(), bought_answer(2, 250));
  EXPECT_EQ(snapshot(), bought(2, 1));
}

TEST_F(LockWaitTimeout, ToTheLastAttemptRefusesTheOrderWhole) {
  TestDb locker, root(TestDb::kRoot);
  const auto before = snapshot();
  long waits = std::stol(root.value(status_query(kWaitsEver)));
  hold(locker, Hold::kTradeLog);
  // Five attempts, each waiting in vain; the echoed updates of the undone order are not shown.
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 1)), "100\n50\n");
  EXPECT_EQ(root.value(status_query(kWaitsEver, waits)), "5");
  EXPECT_EQ(impatient->send(envelopes::sell(kBTC, 1, 2)), "");  // nothing to sell yet
  locker.exec("ROLLBACK");

  waits = std::stol(root.value(status_query(kWaitsEver)));
  // Held where the stock is written, after the checks: the market lines as for a refusal.
  hold(locker, Hold::kMarketRow);
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 3)), "100\n50\n");
  EXPECT_EQ(root.value(status_query(kWaitsEver, waits)), "5");
  locker.exec("ROLLBACK");
  EXPECT_EQ(snapshot(), before);

  // The session goes on normally.
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 4)), bought_answer(2, 250));
}

TEST_F(Faults, ADeadlockedOrderRunsAgainAndTradesOnce) {
  TestDb locker, root(TestDb::kRoot);
  const long deadlocks = std::stol(root.value(status_query("INNODB_DEADLOCKS")));
  // The database rolls back the lighter of two deadlocked transactions: make the order lighter.
  locker.exec("START TRANSACTION");
  locker.exec(
      "INSERT INTO kv_addressbook WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 200) SELECT NULL, 0, 'BTC', 'ballast', '1', i FROM n");
  locker.rows("SELECT id FROM kv_tradehistory WHERE acc_id=" + id + " FOR UPDATE");
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  ASSERT_TRUE(wait_for_value(root, status_query(kWaitsNow), "1"));
  // The order holds the trader's vault row and waits for the log; now the log's holder asks for
  // the vault row, and gets it once the order is undone. The order's next attempt waits for it.
  EXPECT_EQ(locker.try_exec("SELECT acc_id FROM kv_uservault WHERE acc_id=" + id + " FOR UPDATE"),
            0u);
  EXPECT_EQ(root.value(status_query("INNODB_DEADLOCKS", deadlocks)), "1");
  locker.exec("ROLLBACK");
  EXPECT_EQ(server->read_until_prompt(), bought_answer(2, 250));
  EXPECT_EQ(snapshot(), bought(2, 1));
}

}  // namespace
