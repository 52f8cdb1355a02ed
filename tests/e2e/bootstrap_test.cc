// The bootstrap script as every server start runs it: it makes what is missing and nothing else
// (on a database already in place it runs no schema change at all, which a Galera cluster would
// replicate as a pause of every node), and it waits for no order that holds market rows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

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

const char* const kTables[] = {"kv_account",      "kv_uservault",   "kv_coininfo",
                               "kv_tradehistory", "kv_addressbook", "kv_attempt"};

// A table's definition without its next AUTO_INCREMENT value.
std::string without_next_id(std::string definition) {
  const std::string key = " AUTO_INCREMENT=";
  const size_t at = definition.find(key);
  if (at == std::string::npos) return definition;
  const size_t end = definition.find_first_not_of("0123456789", at + key.size());
  return definition.erase(at, end == std::string::npos ? std::string::npos : end - at);
}

// The database's and every table's definition, without the tables' next AUTO_INCREMENT values.
std::vector<std::string> schema(TestDb& root) {
  std::vector<std::string> out{root.rows("SHOW CREATE DATABASE korvane_db")[0][1]};
  for (const char* table : kTables) {
    const auto rows = root.rows(std::string("SHOW CREATE TABLE korvane_db.") + table);
    out.push_back(rows.empty() ? "" : without_next_id(rows[0][1]));
  }
  return out;
}

// CREATE DATABASE and CREATE TABLE statements run since the database started, by anybody.
long schema_statements_run(TestDb& root) {
  return std::stol(
      root.value("SELECT SUM(VARIABLE_VALUE) FROM information_schema.GLOBAL_STATUS "
                 "WHERE VARIABLE_NAME IN ('COM_CREATE_DB', 'COM_CREATE_TABLE')"));
}

struct Missing {
  const char* what;
  std::vector<std::string> drops;
};

// For each thing missing, the bootstrap makes it (its CREATEs, each IF NOT EXISTS, all run) and
// then runs no schema statement again; with nothing missing it runs none.
TEST(Bootstrap, MakesWhatIsMissingAndRunsNoSchemaStatementOnADatabaseInPlace) {
  const Missing cases[] = {
      {"nothing", {}},
      {"a table", {"DROP TABLE korvane_db.kv_addressbook"}},
      {"the rewrite attempts (a database made before them)", {"DROP TABLE korvane_db.kv_attempt"}},
      {"the market and the log",
       {"DROP TABLE korvane_db.kv_coininfo", "DROP TABLE korvane_db.kv_tradehistory"}},
      {"the database", {"DROP DATABASE korvane_db"}},
  };
  constexpr long kCreates = 7;  // the database and six tables
  TestDb root(TestDb::kRoot);
  ASSERT_EQ(run_bootstrap(), 0);
  const std::vector<std::string> complete = schema(root);
  for (const Missing& c : cases) {
    SCOPED_TRACE(std::string("missing: ") + c.what);
    for (const std::string& drop : c.drops) root.exec(drop);
    const long before = schema_statements_run(root);

    ASSERT_EQ(run_bootstrap(), 0);
    EXPECT_EQ(schema_statements_run(root) - before, c.drops.empty() ? 0 : kCreates);
    EXPECT_EQ(schema(root), complete);
    EXPECT_EQ(root.value("SELECT COUNT(*) FROM korvane_db.kv_coininfo"), "4");

    const long after = schema_statements_run(root);
    ASSERT_EQ(run_bootstrap(), 0);
    EXPECT_EQ(schema_statements_run(root), after) << "a second run ran schema statements";
  }
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
