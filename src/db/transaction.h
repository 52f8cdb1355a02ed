// Transaction makes a group of statements on one MySQLClient a unit: it begins a transaction
// when constructed and rolls it back when destroyed, unless the group was committed. Every early
// return of the code that owns it therefore undoes whatever the group had written.
#ifndef KORVANE_DB_TRANSACTION_H_
#define KORVANE_DB_TRANSACTION_H_

#include "db/mysql_client.h"

class Transaction {
 public:
  explicit Transaction(MySQLClient* client) : client_(client), open_(client->begin_transaction()) {}
  ~Transaction() {
    if (open_) client_->rollback();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // False when the transaction could not begin; then nothing may be written.
  bool begun() const { return open_; }

  // Commits; true when the commit succeeded. After a failed commit the destructor rolls back.
  bool commit() {
    if (!open_ || !client_->commit()) return false;
    open_ = false;
    return true;
  }

  // Records that the transaction was committed by someone else (a successful commit() of the
  // same client), so that nothing is rolled back.
  void committed() { open_ = false; }

 private:
  MySQLClient* client_;
  bool open_;
};

#endif  // KORVANE_DB_TRANSACTION_H_
