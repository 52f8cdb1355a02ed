#include "korvane/options.h"

#include <cstring>

namespace {

// Splits HOST:PORT; an IPv6 host is written in brackets, as in [::1]:7070.
bool split_address(const std::string& address, std::string* host, std::string* port) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size()) return false;
  std::string h = address.substr(0, colon);
  if (h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  if (h.empty()) return false;
  *host = h;
  *port = address.substr(colon + 1);
  return true;
}

// A port is a number from 1 to 65535: a service name or a number beyond is a mistake of the
// command line, not a server that cannot be reached.
bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  const long n = std::stol(port);
  return n >= 1 && n <= 65535;
}

}  // namespace

bool parse_options(int argc, const char* const* argv, Options* options, std::string* error) {
  bool have_connect = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool takes_value = arg == "--connect" || arg == "--exec" || arg == "--ca" || arg == "-c";
    for (const char* name : {"--connect=", "--exec=", "--ca="}) {
      if (arg.compare(0, std::strlen(name), name) == 0) {
        value = arg.substr(std::strlen(name));
        arg.resize(std::strlen(name) - 1);
      }
    }
    if (takes_value) {
      if (i + 1 == argc) {
        *error = "option " + arg + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (arg == "--connect") {
      if (!split_address(value, &options->host, &options->port)) {
        *error = "bad address '" + value + "': expected HOST:PORT";
        return false;
      }
      if (!valid_port(options->port)) {
        *error = "bad port '" + options->port + "' in '" + value +
                 "': expected a number from 1 to 65535";
        return false;
      }
      have_connect = true;
    } else if (arg == "--exec") {
      if (value.empty()) {
        *error = "option --exec needs a program";
        return false;
      }
      options->exec_path = value;
    } else if (arg == "--tls") {
      options->tls = true;
    } else if (arg == "--ca") {
      if (value.empty()) {
        *error = "option --ca needs a file";
        return false;
      }
      options->ca_file = value;
    } else if (arg == "--insecure") {
      options->insecure = true;
    } else if (arg == "-c") {
      options->commands.push_back(value);
    } else if (arg == "--human") {
      options->human = true;
    } else if (arg == "-h" || arg == "--help") {
      options->help = true;
    } else {
      *error = "unknown option '" + arg + "'";
      return false;
    }
  }
  if (have_connect && !options->exec_path.empty()) {
    *error = "give --connect or --exec, not both";
    return false;
  }
  if ((!options->ca_file.empty() || options->insecure) && !options->tls) {
    *error = std::string(options->insecure ? "--insecure" : "--ca") + " goes with --tls";
    return false;
  }
  if (options->tls && !options->exec_path.empty()) {
    *error = "--tls is for --connect, not --exec";
    return false;
  }
  if (options->insecure && !options->ca_file.empty()) {
    *error = "give --ca or --insecure, not both";
    return false;
  }
  return true;
}

std::string usage_text() {
  return "usage: korvane [--connect HOST:PORT [--tls [--ca FILE | --insecure]] | --exec SERVER]\n"
         "               [--human] [-c COMMAND]...\n"
         "\n"
         "Talks to a korvane exchange server: over TCP (--connect, default 127.0.0.1:7070), or\n"
         "with a korvane-server it starts itself on pipes (--exec PATH). Unless MYSQL_UNIX_PORT\n"
         "names a database, a server started from a checkout's build folder uses the database\n"
         "scripts/run keeps in that checkout (var/db), when it runs.\n"
         "\n"
         "  --tls       use TLS; the server's certificate must be trusted and name HOST\n"
         "  --ca FILE   trust the certificates in FILE (PEM) instead of the system's\n"
         "  --insecure  with --tls, skip checking the certificate: the session is encrypted,\n"
         "              but whoever answers may be anyone (a warning says so)\n"
         "\n"
         "On a terminal it is interactive, with line editing and history (kept in\n"
         "$KORVANE_HISTFILE, by default ~/.korvane_history; lines with a password, and lines\n"
         "of no command, which may be a mistyped one with its password, are not).\n"
         "Ctrl-C clears the line; quit or Ctrl-D ends the session.\n"
         "Otherwise it runs the commands given with -c, or else those on standard input, and\n"
         "stops at the first command it cannot send; a signup or signin without its password\n"
         "is such a command there.\n"
         "\n"
         "  --human   show JSON answers as readable lines, bytes fields decoded, times in UTC\n"
         "\n"
         "A request the server refuses or leaves undone says why on standard error (from the\n"
         "server's outcome line, which is not shown), and the commands after it still run.\n"
         "\n"
         "A request cut off by a lost connection is settled: the client opens a new session,\n"
         "signs in again and says whether it was applied, or which command shows it.\n"
         "\n"
         "Exit status: 0 when every command was sent and carried out; 1 when the server ended\n"
         "the session or could not be reached, or a request's fate is not known; 2 for a bad\n"
         "option or a bad command (or one cancelled at a prompt), which is not sent; 3 when the\n"
         "server refused a request, or a request cut off was not applied.\n"
         "\n"
         "Type 'help' at the prompt, or run korvane -c help, for the commands.\n";
}
