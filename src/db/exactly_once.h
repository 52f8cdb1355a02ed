// Exactly once: every request the client sends is applied once or not at all, and the client
// hears of the attempt that counted and of no other, whatever the database does meanwhile. This
// is the one place the whole contract is told; the code that keeps it points here.
//
// ATTEMPTS. A request runs as attempts (server/request_runner.cc, run_request). Within one, the
// first statement whose error (db/error_classes.h) is of the retry or the reconnect class decides
// the attempt's outcome, and every later statement of it fails the same way without reaching the
// database (MySQLClient::run). So a handler never retries, reconnects or reads error classes: it
// treats every failed statement (an empty result, fewer results than asked, a failed commit,
// last_error() not 0) as a refusal and returns through its ordinary refusal path; it keeps output
// of a failed transaction (commit_output) only while the outcome is kDone, since the refusal is
// then the request's own. After each attempt the runner reads one value, MySQLClient::attempt():
// - kDone: the answer stands.
// - kRetry: the database undid the attempt as a whole (an error of the retry class: a deadlock, a
//   Galera certification conflict, a lock wait timeout, an interruption). It runs again on the same
//   connection after a short random pause growing with the attempts
//   (MySQLClient::pause_before_retry). Attempts that waited a whole timeout first
//   (ErrorClass::waited: up to db_params::kLockWaitSeconds for a row lock, or a statement time
//   limit) are counted: the kMaxAttemptsAfterLockWaits-th stands. The others are cheap to try again
//   and come in runs on a cluster with several writers, so they are bounded by time: no new attempt
//   starts kDeadlockRetryBudgetMs after the first. The attempt that stands is refused
//   (Reason::kBusy) and spends no sign-in: the client was not at fault.
// - kLost: the connection broke, or its node cannot serve, before anything was committed. It
//   runs again on a new connection (MySQLClient::reconnect, trying with backoff for the server's
//   reconnect bound, SessionLimits::reconnect_seconds), after the same pause from the second on:
//   a node that cannot serve accepts a connection at once.
// - kRerun: a commit lost its answer and was proved not applied (below), on a new connection
//   already: it runs again there. Reruns and reconnects together are bounded by kMaxReconnects.
// - kGone: the database cannot be had again, or cannot say whether a commit was applied (as when
//   a reconnect gives up or kMaxReconnects is passed): the session ends with "[MySQL] Connection
//   Error" and status 255 (its outcome line says Reason::kNoDatabase), never with a guess.
// Before each new attempt the runner forgets the attempt's output and puts back the session as
// it was before the request: the sign-in guard and the whole UserRecord (account/user.h).
//
// WHY RUNNING AGAIN IS SAFE. An attempt's writes are one transaction, committed with its last
// round trip (db/transaction.h). An attempt cut off before its COMMIT committed nothing: its
// transaction is rolled back by the handler's Transaction, or by the database when the connection
// is gone. The one ambiguous statement is a COMMIT whose answer was lost, or that answered with an
// error whose meaning for a commit is unknown (ErrorClass::commit).
//
// SETTLING A LOST COMMIT (MySQLClient::commit, settle_lost_commit, ask_proof). The request gives
// a MySQLClient::Proof: a check, a plain read of a row only this attempt wrote (by the id its
// first round trip's insert gave), non-zero exactly when the transaction was applied; nobody else
// can make it so or undo it. On a new connection the check is read with a lock
// (sql::kLockingRead) in a transaction that is rolled back: the old transaction has held that row
// since its first round trip, so the read waits behind it should the database not yet have
// noticed its client gone. Applied: the commit counts as answered. Not applied: kRerun (a refusal,
// for an error of the refuse class that the COMMIT itself answered). Unknown (the proof itself
// lost its connection, waited out its lock, met a read-only server): asked again, on a new
// connection, after a pause. On a single server a plain read (read_check) that finds the row is
// final, and one that does not is final kEndedSeconds after the loss, when the old transaction
// has surely ended. The proof is asked for proof_seconds(reconnect bound) at most; then, or at an
// error of the refuse class, the outcome is kGone. A request without a proof counts a lost
// commit as its error's class says: only requests that leave the same state and print the same
// when run twice have none.
//
// A GALERA NODE UNDOING A TRANSACTION. A node may undo a transaction without an error: a write
// replicated from another node aborts it, and then
// - a read running at that moment is answered without its result, and the next statement runs
//   outside any transaction, committed on its own; the rest of a batch runs so too, its COMMIT
//   included, and the order would be answered although it was undone. So on a node
//   (sql::kIsClusterNode, asked at every connect) statements go one at a time, each write inside
//   a transaction in a form that changes nothing outside one (db/write_guard.h), and each
//   answer's status is watched (MySQLClient::watch_transaction): a transaction closed without
//   COMMIT or ROLLBACK, or a read without its result, counts as the deadlock the node gives when
//   it does say so: kRetry.
// - a COMMIT that comes just after the abort has nothing to commit and is answered OK. So a
//   COMMIT answered OK is confirmed with the proof's plain check read, when the request gives a
//   proof (that transaction has ended on this connection either way); not applied counts as a
//   deadlock: kRetry.
// - after a failover the old node may still hold the transaction, about to replicate it (a proxy
//   moves a session when its node leaves the Synced state, not only when it dies), while a
//   locking read on the new node waits only for that node's own transactions: "not applied" read
//   there could be followed by the old COMMIT, and the rerun would meet its own trade. So the
//   proof also writes, twice so that it changes nothing, a row the old transaction wrote (the
//   fence, Proof::fence, sql::kFenceVault) before its locking read, and when that reads "not
//   applied" it commits the fence instead of rolling back (commit_fence). The cluster orders the
//   two writes of the row; the later, had it not seen the earlier, fails certification. The
//   answer stands only once the fence is certified (this connection's last written position
//   moved), so the old transaction can never commit after it, wherever it is: alive, desynced,
//   cut off or dead. On a node only the fence settles a lost commit; the plain read is not final.
#ifndef KORVANE_DB_EXACTLY_ONCE_H_
#define KORVANE_DB_EXACTLY_ONCE_H_

#include "db/connection_params.h"

namespace exactly_once {

// Attempts at a request undone after waiting a whole timeout, in all, before it is refused.
constexpr int kMaxAttemptsAfterLockWaits = 5;
// How long after its first attempt a request may still start one after another undone attempt.
constexpr int kDeadlockRetryBudgetMs = 10000;
// Attempts cut off by a lost connection or rerun after a lost commit, in all, before the session
// gives up: a database that keeps dropping every connection is as good as gone.
constexpr int kMaxReconnects = 20;

// When a lost commit's old transaction has surely ended on a single server: its last batch may
// still wait for a row lock after the loss, then leave the transaction idle until the database's
// idle limit ends it; and a margin for the database to notice and undo it.
constexpr int kEndedMarginSeconds = 5;
constexpr int kEndedSeconds =
    db_params::kLockWaitSeconds + db_params::kIdleTransactionSeconds + kEndedMarginSeconds;

// How long after the loss a lost commit's proof is asked before the session ends: until the old
// transaction has surely ended, and (on a Galera node, where only the fence settles it) for a
// reconnect bound more.
constexpr int proof_seconds(int reconnect_seconds) { return kEndedSeconds + reconnect_seconds; }

}  // namespace exactly_once

#endif  // KORVANE_DB_EXACTLY_ONCE_H_
