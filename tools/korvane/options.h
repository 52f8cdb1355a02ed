// The client's command-line options.
#ifndef KORVANE_TOOLS_KORVANE_OPTIONS_H_
#define KORVANE_TOOLS_KORVANE_OPTIONS_H_

#include <string>
#include <vector>

struct Options {
  // Where the server is: a TCP address, or a server program to start on pipes. With neither
  // option the client connects to 127.0.0.1:7070, where scripts/run serves.
  std::string host = "127.0.0.1";
  std::string port = "7070";
  std::string exec_path;  // non-empty: start this program instead of connecting
  bool tls = false;       // --tls: TLS over the TCP connection
  std::string ca_file;    // --ca FILE: trust these certificates instead of the system's
  bool insecure = false;  // --insecure: do not check the server's certificate

  std::vector<std::string> commands;  // -c COMMAND, in order; none: read standard input
  bool human = false;                 // --human: JSON answers as readable lines
  bool help = false;                  // --help: print the usage and exit
};

// Parses argv. False, with *error set to a one-line message, on a bad or missing value.
bool parse_options(int argc, const char* const* argv, Options* options, std::string* error);

// The text of --help.
std::string usage_text();

#endif  // KORVANE_TOOLS_KORVANE_OPTIONS_H_
