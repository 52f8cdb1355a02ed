// The half of MySQLClient that decides what the database's answers mean for the request that
// runs: statements, transactions, and what a lost connection, a deadlock or a lock wait timeout
// does to the current attempt.
#include <algorithm>
#include <chrono>
#include <random>

#include "db/connection_params.h"
#include "db/decimal.h"
#include "db/mysql_client.h"
#include "db/statements.h"
#include "server/end_process.h"
#include "server/output.h"

namespace {

constexpr char kConnectionError[] = "[MySQL] Connection Error";

// Error numbers of the client library and the server.
constexpr unsigned int kServerShutdown = 1053;  // the server is going down
constexpr unsigned int kLockWaitTimeout = 1205;
constexpr unsigned int kDeadlock = 1213;           // also a cluster's certification conflict
constexpr unsigned int kQueryInterrupted = 1317;   // e.g. a Galera node's replicated write
constexpr unsigned int kConnectionKilled = 1927;   // e.g. by the idle-transaction timeout
constexpr unsigned int kCannotConnect = 2002;      // unix socket
constexpr unsigned int kCannotConnectHost = 2003;  // TCP
constexpr unsigned int kServerGone = 2006;
constexpr unsigned int kServerLost = 2013;
constexpr unsigned int kServerLostExtended = 2055;

// Asking whether a commit was applied may itself meet a lost connection or wait too long behind
// the old transaction; it is asked again on a new connection this many times at most.
constexpr int kProofAttempts = 10;

bool connection_lost(unsigned int error) {
  switch (error) {
    case kServerShutdown:
    case kConnectionKilled:
    case kCannotConnect:
    case kCannotConnectHost:
    case kServerGone:
    case kServerLost:
    case kServerLostExtended:
      return true;
    default:
      return false;
  }
}

// Errors that undo the attempt's transaction (or leave it to be rolled back) and may not recur:
// - a deadlock, or a Galera node's certification conflict or abort by another node's write;
// - a lock wait timeout;
// - an interrupted statement: a Galera node answers so when another node's write aborts the
//   statement's transaction while it runs.
bool worth_retrying(unsigned int error) {
  return error == kDeadlock || error == kLockWaitTimeout || error == kQueryInterrupted;
}

// Errors after which a COMMIT may or may not have been applied: the connection broke, or the
// statement was interrupted (on a Galera node, perhaps once the commit was certified).
bool commit_uncertain(unsigned int error) {
  return connection_lost(error) || error == kQueryInterrupted;
}

// The statements as one text, each ended by a semicolon (those texts that carry their own keep
// just that one). An empty statement ends the process, as it does on its own.
std::string batch_text(const std::vector<std::string>& statements) {
  std::string text;
  for (const std::string& statement : statements) {
    if (statement.empty()) end_process(255);
    text += statement;
    if (statement.back() != ';') text += ';';
  }
  return text;
}

}  // namespace

int MySQLClient::init_mysql_connect() {
  if (connect_once()) return 0;
  print_line(kConnectionError);
  end_process(255);
}

bool MySQLClient::reconnect() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(db_params::kReconnectSeconds);
  int delay_ms = 50;
  for (;;) {
    if (connect_once()) return true;
    if (std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms) > deadline) {
      return false;
    }
    pause_ms(delay_ms);
    delay_ms = std::min(delay_ms * 2, 2000);
  }
}

void MySQLClient::begin_attempt() {
  outcome_ = Outcome::kDone;
  outcome_error_ = 0;
}

void MySQLClient::pause_before_retry(int attempt) {
  static std::minstd_rand random(
      static_cast<unsigned int>(std::chrono::steady_clock::now().time_since_epoch().count()));
  // Up to 20 ms more per attempt, to at most a third of a second: a request may retry deadlocks
  // for seconds, and the pauses must not use up that time on their own.
  const int most_ms = std::min(20 * std::max(attempt, 1), 320);
  pause_ms(5 + static_cast<int>(random() % static_cast<unsigned int>(most_ms)));
}

void MySQLClient::note_error(unsigned int error) {
  if (outcome_ != Outcome::kDone) return;
  if (connection_lost(error)) {
    outcome_ = Outcome::kLost;
  } else if (worth_retrying(error)) {
    outcome_ = Outcome::kRetry;
  } else {
    return;
  }
  outcome_error_ = error;
}

