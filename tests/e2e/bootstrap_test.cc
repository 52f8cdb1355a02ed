// The bootstrap script on a database that is already in place, as every server start runs it:
// it adds only what is missing, and it waits for no order that holds market rows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "server/startup.h"
#include "support/test_db.h"

namespace {

int run_bootstrap() { return std::system(bootstrap_command().c_str()); }

TEST(Bootstrap, AddsMissingCoinRowsAndKeepsTheOthersAsTheyAre) {
  TestDb db;
  db.set_market("XRP", 77, 12345);
  db.exec("DELETE FROM kv_coininfo WHERE symbol='SOL'");

  ASSERT_EQ(run_bootstrap(), 0);

  EXPECT_EQ(db.rows("SELECT current_price, qty FROM kv_coininfo WHERE symbol='SOL'"),
            (std::vector<std::vector<std::string>>{{"310000", "400000"}}));
  EXPECT_EQ(db.rows("SELECT current_price, qty FROM kv_coininfo WHERE symbol='XRP'"),
            (std::vector<std::vector<std::string>>{{"77", "12345"}}));
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_coininfo"), "4");
}

// An order holds its coin's row from its lock to its commit. A start that waited for such rows
// would queue behind the trading of every other session; with the rows held for good it would
// fail once the lock wait times out.
TEST(Bootstrap, DoesNotWaitForOrdersHoldingTheMarketRows) {
  TestDb order;
  order.exec("START TRANSACTION");
  order.rows("SELECT symbol FROM kv_coininfo FOR UPDATE");

  EXPECT_EQ(run_bootstrap(), 0);

  order.exec("COMMIT");
}

}  // namespace
