// What the database sees of the servers' connections, for tests of how sessions end and wait.
#ifndef KORVANE_TESTS_SUPPORT_DB_WATCH_H_
#define KORVANE_TESTS_SUPPORT_DB_WATCH_H_

#include <string>

#include "support/test_db.h"

// The database's count of connections that ended without being closed (a process that died or
// exited without closing its connection). A session that ends cleanly leaves it as it was.
std::string aborted_clients(TestDb& db);

// Waits until no connection of the server's user is left but `db`'s own (the database counts an
// aborted client by the time its connection is gone). `db` connects as the server's user.
bool wait_for_no_server_connections(TestDb& db);

// Waits until exactly `count` transactions wait for a row lock. The database's count of waits
// going on is read live, unlike information_schema.INNODB_TRX and INNODB_LOCK_WAITS, whose
// picture may be up to 100 ms old and so still show the waits of a test that has just ended.
bool wait_for_lock_waits(TestDb& root, int count);

// Waits until a transaction waits for a row lock while running a statement whose text matches
// the LIKE pattern `statement`. Unlike a bare count, a picture of information_schema.INNODB_TRX
// left from an earlier test (the database refreshes it at most every 100 ms) cannot satisfy it.
bool wait_for_lock_wait_in(TestDb& root, const std::string& statement);

#endif  // KORVANE_TESTS_SUPPORT_DB_WATCH_H_
