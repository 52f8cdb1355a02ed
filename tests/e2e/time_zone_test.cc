// The server's sessions run in UTC whatever the database's own time zone. A trade's time is
// stored as the UTC wall-clock time of its second and read back as that second, so the trade log
// means the same on every database and to every other reader of it, and the bot guard compares
// the times other writers stored in UTC. The tests' own database runs in UTC, where leaving the
// setting out changes nothing; this database runs nine hours ahead.
#include <gtest/gtest.h>

#include <string>

#include "support/answers.h"
#include "support/client.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kBtc = 0, kEth = 1, kSol = 3;

TEST(TimeZone, TradeTimesAreUtcOnADatabaseInAnotherZone) {
  FreshDatabase fresh({"--default-time-zone=+09:00"});
  ServerProcess server(fresh.env());  // its start bootstraps the database
  ASSERT_EQ(server.read_until_prompt(), "");
  TestDb db(TestDb::kServerUser, fresh.socket());
  ASSERT_EQ(db.value("SELECT @@GLOBAL.time_zone"), "+09:00");
  const std::string acc = sign_up_and_in(server, db, unique_name("zone"));

  db.set_market("BTC", 100, 50);
  EXPECT_EQ(server.send(envelopes::buy(kBtc, 1, 1000)),
            answers::order("BTC", 100, 50, 1, true, 125, acc));
  // DATETIME text is the same to every reader, whatever its zone.
  EXPECT_EQ(db.value("SELECT trade_time FROM kv_tradehistory WHERE acc_id=" + acc),
            "1970-01-01 00:16:40");

  // Trades another writer logged in UTC: the history shows their seconds, and the bot guard
  // finds the one at the second of a new order.
  db.exec("INSERT INTO kv_tradehistory VALUES(NULL, " + acc +
          ", 'ETH', 7, 1, 7, true, '1970-01-02 00:00:00')");
  const std::string logged = db.value("SELECT LAST_INSERT_ID()");
  EXPECT_EQ(server.send(envelopes::history(kEth, 1)),
            answers::history_entry(logged, "ETH", "7", "1", "7", true, "86400"));
  db.exec("INSERT INTO kv_tradehistory VALUES(NULL, " + acc +
          ", 'SOL', 5, 1, 5, true, '1970-01-01 00:33:20')");
  db.set_market("SOL", 5, 50);
  EXPECT_EQ(server.send(envelopes::buy(kSol, 1, 2000)), "[-] DETECTED Trading Bot\n");
}

}  // namespace
