#include "support/db_watch.h"

std::string aborted_clients(TestDb& db) {
  return db.value(
      "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
      "WHERE VARIABLE_NAME='ABORTED_CLIENTS'");
}

bool wait_for_no_server_connections(TestDb& db) {
  return wait_for_value(db,
                        "SELECT COUNT(*) FROM information_schema.PROCESSLIST "
                        "WHERE USER='korvane' AND ID<>CONNECTION_ID()",
                        "0");
}

bool wait_for_lock_waits(TestDb& root, int count) {
  return wait_for_value(root,
                        "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                        "WHERE VARIABLE_NAME='INNODB_ROW_LOCK_CURRENT_WAITS'",
                        std::to_string(count));
}

bool wait_for_lock_wait_in(TestDb& root, const std::string& statement) {
  return wait_for_value(root,
                        "SELECT COUNT(*) > 0 FROM information_schema.INNODB_TRX "
                        "WHERE trx_state='LOCK WAIT' AND trx_query LIKE '" +
                            statement + "'",
                        "1");
}
