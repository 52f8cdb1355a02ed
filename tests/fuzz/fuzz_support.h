// What the fuzz targets share: the stand-ins that replace the database connection, the bytes
// written to the client and the end of the process, so that the server's code runs in process and
// one input after another.
//
// The fuzz build builds these in place of src/db/mysql_client.cc, src/base/client_stream.cc and
// src/base/end_process.cc (the table in CMakeLists.txt here); everything else is the server's own
// code.
#ifndef KORVANE_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define KORVANE_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <string>
#include <string_view>

// Thrown by end_process(): the process would have ended here with `status`.
struct ProcessEnded {
  int status;
};

// Everything written to the client since the last clear().
std::string& captured_output();

// The characters the filter must catch, in the order it must look for them; written out here
// again so that the targets check the server's filter against a list of their own.
constexpr std::string_view kFilteredCharacters("'\" $)(;-#\\", 10);

// Stops the program with a message on standard error; libFuzzer records the input as a crash.
[[noreturn]] void fuzz_failure(const std::string& what);

// The database stand-in behind MySQLClient. It knows every statement text of the server and
// answers each one plausibly (a signed-in account 7 with a balance, a market, one trade, two
// address-book entries). The answers can be bent, statement by statement, by a script of bytes
// taken from the fuzz input: failures with the error numbers a real server gives (lost
// connection, duplicate key, lock wait timeout, deadlock, node not ready, interrupted), empty
// results, NULL or odd column texts, more rows, other column counts for SELECT *. A lost
// connection ends the open transaction, as the database does; a COMMIT whose answer is lost may
// have been applied or not, and the locking reads that ask about it afterwards tell the truth.
//
// While it answers it checks what the server must never do, and calls fuzz_failure() when it
// does: run a statement that is not one of its texts, or whose client text broke out of its
// quotes; write balances, stock, accounts or the trade log outside a transaction; begin a
// transaction inside another.
namespace stand_in_db {

// Forgets the previous input: no transaction open, answers taken from `script`, one byte per
// statement, and the plausible answer once the script is used up.
void reset(std::string_view script);

// Statements run since reset() or the last finish_request().
int statements_run();

// Checks what must hold once a request is answered, given what it printed: no transaction is
// left open, and a trade response was printed only if a commit succeeded. Pass `ended` when the
// process would have ended inside the request: the database rolls back its transaction then.
void finish_request(const std::string& output, bool ended);

}  // namespace stand_in_db

#endif  // KORVANE_TESTS_FUZZ_FUZZ_SUPPORT_H_
