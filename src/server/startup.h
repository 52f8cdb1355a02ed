// Process start-up and the request loop.
#ifndef KORVANE_SERVER_STARTUP_H_
#define KORVANE_SERVER_STARTUP_H_

#include <string>

// Creates the signed-out session, makes standard input and output unbuffered, runs the
// bootstrap script through the mysql client, connects to the database (ending the process with
// status 255 when that fails) and installs the SIGSEGV handler, in that order.
void init();

// The shell command start-up runs to bootstrap the database: the mysql client, as the server's
// database user on the server's host, fed `script` (by default the bootstrap script the server
// was built with). Tests and benchmarks run it to do exactly what a start does.
std::string bootstrap_command();
std::string bootstrap_command(const std::string& script);

// Prints the prompt, reads one request of at most 10240 bytes and runs it (request_runner.h), for
// as long as the client sends. Ends the process with status 0 at end of input and 255 on a read
// error.
[[noreturn]] void serve_requests();

// The SIGSEGV handler: writes at most 10240 bytes of the process's memory map to standard
// output and ends the process with status 255.
void handler(int);

#endif  // KORVANE_SERVER_STARTUP_H_
