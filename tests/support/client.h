// The korvane client and TCP serving, for end-to-end tests: run the client as a user would, serve
// the real server over TCP with scripts/serve, and start a database of its own when a test needs
// one that starts empty.
#ifndef KORVANE_TESTS_SUPPORT_CLIENT_H_
#define KORVANE_TESTS_SUPPORT_CLIENT_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

struct ClientRun {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number
};

// Runs the client with `args`, `input` on its standard input (a pipe, so it runs as a script),
// and waits for it to end. A client that does not end within the deadline fails the test.
ClientRun run_client(const std::vector<std::string>& args, const std::string& input = "");

// How scripts/serve is started; empty or 0 leaves the script's default.
struct ServeOptions {
  // Added to the environment of the script and so of every server it starts.
  std::map<std::string, std::string> env;
  std::string server;  // the server program; default the built korvane-server
  std::string tls_cert;
  std::string tls_key;
  int max_sessions = 0;
  int max_per_source = -1;  // -1: the default; 0: no cap
  int backlog = 0;
};

// scripts/serve on a free port of 127.0.0.1.
class ServedOverTcp {
 public:
  explicit ServedOverTcp(const ServeOptions& options);
  explicit ServedOverTcp(const std::map<std::string, std::string>& env = {})
      : ServedOverTcp(with_env(env)) {}
  ~ServedOverTcp();  // stops the script and every process it started
  ServedOverTcp(const ServedOverTcp&) = delete;
  ServedOverTcp& operator=(const ServedOverTcp&) = delete;

  // "127.0.0.1:PORT".
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }

  // What the script printed on standard output.
  std::string banner() const;

 private:
  static ServeOptions with_env(const std::map<std::string, std::string>& env) {
    ServeOptions options;
    options.env = env;
    return options;
  }

  pid_t pid_ = -1;
  int port_ = 0;
  std::string banner_file_;
};

// A private MariaDB that starts empty, made with the scripts' own helpers, removed at the end.
class FreshDatabase {
 public:
  FreshDatabase();
  ~FreshDatabase();
  FreshDatabase(const FreshDatabase&) = delete;
  FreshDatabase& operator=(const FreshDatabase&) = delete;

  // The environment that points the server at it.
  std::map<std::string, std::string> env() const;

 private:
  std::string dir_;
};

#endif  // KORVANE_TESTS_SUPPORT_CLIENT_H_
