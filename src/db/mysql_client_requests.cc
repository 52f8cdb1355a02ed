// The half of MySQLClient that decides what the database's answers mean for the request that
// runs: statements, transactions, and what each error does to the current attempt (the table in
// db/error_classes.h). How a lost commit is settled is the exactly-once contract
// (db/exactly_once.h).
#include <algorithm>
#include <chrono>
#include <random>

#include "base/decimal.h"
#include "base/end_process.h"
#include "db/connection_params.h"
#include "db/error_classes.h"
#include "db/exactly_once.h"
#include "db/mysql_client.h"
#include "db/statements.h"

namespace {

using db_errors::Action;
using db_errors::classify;

using Clock = std::chrono::steady_clock;

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

MySQLClient::MySQLClient(int reconnect_seconds)
    : host_(db_params::kHost),
      user_(db_params::kUser),
      password_(db_params::kPassword),
      database_(db_params::kDatabase),
      reconnect_seconds_(reconnect_seconds) {}

bool MySQLClient::init_mysql_connect() { return connect_once(); }

bool MySQLClient::reconnect() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(reconnect_seconds_);
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
  if (outcome_ != Outcome::kDone || error == 0) return;
  switch (classify(error).action) {
    case Action::kReconnect:
      outcome_ = Outcome::kLost;
      break;
    case Action::kRetry:
      outcome_ = Outcome::kRetry;
      break;
    case Action::kRefuse:
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

bool MySQLClient::commit(const std::vector<std::string>& writes, const Proof& proof,
                         std::vector<ResultSet>* answers) {
  if (outcome_ != Outcome::kDone) {
    last_error_ = outcome_error_;
    return false;
  }
  std::vector<std::string> batch = writes;
  batch.push_back(sql::kCommit);
  std::vector<ResultSet> results = send_batch(batch_text(batch), batch.size());
  const size_t answered = results.size();
  if (answers != nullptr) *answers = std::move(results);
  last_error_ = wire_error_;
  if (last_error_ == 0 && (!one_at_a_time_ || proof.empty())) return true;
  if (last_error_ == 0) {
    // A Galera node's OK, confirmed by a plain read (exactly_once.h).
    switch (read_check(proof, true, 0)) {
      case Applied::kYes:
        return true;
      case Applied::kNo:
        outcome_ = Outcome::kRetry;
        outcome_error_ = last_error_ = db_errors::kDeadlock;
        return false;
      case Applied::kUnknown:
        last_error_ = wire_error_;  // asked again on a new connection
        return settle_lost_commit(proof);
    }
  }
  // A write that failed (a value out of range, a time the database cannot store) stops the batch
  // before the commit; so does a deadlock, which has also rolled the transaction back. An error
  // the COMMIT itself answered, or one that may stand for any statement of the batch (all but
  // the request's own faults), is settled by the table's meaning.
  const db_errors::ErrorClass& error = classify(last_error_);
  const bool commit_answered = answered == writes.size();
  if (error.commit == db_errors::Commit::kNotApplied ||
      (error.action == Action::kRefuse && !commit_answered)) {
    note_error(last_error_);
    return false;
  }
  return settle_lost_commit(proof);
}

bool MySQLClient::settle_lost_commit(const Proof& proof) {
  const unsigned int lost = last_error_;
  // An error of the request's own kind that the COMMIT answered, proved not applied, stands as a
  // refusal; every other such commit runs again.
  const bool refused = classify(lost).action == Action::kRefuse;
  if (proof.empty()) {
    note_error(lost);
    return false;
  }
  // Asked on new connections until it is known or the bounds are reached (exactly_once.h).
  const Clock::time_point lost_at = Clock::now();
  const Clock::time_point ended_by = lost_at + std::chrono::seconds(exactly_once::kEndedSeconds);
  const Clock::time_point give_up_at =
      lost_at + std::chrono::seconds(exactly_once::proof_seconds(reconnect_seconds_));
  for (int i = 1;; ++i) {
    if (!reconnect()) break;
    Applied applied = ask_proof(proof);
    if (applied == Applied::kUnknown && !one_at_a_time_) {
      applied = read_check(proof, Clock::now() >= ended_by, wire_error_);
    }
    if (applied == Applied::kYes) {
      last_error_ = 0;
      return true;
    }
    if (applied == Applied::kNo) {
      if (refused) return false;
      outcome_ = Outcome::kRerun;
      outcome_error_ = lost;
      return false;
    }
    const unsigned int error = wire_error_;
    if (error != 0 && classify(error).action == Action::kRefuse) break;
    if (Clock::now() >= give_up_at) break;
    pause_before_retry(i);  // a node that cannot serve yet may in a moment
  }
  // The database cannot tell whether the order was applied: better to end than to guess.
  outcome_ = Outcome::kGone;
  outcome_error_ = lost;
  return false;
}

MySQLClient::Applied MySQLClient::ask_proof(const Proof& proof) {
  std::vector<std::string> batch = {sql::kBeginTransaction};
  if (fenced(proof)) batch.insert(batch.end(), 2, proof.fence);
  batch.push_back(proof.check + sql::kLockingRead);
  std::vector<ResultSet> results = send_batch(batch_text(batch), batch.size());
  const unsigned int error = wire_error_;
  MYSQL_ROW row = results.size() == batch.size() ? results.back().first_row() : nullptr;
  if (error == 0 && row != nullptr && parse_decimal_prefix64(row[0]) == 0 && fenced(proof)) {
    return commit_fence();
  }
  send(sql::kRollback);  // the proof's locks
  wire_error_ = error;
  if (error != 0 || row == nullptr) return Applied::kUnknown;
  return parse_decimal_prefix64(row[0]) > 0 ? Applied::kYes : Applied::kNo;
}

MySQLClient::Applied MySQLClient::read_check(const Proof& proof, bool final, unsigned int error) {
  ResultSet result = send(proof.check);
  MYSQL_ROW row = wire_error_ == 0 ? result.first_row() : nullptr;
  if (row != nullptr && parse_decimal_prefix64(row[0]) > 0) return Applied::kYes;
  if (row != nullptr && final) return Applied::kNo;
  if (wire_error_ == 0) wire_error_ = error;
  return Applied::kUnknown;
}

void MySQLClient::rollback() {
  if (outcome_ == Outcome::kLost || outcome_ == Outcome::kRerun || outcome_ == Outcome::kGone) {
    return;
  }
  send(sql::kRollback);
  if (wire_error_ != 0 && classify(wire_error_).action == Action::kReconnect) {
    note_error(wire_error_);
  }
}

unsigned int MySQLClient::last_error() { return last_error_; }

uint64_t MySQLClient::last_insert_id() { return wire_insert_id(); }
