// The database's worst day, end to end: stopped and started under a session, a server killed while
// its order waits for a row lock, lock wait timeouts and deadlocks inside an order. The server
// keeps answering with its prompt, and an order is applied whole or not at all.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "support/db_control.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

constexpr int kBTC = 0;
constexpr char kLockWaits[] =
    "SELECT COUNT(*) FROM information_schema.INNODB_TRX WHERE trx_state='LOCK WAIT'";
constexpr char kLockWaiter[] =
    "SELECT trx_mysql_thread_id FROM information_schema.INNODB_TRX WHERE trx_state='LOCK WAIT'";

std::string trade_response(uint64_t price, uint64_t amount, bool buy) {
  return "{\n \"symbol\": \"BTC\",\n \"coin_cur_price\": \"" + std::to_string(price) +
         "\",\n \"amount\": \"" + std::to_string(amount) + "\",\n \"total_price\": \"" +
         std::to_string(price * amount) + "\",\n \"flag\": " + (buy ? "true" : "false") + "\n}\n\n";
}

// What a test holds locked for an order of the trader to wait on: the BTC market row (the order
// waits before it writes anything), or the trader's place in the trade log (the order has moved
// stock and balances and waits to log the trade).
enum class Hold { kMarketRow, kTradeLog };

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

  // A new server process signed in as the trader (signing up first when needed).
  std::unique_ptr<ServerProcess> start_session() {
    auto session = std::make_unique<ServerProcess>();
    EXPECT_EQ(session->read_until_prompt(), "");
    if (db->account_id(name) == 0) session->send(envelopes::signup(name, "pw"));
    EXPECT_EQ(session->send(envelopes::signin(name, "pw")), "");
    return session;
  }

  // What an executed buy of `amount` BTC prints before its response.
  std::string buy_lines(long amount, long stock = 50) {
    long value = 100 * amount;
    return "100\n" + std::to_string(stock) + "\nUPDATE kv_uservault SET BTC_amount=BTC_amount+" +
           std::to_string(amount) + " WHERE acc_id=" + id +
           "\nUPDATE kv_uservault SET KRW_amount=KRW_amount-" + std::to_string(value + value / 4) +
           " WHERE acc_id=" + id + "\n";
  }

  // Everything an order changes: the stock, the trader's KRW and BTC, and its trade log.
  std::vector<std::string> snapshot() {
    return {db->value("SELECT qty FROM kv_coininfo WHERE symbol='BTC'"),
            db->value("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + id),
            db->value("SELECT BTC_amount FROM kv_uservault WHERE acc_id=" + id),
            db->value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + id)};
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

TEST_F(Faults, StoppedDatabaseFailsRequestsCleanlyAndANewProcessWorksAfterTheRestart) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  ASSERT_EQ(server->send(envelopes::buy(kBTC, 2, 1)), buy_lines(2) + trade_response(100, 2, true));
  const auto before = snapshot();

  db_control::stop();
  // Each request is answered as a refusal of it looks, and the prompt follows.
  EXPECT_EQ(server->send(envelopes::buy(kBTC, 1, 2)), "");
  EXPECT_EQ(server->send(envelopes::sell(kBTC, 1, 3)), "");
  EXPECT_EQ(server->send(envelopes::history(kBTC, 1)), "");
  EXPECT_EQ(server->send(envelopes::add_address(kBTC, "rAddr", "1")), "");
  EXPECT_EQ(server->send(envelopes::modify_address(-1, "rNew", "rOld")), "");
  EXPECT_EQ(server->send(envelopes::signup(unique_name("down"), "pw")), "");
  // The display shows the session; the balance it cannot read shows as 0.
  EXPECT_EQ(server->send(envelopes::my_info()),
            "idx: " + id + "\nUsername: " + name + "\nAmount: 0\n");
  EXPECT_EQ(server->send(envelopes::deposit(kBTC, "rAddr")), "Hello handle_sell\n");
  db_control::start();

  // The connection lives as long as the process, so this one stays broken, quietly.
  EXPECT_EQ(server->send(envelopes::buy(kBTC, 1, 4)), "");
  EXPECT_EQ(server->send(envelopes::signout()), "");
  db = std::make_unique<TestDb>();
  EXPECT_EQ(snapshot(), before);

  auto fresh = start_session();
  EXPECT_EQ(fresh->send(envelopes::buy(kBTC, 1, 5)),
            buy_lines(1, 48) + trade_response(100, 1, true));
}

