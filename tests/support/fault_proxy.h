// A proxy between a server under test and the tests' database that cuts the connection at a
// chosen statement, for tests of what the server does when its database connection breaks in the
// middle of a request.
//
// It listens on a unix socket of its own and forwards every connection made to it, for as long
// as it lives, to the database socket named by MYSQL_UNIX_PORT when it was made. It reads just
// enough of the MySQL protocol to see the statements: every packet is a 3-byte little-endian
// payload length, a 1-byte sequence id and the payload; a client's command is a packet with
// sequence id 0 (the handshake's client packets have ids from 1), and a COM_QUERY command has
// 0x03 as its first payload byte, followed by the statement text. Packets from the client are
// forwarded whole, however they arrive.
//
// Armed, it counts the COM_QUERY commands of all its connections from the moment of arming and
// cuts the connection that carries the n-th one (or the first whose text holds a given piece),
// then disarms: everything after passes untouched, new connections included.
//
// A statement can also be held instead of dropped, and sent on to the database only when the test
// says so: a delayed statement (Cut::kDelayed) on a connection whose server side is cut at once,
// so that the server reconnects while its old transaction lives on in the database, or the first
// statement of the next connection (hold_next_connection()), so that a reconnect waits.
//
// Or a statement can be answered by the proxy itself with a MySQL error (answer_at()), as a
// database that cannot serve it would: the database never sees it (or runs it, and its answer is
// replaced), and the connection stays open or is closed after the error, as the real server does
// for that error.
//
// Or it can stand for a Galera node that undoes a transaction without a word, as a node does when
// a write replicated from another node conflicts with it between two statements: the next
// statement then runs on its own, outside any transaction. act_as_galera_node() makes the
// database say it is such a node (the server then sends it statements one at a time, and writes
// inside a transaction in their guarded form: db/write_guard.h), and Cut::kRollbackFirst undoes
// the transaction just before the chosen statement.
#ifndef KORVANE_TESTS_SUPPORT_FAULT_PROXY_H_
#define KORVANE_TESTS_SUPPORT_FAULT_PROXY_H_

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FaultProxy {
 public:
  enum class Cut {
    // The statement is not forwarded and both sides are closed at once: the database never sees
    // it, the server loses its connection while it waits for the answer.
    kBeforeSending,
    // The statement is forwarded; once the first packet of the database's answer has arrived,
    // the answer is dropped and both sides are closed: the statement ran (a COMMIT was applied),
    // but the server never learns it.
    kAfterReply,
    // The statement is held and only the server's side is closed: the database's session, with
    // its open transaction and its locks, lives on as if its client were slow. release() sends
    // the statement on; its answer is dropped.
    kDelayed,
    // The statement is not forwarded; the server gets the armed ErrorReply as its answer.
    kErrorReply,
    // A ROLLBACK of the proxy's own goes first on the statement's connection, and the statement
    // follows once the database has answered it; that answer is dropped. The statement runs
    // outside the transaction its connection had open, and the server sees only its answer.
    kRollbackFirst,
  };

  // An error answer in the protocol's ERR packet.
  struct ErrorReply {
    unsigned int code;
    std::string sql_state;  // five characters
    std::string message;
    bool close;  // the connection is closed after the answer (a shutdown, a kill)
    // The statement is forwarded and runs; its answer is dropped and the error sent instead.
    // REQUIRES: every statement of it answers with an OK packet (writes, COMMIT).
    bool after_running = false;
  };

  FaultProxy();
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  // The environment for a ServerProcess whose database connections are to go through here.
  std::map<std::string, std::string> env() const;

  // Cuts `how` at the n-th statement from now (n >= 1). Resets fired() and statements_seen().
  void arm(int n, Cut how);

  // Cuts `how` at the first statement from now whose text holds `piece`.
  void arm_at(const std::string& piece, Cut how);

  // Sends the connections made from now on to the database socket `socket` instead, as a proxy
  // in front of a cluster does when it fails over; those already made stay where they are.
  void forward_to(const std::string& socket);

  // Answers the first `times` statements from now whose text holds `piece` with `reply`
  // (Cut::kErrorReply); fired() once the first is answered.
  void answer_at(const std::string& piece, const ErrorReply& reply, int times = 1);

  // From now on the question whether the database is a Galera node (sql::kIsClusterNode) reaches
  // it as a statement that answers yes, on every connection. Nothing else changes.
  void act_as_galera_node();

  // Holds the first statement of the next connection made until release().
  void hold_next_connection();

  // Waits until a statement is held; records a test failure and returns false after 30 s.
  bool wait_until_holding();

  // Waits until statements_seen() reaches `n`; records a test failure and returns false after
  // 30 s.
  bool wait_until_seen(int n);

  // Sends every held statement on to the database.
  void release();

  // Cuts nothing until armed again.
  void disarm();

  // True when the armed cut has been made.
  bool fired();

  // The text of the statement at which the cut was made ("" before that).
  std::string cut_statement();

  // The statements seen on all connections since the last arm(), the cut one included.
  int statements_seen();

 private:
  struct Link;

  void run();
  void accept_link();
  // Handle what one side of `link` has to read; they close the link when it ends or is cut.
  void from_client(Link& link);
  void from_database(Link& link);
  // Counts a statement; true when it is the one to cut, with the way to cut it in `how`.
  bool cut_here(const std::string& statement, Cut* how);
  void note_held();
  void release_held();

  std::string dir_;
  std::string path_;
  std::string database_path_;  // guarded by mu_
  int listener_ = -1;
  int stop_[2] = {-1, -1};                    // a byte on stop_[1] ends the loop
  std::vector<std::unique_ptr<Link>> links_;  // owned by the loop's thread
  std::thread thread_;

  std::mutex mu_;  // guards what follows
  bool armed_ = false;
  int target_ = 0;
  std::string target_piece_;  // when not empty, the cut is at the first statement holding it
  bool hold_next_ = false;
  bool galera_node_ = false;
  int holding_ = 0;               // statements held and not yet released
  std::condition_variable held_;  // a statement is held, or another seen
  Cut how_ = Cut::kBeforeSending;
  ErrorReply reply_{};    // for Cut::kErrorReply
  int replies_left_ = 0;  // answers still to give after this one
  int seen_ = 0;
  bool fired_ = false;
  std::string cut_statement_;
};

#endif  // KORVANE_TESTS_SUPPORT_FAULT_PROXY_H_
