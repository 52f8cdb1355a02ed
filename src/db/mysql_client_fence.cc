// How a proof's "not applied" becomes final on a Galera node: the fence (db/exactly_once.h tells
// why it holds). A locking read waits only for transactions of its own node, and
// wsrep_sync_wait only for writes the cluster has already ordered, so neither is enough alone.
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
  // A node may answer OK to the COMMIT of a transaction it undid just before it (exactly_once.h):
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
