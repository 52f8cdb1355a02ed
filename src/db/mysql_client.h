// MySQLClient is the process's one connection to the database. Every statement of every
// operation runs through it, strictly one after another. It is opened at start-up and outlives
// the database going away: how an attempt at a request ends, is run again and how a lost commit
// is settled is the exactly-once contract, db/exactly_once.h.
//
// The client prints nothing: what the client of the server is told is up to its callers.
#ifndef KORVANE_DB_MYSQL_CLIENT_H_
#define KORVANE_DB_MYSQL_CLIENT_H_

#include <mysql.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db/result_set.h"

class MySQLClient {
 public:
  // How the current attempt at a request ended, as far as the database is concerned.
  enum class Outcome {
    kDone,   // every statement was answered, successes and refusals alike
    kRetry,  // an error of the retry class undid it: run it again after a pause
    kLost,   // the connection broke, or its node cannot serve, before anything was committed:
             // reconnect, run it again
    kRerun,  // a commit's answer was lost and it was not applied; reconnected: run it again
    kGone,   // the connection broke and could not be made again within the bound
  };

  // Stores the connection parameters fixed at build time and the reconnect bound (see
  // reconnect()); does not connect.
  explicit MySQLClient(int reconnect_seconds);

  MySQLClient(const MySQLClient&) = delete;
  MySQLClient& operator=(const MySQLClient&) = delete;

  // Connects with the session settings (statements.h, kSessionSettings). True when connected.
  bool init_mysql_connect();

  // Opens a new connection with the same settings, trying again with backoff for up to the
  // reconnect bound given to the constructor. True when connected.
  bool reconnect();

  // Closes the connection, if one is open, saying goodbye to the database: a connection that just
  // drops when the process exits is counted there as an aborted client.
  void close() { disconnect(); }

  // Runs a statement and returns its stored result set, or an empty ResultSet when the
  // statement failed or yields no rows (every INSERT and UPDATE). Nothing is printed. An empty
  // statement ends the process with status 255.
  ResultSet exec_query_result(std::string statement);

  // Runs `statements` as one batch, in one round trip. The database runs them in order and stops
  // at the first that fails. Returns the results of those that ran and succeeded, one per
  // statement (an empty ResultSet for a write); fewer than given means the next one failed, and
  // last_error() says how. A statement's text ends at its first NUL byte, as a single statement's
  // does: such a statement fails and the batch stops there.
  //
  // REQUIRES: no statement holds a semicolon but, perhaps, its last character: client text in a
  // statement has passed detect_sqli (base/screen.h), which refuses semicolons and quotes.
  std::vector<ResultSet> exec_batch(const std::vector<std::string>& statements);

  // What settles a commit whose answer was lost, asked on a new connection (exactly_once.h).
  struct Proof {
    // A plain read of a row only this attempt wrote in its transaction (by the id its first round
    // trip's insert gave): one row whose first column is non-zero exactly when it was applied.
    std::string check;
    // A write of a row the transaction wrote that changes nothing when sent twice; used on a
    // Galera node only. Empty: the proof is the locking read alone.
    std::string fence;
    bool empty() const { return check.empty(); }
  };

  // Runs `writes` and COMMIT as one batch; true when every write succeeded and the commit did.
  // After a failed write nothing is committed and the transaction stays open for rollback().
  // A commit whose answer was lost (or unknown, or on a Galera node OK) is settled by `proof`
  // (exactly_once.h): applied gives true, as if the answer had come; not applied gives false
  // with the outcome kRerun (kRetry for a node's OK; a refusal, for an error of the refuse
  // class). Without a proof the error counts as its class says. `answers`, when given, receives the
  // results of the statements that were answered, one per statement as exec_batch() gives them (a
  // read among the writes is how a write batch returns what it locked); a commit proved applied may
  // have fewer.
  bool commit(const std::vector<std::string>& writes = {}, const Proof& proof = {},
              std::vector<ResultSet>* answers = nullptr);