TEST_F(Faults, DatabaseStoppedWhileAnOrderWaitsLeavesNoHalfOrder) {
  if (!db_control::available()) GTEST_SKIP() << db_control::unavailable_reason();
  const auto before = snapshot();
  {
    TestDb locker, root(TestDb::kRoot);
    hold(locker, Hold::kTradeLog);
    server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
    ASSERT_TRUE(wait_for_value(root, kLockWaits, "1"));
    db_control::stop();
  }
  // The order had echoed and run its updates; it ends there, without a response.
  EXPECT_EQ(server->read_until_prompt(), buy_lines(2));
  db_control::start();
  db = std::make_unique<TestDb>();
  EXPECT_EQ(snapshot(), before);
}

class KilledServer : public Faults, public ::testing::WithParamInterface<Hold> {};

TEST_P(KilledServer, WhileItsOrderWaitsForALockLeavesNoTrace) {
  const auto before = snapshot();
  TestDb locker, root(TestDb::kRoot);
  hold(locker, GetParam());
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  ASSERT_TRUE(wait_for_value(root, kLockWaits, "1"));
  const std::string connection = root.value(kLockWaiter);

  kill(server->pid(), SIGKILL);
  EXPECT_EQ(server->wait_exit(), 128 + SIGKILL);
  locker.exec("ROLLBACK");
  // The database ends the dead process's connection, and with it its transaction.
  ASSERT_TRUE(wait_for_value(
      root, "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID=" + connection, "0"));
  EXPECT_EQ(snapshot(), before);

  // Nothing of it is left locked either.
  auto next = start_session();
  EXPECT_EQ(next->send(envelopes::buy(kBTC, 2, 1)), buy_lines(2) + trade_response(100, 2, true));
}

INSTANTIATE_TEST_SUITE_P(Faults, KilledServer, ::testing::Values(Hold::kMarketRow, Hold::kTradeLog),
                         [](const auto& info) {
                           return info.param == Hold::kMarketRow ? "BeforeItWrites"
                                                                 : "AfterItWrites";
                         });

TEST_F(Faults, LockWaitTimeoutRefusesTheOrderWhole) {
  TestDb root(TestDb::kRoot);
  const std::string timeout = root.value("SELECT @@GLOBAL.innodb_lock_wait_timeout");
  // Connections copy the setting when they open: only the session started below waits 1 s.
  root.exec("SET GLOBAL innodb_lock_wait_timeout=1");
  auto impatient = start_session();
  root.exec("SET GLOBAL innodb_lock_wait_timeout=" + timeout);
  const auto before = snapshot();

  TestDb locker;
  hold(locker, Hold::kTradeLog);
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 1)), buy_lines(2));
  EXPECT_EQ(impatient->send(envelopes::sell(kBTC, 1, 2)), "");  // nothing to sell yet
  locker.exec("ROLLBACK");
  hold(locker, Hold::kMarketRow);
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 3)), "");
  locker.exec("ROLLBACK");
  EXPECT_EQ(snapshot(), before);

  // The session goes on normally.
  EXPECT_EQ(impatient->send(envelopes::buy(kBTC, 2, 4)),
            buy_lines(2) + trade_response(100, 2, true));
}

TEST_F(Faults, DeadlockRefusesTheOrderWhole) {
  const auto before = snapshot();
  TestDb locker, root(TestDb::kRoot);
  // The database rolls back the lighter of two deadlocked transactions: make the order lighter.
  locker.exec("START TRANSACTION");
  locker.exec(
      "INSERT INTO kv_addressbook WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 200) SELECT NULL, 0, 'BTC', 'ballast', '1', i FROM n");
  locker.rows("SELECT id FROM kv_tradehistory WHERE acc_id=" + id + " FOR UPDATE");
  server->write_raw(envelopes::bytes_of(envelopes::buy(kBTC, 2, 1)));
  ASSERT_TRUE(wait_for_value(root, kLockWaits, "1"));
  // The order holds the trader's vault row and waits for the log; now the log's holder asks for
  // the vault row.
  EXPECT_EQ(locker.try_exec("SELECT acc_id FROM kv_uservault WHERE acc_id=" + id + " FOR UPDATE"),
            0u);
  EXPECT_EQ(server->read_until_prompt(), buy_lines(2));
  locker.exec("ROLLBACK");
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(server->send(envelopes::buy(kBTC, 2, 2)), buy_lines(2) + trade_response(100, 2, true));
}

}  // namespace
