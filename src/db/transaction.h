// Transaction makes a group of statements on one MySQLClient a unit: it begins a transaction
// when constructed and rolls it back when destroyed, unless the group was committed. Every early
// return of the code that owns it therefore undoes whatever the group had written, and removes
// the lines that told of those writes (print_uncommitted_line in server/output.h).
#ifndef KORVANE_DB_TRANSACTION_H_
#define KORVANE_DB_TRANSACTION_H_

#include <string>

#include "db/mysql_client.h"
#include "server/output.h"

class Transaction {
 public:
  explicit Transaction(MySQLClient* client) : client_(client), open_(client->begin_transaction()) {}
  ~Transaction() {
    if (!open_) return;
    client_->rollback();
    drop_uncommitted_output();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // False when the transaction could not begin; then nothing may be written.
  bool begun() const { return open_; }

  // Commits; true when the commit succeeded. `proof` is as for MySQLClient::commit(). After a
  // failed commit the destructor rolls back.
  bool commit(const std::string& proof = std::string()) {
    if (!open_ || !client_->commit(proof)) return false;
    committed();
    return true;
  }

  // Records that the transaction was committed through the client directly (a successful
  // MySQLClient::commit()), so that nothing is rolled back.
  void committed() {
    open_ = false;
    commit_output();
  }

 private:
  MySQLClient* client_;
  bool open_;
};

#endif  // KORVANE_DB_TRANSACTION_H_
