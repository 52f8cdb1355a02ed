// Process start-up and the request loop.
#ifndef KORVANE_SERVER_STARTUP_H_
#define KORVANE_SERVER_STARTUP_H_

#include <string>

// The session's time limits, fixed when the server program is built (main.cc).
struct SessionLimits {
  // How long a session may sit at the prompt before it ends; 0 for no limit. An idle session
  // still holds a database connection, so without a limit enough idle clients would take every
  // connection the database allows. The waits count it in milliseconds, in an int: 24 days at
  // most.
  int idle_seconds;
  // How long a session that lost its database tries to connect again, with backoff, before it
  // ends (MySQLClient::reconnect).
  int reconnect_seconds;
};

// Creates the signed-out session, makes standard input and output unbuffered, sets up the
// waits for requests and for the client with the idle limit (session_waits.h), runs the bootstrap
// script through the mysql client, connects to the database with the reconnect bound (ending the
// process with status 255 when that fails) and installs the SIGSEGV handler, in that order.
void init(const SessionLimits& limits);

// The shell command start-up runs to bootstrap the database: the mysql client, as the server's
// database user on the server's host, fed `script` (by default the bootstrap script the server
// was built with). It holds no password, so that none shows in `ps` while it runs:
// run_bootstrap() gives the client the password in its environment.
std::string bootstrap_command();
std::string bootstrap_command(const std::string& script);

// Runs bootstrap_command(script) through /bin/sh with the database password in the mysql
// client's environment and the signals as the process started with them; returns its wait status
// as system() does (-1 when it could not run). Tests run it to do exactly what a start does.
int run_bootstrap();
int run_bootstrap(const std::string& script);

// Prints the prompt, reads one request of at most 10240 bytes and runs it (request_runner.h), for
// as long as the client sends. Ends the process with status 0 at end of input, at the idle
// limit and on a stop signal, and with 255 on a read error.
[[noreturn]] void serve_requests();

// The SIGSEGV handler: writes at most 10240 bytes of the process's memory map to standard
// output (to standard error when standard output was a socket at start-up) and ends the process
// with status 255.
void handler(int);

#endif  // KORVANE_SERVER_STARTUP_H_
