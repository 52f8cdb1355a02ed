// MySQLClient is the process's one connection to the database. Every statement of every
// operation runs through it, strictly one after another.
//
// The library's connection record is the first member, so the object is what every library
// call receives as the connection. The connection is opened once at start-up and never closed,
// replaced or reconnected; if the database goes away, later statements simply fail.
#ifndef KORVANE_DB_MYSQL_CLIENT_H_
#define KORVANE_DB_MYSQL_CLIENT_H_

#include <mysql.h>

#include <string>

#include "db/result_set.h"

class MySQLClient {
 public:
  // Stores the connection parameters fixed at build time; does not connect.
  MySQLClient();

  MySQLClient(const MySQLClient&) = delete;
  MySQLClient& operator=(const MySQLClient&) = delete;

  // Connects, with utf8mb4 and the UTC time zone for the session. Returns 0 on success. On
  // failure prints "[MySQL] Connection Error" and ends the process with status 255.
  int init_mysql_connect();

  // Runs a statement whose result is not wanted (INSERT or UPDATE only) and reports its error
  // number through handle_error(). An empty statement ends the process with status 255.
  void exec_query(std::string statement);

  // Runs a statement and returns its stored result set, or an empty ResultSet when the
  // statement failed or yields no rows (every INSERT and UPDATE). Nothing is printed. An empty
  // statement ends the process with status 255.
  ResultSet exec_query_result(std::string statement);

  // Prints "Duplicate ID" for the duplicate-key error 1062; ignores every other number.
  void handle_error(int code);

  // Returns true and prints "Detected SQL Injection: " with the character when `text` holds one
  // of the filtered characters (see the .cc for the list and why its order matters).
  bool detect_sqli(std::string text);

  // Transaction control. begin_transaction() and commit() return true when the statement
  // succeeded; rollback() undoes everything since begin_transaction() and never fails loudly.
  bool begin_transaction();
  bool commit();
  void rollback();

  // Error number of the statement that ran last; 0 after one that succeeded.
  unsigned int last_error();

 private:
  MYSQL handle_;
  const char* host_;
  const char* user_;
  const char* password_;
  const char* database_;
};

#endif  // KORVANE_DB_MYSQL_CLIENT_H_
