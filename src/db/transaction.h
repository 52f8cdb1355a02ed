// Transaction makes a group of statements on one MySQLClient a unit. It begins together with the
// group's first reads, in one round trip, and commits together with its writes, in another; it
// rolls back when destroyed unless it was committed. Every early return of the code that owns it
// therefore undoes whatever the group had written, and removes the lines that told of those
// writes (print_uncommitted_line in base/output.h).
#ifndef KORVANE_DB_TRANSACTION_H_
#define KORVANE_DB_TRANSACTION_H_

#include <string>
#include <vector>

#include "base/output.h"
#include "db/mysql_client.h"
#include "db/statements.h"

class Transaction {
 public:
  explicit Transaction(MySQLClient* client) : client_(client) {}
  ~Transaction() {
    if (!open_) return;
    client_->rollback();
    drop_uncommitted_output();
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Begins the transaction and runs `reads` in the same round trip. Returns the results of the
  // reads, fewer than asked when one failed. REQUIRES: not begun yet.
  std::vector<ResultSet> begin(const std::vector<std::string>& reads = {}) {
    std::vector<std::string> batch = {sql::kBeginTransaction};
    batch.insert(batch.end(), reads.begin(), reads.end());
    std::vector<ResultSet> results = client_->exec_batch(batch);
    open_ = !results.empty();
    if (open_) results.erase(results.begin());
    return results;
  }

  // False when the transaction could not begin; then nothing may be written.
  bool begun() const { return open_; }

  // Runs `reads` inside the begun transaction, in one round trip; results as for begin().
  std::vector<ResultSet> read(const std::vector<std::string>& reads) {
    if (!open_) return {};
    return client_->exec_batch(reads);
  }

  // Runs `writes` and commits, in one round trip; true when all of it succeeded. `proof` and
  // `answers` are as for MySQLClient::commit(). After a failed write or commit the destructor
  // rolls back.
  bool commit(const std::vector<std::string>& writes = {}, const MySQLClient::Proof& proof = {},
              std::vector<ResultSet>* answers = nullptr) {
    if (!open_ || !client_->commit(writes, proof, answers)) return false;
    open_ = false;
    commit_output();
    return true;
  }

 private:
  MySQLClient* client_;
  bool open_ = false;
};

#endif  // KORVANE_DB_TRANSACTION_H_
