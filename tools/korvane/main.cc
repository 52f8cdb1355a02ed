// korvane: the command-line client of the korvane exchange server.
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "korvane/connection.h"
#include "korvane/local_db.h"
#include "korvane/options.h"
#include "korvane/session.h"
#include "korvane/terminal.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitServer = 1;   // the server ended the session or could not be reached
constexpr int kExitUsage = 2;    // a bad option or a bad command
constexpr int kExitRefused = 3;  // the server refused a request, or left it undone

constexpr char kInsecureWarning[] =
    "korvane: warning: --insecure: the server's certificate is not checked, so anyone on the "
    "path can pose as the server and read the session, password included";

// Runs script lines in order and stops at the first that cannot be sent. A refused request
// does not stop it (the next line may be another sign-in), but fails it at the end.
template <typename NextLine>
int run_script(Session* session, NextLine next_line) {
  std::string line;
  int done = kExitOk;
  while (next_line(&line)) {
    switch (session->run(line)) {
      case Session::Outcome::kAnswered:
        break;
      case Session::Outcome::kRefused:
        done = kExitRefused;
        break;
      case Session::Outcome::kBadCommand:
      case Session::Outcome::kCancelled:
        return kExitUsage;
      case Session::Outcome::kQuit:
        return done;
      case Session::Outcome::kServerGone:
      case Session::Outcome::kUnknown:  // the next line would go to a session in doubt
        return kExitServer;
    }
  }
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed connection shows as a failed write instead
  Options options;
  std::string error;
  if (!parse_options(argc, argv, &options, &error)) {
    std::cerr << "korvane: " << error << "\n"
              << "usage: korvane [--connect HOST:PORT | --exec SERVER] [--human] [-c COMMAND]..."
              << std::endl;
    return kExitUsage;
  }
  if (options.help) {
    std::cout << usage_text();
    return kExitOk;
  }

  if (options.tls && options.insecure) std::cerr << kInsecureWarning << std::endl;
  if (!options.exec_path.empty()) use_local_database(options.exec_path);  // scripts/run's
  Session::Connect connect = [&options](std::string* error) {
    if (!options.exec_path.empty()) return Connection::start_server(options.exec_path, error);
    if (options.tls) {
      return Connection::connect_tls(options.host, options.port,
                                     TlsSettings{options.ca_file, options.insecure}, error);
    }
    return Connection::connect_tcp(options.host, options.port, error);
  };
  Session session(connect, options.human, isatty(STDERR_FILENO) != 0, std::cout, std::cerr,
                  {ask_password, ask_confirmation});
  if (!session.start()) return kExitServer;

  if (!options.commands.empty()) {
    size_t next = 0;
    return run_script(&session, [&](std::string* line) {
      if (next == options.commands.size()) return false;
      *line = options.commands[next++];
      return true;
    });
  }
  if (isatty(STDIN_FILENO)) return run_interactive(&session);
  return run_script(
      &session, [](std::string* line) { return static_cast<bool>(std::getline(std::cin, *line)); });
}
