// Direct access to the tests' private database, for setting up and checking state.
//
// It connects as the server does (user korvane, through the socket in MYSQL_UNIX_PORT, with the
// server's session settings), after running the server's bootstrap command once per test process.
#ifndef KORVANE_TESTS_SUPPORT_TEST_DB_H_
#define KORVANE_TESTS_SUPPORT_TEST_DB_H_

#include <mysql.h>

#include <string>
#include <vector>

class TestDb {
 public:
  // kRoot connects as the database's root user, for what the server's user may not do: change
  // global settings, look at other connections' transactions.
  enum User { kServerUser, kRoot };

  // `socket` names another database than the tests' (one a test started itself), which is
  // taken to be bootstrapped already.
  explicit TestDb(User as = kServerUser, const std::string& socket = {});
  ~TestDb();
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;

  // Runs a statement; records a test failure when it fails.
  void exec(const std::string& statement);

  // Runs a statement and returns its error number (0 when it succeeded), without judging it.
  unsigned int try_exec(const std::string& statement);

  // All rows of a query, SQL NULL as "NULL".
  std::vector<std::vector<std::string>> rows(const std::string& query);

  // Column 0 of the first row ("" when there is no row).
  std::string value(const std::string& query);

  // Sets a coin's price and stock.
  void set_market(const std::string& symbol, long price, long stock);

  // A market of known values, one price and stock per coin (answers::known_market() shows it).
  void set_known_market();

  // Gives account `account` 10^`digits` buys of 3 XRP at 7 in its trade log, all at second
  // 86400: a long history, its answer as large as a test needs.
  void add_history(long account, int digits);

  // The account id of a user name (0 when there is none).
  long account_id(const std::string& name);

 private:
  MYSQL* conn_ = nullptr;
};

// Waits until column 0 of the first row of `query` reads `expected`, asking again and again.
// Returns false, with a test failure, when it does not within a generous deadline.
bool wait_for_value(TestDb& db, const std::string& query, const std::string& expected);

#endif  // KORVANE_TESTS_SUPPORT_TEST_DB_H_
