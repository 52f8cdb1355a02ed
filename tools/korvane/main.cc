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
constexpr int kExitServer = 1;  // the server ended the session or could not be reached
constexpr int kExitUsage = 2;   // a bad option or a bad command

constexpr char kInsecureWarning[] =
    "korvane: warning: --insecure: the server's certificate is not checked, so anyone on the "
    "path can pose as the server and read the session, password included";

// Runs script lines in order and stops at the first that cannot be sent.
template <typename NextLine>
int run_script(Session* session, NextLine next_line) {
  std::string line;
  while (next_line(&line)) {
    switch (session->run(line)) {
      case Session::Outcome::kAnswered:
        break;
      case Session::Outcome::kBadCommand:
      case Session::Outcome::kCancelled:
        return kExitUsage;
      case Session::Outcome::kQuit:
        return kExitOk;
      case Session::Outcome::kServerGone:
        return kExitServer;
    }
  }
  return kExitOk;
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

  std::unique_ptr<Connection> connection;
  if (!options.exec_path.empty()) {
    use_local_database(options.exec_path);  // where scripts/run keeps its database
    connection = Connection::start_server(options.exec_path, &error);
  } else if (options.tls) {
    if (options.insecure) std::cerr << kInsecureWarning << std::endl;
    connection = Connection::connect_tls(options.host, options.port,
                                         TlsSettings{options.ca_file, options.insecure}, &error);
  } else {
    connection = Connection::connect_tcp(options.host, options.port, &error);
  }
  if (connection == nullptr) {
    std::cerr << "korvane: " << error << std::endl;
    return kExitServer;
  }
  Session session(connection.get(), options.human, std::cout, std::cerr, ask_password);
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
