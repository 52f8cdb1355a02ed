// Running the project's scripts from tests: quoting, a command's output, and whether this machine
// lets a test make hosts of its own (network namespaces).
#ifndef KORVANE_TESTS_SUPPORT_SHELL_H_
#define KORVANE_TESTS_SUPPORT_SHELL_H_

#include <string>

// `s` as one word of a shell command.
std::string shell_quote(const std::string& s);

// Runs a shell command with standard input from /dev/null and standard output and error into
// *output; returns its exit status (128 + the signal's number when a signal ended it). The
// command gets no other file of this process: what it leaves running (a database, a proxy) would
// otherwise hold the test's pipes and sockets open.
int run_command(const std::string& command, std::string* output);

// Whether this process may make network namespaces (root, and a kernel and container that allow
// them), so that a test can put a database node or a serving host on a host of its own.
bool namespaces_allowed();

#endif  // KORVANE_TESTS_SUPPORT_SHELL_H_
