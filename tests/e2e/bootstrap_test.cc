// The bootstrap script on a database that is already in place, as every server start runs it:
// it adds only what is missing, and it waits for no order that holds market rows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "db/connection_params.h"
#include "server/startup.h"
#include "support/test_db.h"

namespace {

// A command line shows in `ps` to everyone on the machine while the client runs, at every start.
// The command alone cannot sign in; run_bootstrap() gives the client the password another way.
TEST(Bootstrap, CommandLineHoldsNoPassword) {
  const std::string command = bootstrap_command();
  EXPECT_EQ(command.find(db_params::kPassword), std::string::npos) << command;
  EXPECT_EQ(command.find(" -p"), std::string::npos) << command;
  EXPECT_NE(std::system((command + " 2>/dev/null").c_str()), 0);
  EXPECT_EQ(run_bootstrap(), 0);
}

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
