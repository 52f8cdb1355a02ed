// How a proof's "not applied" becomes final on a Galera node (see MySQLClient::Proof).
//
// A locking read waits only for transactions of its own node, and wsrep_sync_wait only for
// writes the cluster has already ordered. After a failover the old node may still hold the
// transaction, about to replicate it (the proxy moved the session because the node left the
// Synced state, not because it died). A proof that reads "not applied" there could be followed
// by the old COMMIT: the client would be told the order was not made, and its rerun would meet
// its own trade.
//
// So the proof also writes a row that the old transaction wrote (a fence), and commits it. The
// cluster orders the two writes; the later one, had it not seen the earlier, fails certification,
// and a node that applies the earlier undoes a local transaction that holds the row. The fence
// commits only after the proof read "not applied", so once it has committed the old transaction
// can never commit, wherever it is: alive, desynced, cut off from the cluster or dead.
#include <string>

#include "db/error_classes.h"
#include "db/mysql_client.h"
#include "db/statements.h"

bool MySQLClient::fenced(const Proof& proof) const {
  return one_at_a_time_ && !proof.fence.empty();
}

MySQLClient::Applied MySQLClient::commit_fence() {
  const std::string before = last_written_position();
  if (wire_error_ != 0) {
    const unsigned int error = wire_error_;
    send(sql::kRollback);
    wire_error_ = error;
    return Applied::kUnknown;
  }
  // A certification conflict fails the COMMIT: the proof is asked again.
  send(sql::kCommit);
  if (wire_error_ != 0) return Applied::kUnknown;
  // A node may answer OK to the COMMIT of a transaction it undid just before it (mysql_client.cc):
  // only a new position of this connection's last write shows that the fence was certified.
  const std::string after = last_written_position();
  if (wire_error_ != 0) return Applied::kUnknown;
  if (after == before) {
    wire_error_ = db_errors::kDeadlock;  // as an undone transaction counts: asked again
    return Applied::kUnknown;
  }
  return Applied::kNo;
}

std::string MySQLClient::last_written_position() {
  ResultSet result = send(sql::kLastWrittenPosition);
  MYSQL_ROW row = wire_error_ == 0 ? result.first_row() : nullptr;
  return row != nullptr && row[0] != nullptr ? row[0] : "";
}
