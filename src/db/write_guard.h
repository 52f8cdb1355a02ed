// The form in which a Galera node is sent a write inside a transaction: it changes no row outside
// one, so a write that a node runs autocommitted after undoing its transaction commits nothing
// (db/exactly_once.h).
//
// Every UPDATE, DELETE and INSERT text of db/statements.h has a form the guard can take:
// UPDATE/DELETE ... WHERE c (c without a top-level OR), or INSERT INTO t VALUES(v) of one row.
// tests/unit/write_guard_test.cc checks every such text there.
#ifndef KORVANE_DB_WRITE_GUARD_H_
#define KORVANE_DB_WRITE_GUARD_H_

#include <string>

// True when `statement` writes (UPDATE, DELETE, INSERT).
bool is_write(const std::string& statement);

// `statement` in the form that changes no row unless it runs inside a transaction; a statement
// that does not write is returned as it is. An UPDATE or DELETE gets the condition added to its
// WHERE; INSERT ... VALUES(v) becomes INSERT ... SELECT v FROM DUAL WHERE the condition.
// REQUIRES: a write has one of the forms above.
std::string only_in_transaction(const std::string& statement);

#endif  // KORVANE_DB_WRITE_GUARD_H_
