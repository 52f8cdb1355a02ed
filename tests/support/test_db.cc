#include "support/test_db.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "db/connection_params.h"
#include "db/statements.h"
#include "server/startup.h"

TestDb::TestDb(User as, const std::string& socket) {
  static bool bootstrapped = false;
  if (socket.empty() && std::getenv("MYSQL_UNIX_PORT") == nullptr) {
    ADD_FAILURE() << "MYSQL_UNIX_PORT is not set: run the tests through scripts/test";
  }
  if (socket.empty() && !bootstrapped) {
    EXPECT_EQ(run_bootstrap(), 0);
    bootstrapped = true;
  }
  conn_ = mysql_init(nullptr);
  // The server's own session settings, so that times and values mean here what they mean to the
  // server. Two are put back: the database's default isolation, REPEATABLE READ, whose gap locks
  // let a test hold the place where an order's trade would go; and no idle limit on a test's own
  // transactions, which wait for a server as long as the test needs.
  mysql_options(conn_, MYSQL_INIT_COMMAND, db_params::session_settings().c_str());
  const bool root = as == kRoot;
  if (mysql_real_connect(conn_, "localhost", root ? "root" : "korvane", root ? "" : "wexolim",
                         "korvane_db", 0, socket.empty() ? nullptr : socket.c_str(),
                         0) == nullptr) {
    ADD_FAILURE() << "cannot reach the test database: " << mysql_error(conn_);
  }
  exec("SET tx_isolation='REPEATABLE-READ', idle_transaction_timeout=0");
}

TestDb::~TestDb() { mysql_close(conn_); }

void TestDb::exec(const std::string& statement) {
  if (mysql_real_query(conn_, statement.data(), statement.size()) != 0) {
    ADD_FAILURE() << statement << ": " << mysql_error(conn_);
  }
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res != nullptr) mysql_free_result(res);
}

unsigned int TestDb::try_exec(const std::string& statement) {
  mysql_real_query(conn_, statement.data(), statement.size());
  unsigned int error = mysql_errno(conn_);
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res != nullptr) mysql_free_result(res);
  return error;
}

std::vector<std::vector<std::string>> TestDb::rows(const std::string& query) {
  std::vector<std::vector<std::string>> out;
  if (mysql_real_query(conn_, query.data(), query.size()) != 0) {
    ADD_FAILURE() << query << ": " << mysql_error(conn_);
    return out;
  }
  MYSQL_RES* res = mysql_store_result(conn_);
  if (res == nullptr) return out;
  unsigned int n = mysql_num_fields(res);
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    unsigned long* lengths = mysql_fetch_lengths(res);
    std::vector<std::string> r;
    for (unsigned int i = 0; i < n; ++i) {
      r.push_back(row[i] == nullptr ? "NULL" : std::string(row[i], lengths[i]));
    }
    out.push_back(std::move(r));
  }
  mysql_free_result(res);
  return out;
}

std::string TestDb::value(const std::string& query) {
  auto r = rows(query);
  return r.empty() || r[0].empty() ? std::string() : r[0][0];
}

void TestDb::set_market(const std::string& symbol, long price, long stock) {
  exec("UPDATE kv_coininfo SET current_price=" + std::to_string(price) +
       ", qty=" + std::to_string(stock) + " WHERE symbol='" + symbol + "'");
}

void TestDb::set_known_market() {
  set_market("BTC", 1000, 10);
  set_market("ETH", 200, 20);
  set_market("XRP", 100, 50);
  set_market("SOL", 300, 0);
}

void TestDb::add_history(long account, int digits) {
  // One row for each combination of `digits` decimal digits.
  std::string from = " FROM ";
  for (int d = 0; d < digits; ++d) {
    from += std::string(d == 0 ? "" : ", ") + "(SELECT 0";
    for (int digit = 1; digit < 10; ++digit) from += " UNION ALL SELECT " + std::to_string(digit);
    from += ") d" + std::to_string(d);
  }
  exec(
      "INSERT INTO kv_tradehistory (acc_id, symbol, price, amount, total_price, type, "
      "trade_time) SELECT " +
      std::to_string(account) + ", 'XRP', 7, 3, 21, true, FROM_UNIXTIME(86400)" + from);
}

long TestDb::account_id(const std::string& name) {
  std::string v = value("SELECT acc_id FROM kv_account WHERE username='" + name + "'");
  return v.empty() ? 0 : std::stol(v);
}

bool wait_for_value(TestDb& db, const std::string& query, const std::string& expected) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (db.value(query) != expected) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << query << " never gave " << expected;
      return false;
    }
    // The database refreshes information_schema.INNODB_TRX only when nobody has read it for
    // 100 ms; asking more often would keep reading the same old picture.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }
  return true;
}