  // Undoes the open transaction; never fails loudly. Nothing is sent when the
  // connection is lost: the database has undone the transaction with it.
  void rollback();

  // Error number of the statement that ran last; 0 after one that succeeded.
  unsigned int last_error();

  // The AUTO_INCREMENT value that the last INSERT made.
  uint64_t last_insert_id();

  // How the current attempt stands: its outcome, and the error number that decided it (0 while
  // the outcome is kDone). The one value the request runner acts on.
  struct Attempt {
    Outcome outcome;
    unsigned int error;
  };

  // Starts an attempt at a request: the outcome is kDone until a statement decides otherwise.
  void begin_attempt();
  Attempt attempt() const { return {outcome_, outcome_error_}; }

  // Sleeps a short random time before attempt `attempt` + 1, longer for later attempts up to a
  // third of a second, so that two orders that deadlocked do not meet again at once.
  void pause_before_retry(int attempt);

 private:
  // The connection itself: mysql_client.cc, and the fuzz build's seam, which builds
  // tests/fuzz/stand_in_db.cc in its place (the table in tests/fuzz/CMakeLists.txt).
  bool connect_once();                           // true when connected
  void disconnect();                             // closes the connection, if one is open
  ResultSet send(const std::string& statement);  // runs one statement; sets wire_error_
  // Runs the statements of `batch` (`count` of them, each ended by a semicolon) in one round
  // trip; returns the results of those that succeeded and sets wire_error_ for the one that
  // failed.
  std::vector<ResultSet> send_batch(const std::string& batch, size_t count);
  // send_batch() one statement per round trip, for a database that cannot be given batches.
  std::vector<ResultSet> send_each(const std::string& batch, size_t count);
  // Galera node only (see the .cc). After send(): a statement answered without error outside the
  // transaction that START TRANSACTION opened, or a read answered without its result, means the
  // node undid the transaction; wire_error_ then says so.
  void watch_transaction(const std::string& statement);
  uint64_t wire_insert_id();
  static void pause_ms(int ms);

  // Runs a statement unless the attempt is already decided; records what its error means.
  ResultSet run(const std::string& statement);
  void note_error(unsigned int error);
  bool settle_lost_commit(const Proof& proof);
  // Runs `proof` with its lock (and its fence, see Proof), then rolls back the lock: whether the
  // transaction it asks about was applied; kUnknown, with wire_error_ set, when the proof could
  // not be read.
  enum class Applied { kYes, kNo, kUnknown };
  Applied ask_proof(const Proof& proof);
  // Reads `proof.check` alone, without a lock. kNo only when `final` (the old transaction is known
  // to have ended); else kUnknown, with wire_error_ set to what stood in the way of the locking
  // proof (`error`) when the row is not there.
  Applied read_check(const Proof& proof, bool final, unsigned int error);
  // True on a Galera node for a proof that holds a fence (see Proof).
  bool fenced(const Proof& proof) const;
  // After a fenced proof read "not applied": commits its transaction. kNo once the fence is
  // certified; kUnknown, with wire_error_ set, when it is not (a conflict, a lost connection).
  Applied commit_fence();
  // This connection's last committed position in the cluster's order ("" when unreadable).
  std::string last_written_position();

  MYSQL handle_;
  const char* host_;
  const char* user_;
  const char* password_;
  const char* database_;
  const int reconnect_seconds_;
  bool connected_ = false;
  bool one_at_a_time_ = false;   // a Galera node: batches go one statement at a time
  bool in_transaction_ = false;  // one_at_a_time_ only: a transaction was begun and not ended
  unsigned int wire_error_ = 0;
  unsigned int last_error_ = 0;
  Outcome outcome_ = Outcome::kDone;
  unsigned int outcome_error_ = 0;  // the error that decided the outcome
};

#endif  // KORVANE_DB_MYSQL_CLIENT_H_