ResultSet MySQLClient::run(const std::string& statement) {
  if (outcome_ != Outcome::kDone) {
    last_error_ = outcome_error_;
    return ResultSet();
  }
  ResultSet result = send(statement);
  last_error_ = wire_error_;
  note_error(last_error_);
  return result;
}

void MySQLClient::exec_query(std::string statement) {
  if (statement.empty()) end_process(255);
  run(statement);
  handle_error(static_cast<int>(last_error_));
}

ResultSet MySQLClient::exec_query_result(std::string statement) {
  if (statement.empty()) end_process(255);
  return run(statement);
}

std::vector<ResultSet> MySQLClient::exec_batch(const std::vector<std::string>& statements) {
  if (outcome_ != Outcome::kDone) {
    last_error_ = outcome_error_;
    return {};
  }
  std::vector<ResultSet> results = send_batch(batch_text(statements), statements.size());
  last_error_ = wire_error_;
  note_error(last_error_);
  return results;
}

bool MySQLClient::commit(const std::vector<std::string>& writes, const Proof& proof) {
  if (outcome_ != Outcome::kDone) {
    last_error_ = outcome_error_;
    return false;
  }
  std::vector<std::string> batch = writes;
  batch.push_back(sql::kCommit);
  send_batch(batch_text(batch), batch.size());
  last_error_ = wire_error_;
  if (last_error_ == 0 && (!one_at_a_time_ || proof.empty())) return true;
  if (last_error_ == 0) {
    // A Galera node may have undone the transaction just before its COMMIT and answered that
    // COMMIT, which then had nothing to commit, with OK: the proof says what happened.
    switch (ask_proof(without_fence(proof))) {
      case Applied::kYes:
        return true;
      case Applied::kNo:
        outcome_ = Outcome::kRetry;
        outcome_error_ = last_error_ = kDeadlock;
        return false;
      case Applied::kUnknown:
        last_error_ = wire_error_;  // asked again on a new connection
        return settle_lost_commit(proof);
    }
  }
  // A write that failed (a value out of range, a time the database cannot store) stops the batch
  // before the commit; so does a deadlock, which has also rolled the transaction back.
  if (!commit_uncertain(last_error_)) {
    note_error(last_error_);
    return false;
  }
  return settle_lost_commit(proof);
}

bool MySQLClient::settle_lost_commit(const Proof& proof) {
  const unsigned int lost = last_error_;
  if (proof.empty()) {
    note_error(lost);
    return false;
  }
  // The old connection's transaction is committed, rolled back, or still alive on the server
  // (it has not noticed yet that its client is gone). The proof reads what the transaction
  // wrote with a locking read, which waits for a live transaction to end either way.
  for (int i = 0; i < kProofAttempts; ++i) {
    if (!reconnect()) break;
    const Applied applied = ask_proof(proof);
    if (applied == Applied::kYes) {
      last_error_ = 0;
      return true;
    }
    if (applied == Applied::kNo) {
      outcome_ = Outcome::kRerun;
      outcome_error_ = lost;
      return false;
    }
    const unsigned int error = wire_error_;
    if (error != 0 && !connection_lost(error) && !worth_retrying(error)) break;
  }
  // The database cannot tell whether the order was applied: better to end than to guess.
  outcome_ = Outcome::kGone;
  outcome_error_ = lost;
  return false;
}

MySQLClient::Applied MySQLClient::ask_proof(const Proof& proof) {
  std::vector<ResultSet> results = send_batch(batch_text(proof), proof.size());
  const unsigned int error = wire_error_;
  MYSQL_ROW row = results.size() == proof.size() ? results.back().first_row() : nullptr;
  if (error == 0 && row != nullptr && parse_decimal_prefix64(row[0]) == 0 && fenced(proof)) {
    return commit_fence();
  }
  send(sql::kRollback);  // the proof's locks
  wire_error_ = error;
  if (error != 0 || row == nullptr) return Applied::kUnknown;
  return parse_decimal_prefix64(row[0]) > 0 ? Applied::kYes : Applied::kNo;
}

void MySQLClient::rollback() {
  if (outcome_ == Outcome::kLost || outcome_ == Outcome::kRerun || outcome_ == Outcome::kGone) {
    return;
  }
  send(sql::kRollback);
  if (connection_lost(wire_error_)) note_error(wire_error_);
}

unsigned int MySQLClient::last_error() { return last_error_; }

uint64_t MySQLClient::last_insert_id() { return wire_insert_id(); }
