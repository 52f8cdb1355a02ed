// The korvane client and TCP serving, for end-to-end tests: run the client as a user would, serve
// the real server over TCP with scripts/serve (and test the script itself), and start a database
// of its own when a test needs one that starts empty.
#ifndef KORVANE_TESTS_SUPPORT_CLIENT_H_
#define KORVANE_TESTS_SUPPORT_CLIENT_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/reaper.h"

struct ClientRun {
  std::string out;  // standard output
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number
};

// Runs the client with `args`, `input` on its standard input (a pipe, so it runs as a script),
// and waits for it to end. A client that does not end within the deadline fails the test.
ClientRun run_client(const std::vector<std::string>& args, const std::string& input = "");

// A port of 127.0.0.1 that nobody has bound, below the kernel's range of ephemeral ports so that
// no connection made from this machine is given it as its own end meanwhile; 0 when none is
// found. Whoever binds it should still expect to lose a race with another listener.
int free_local_port();

// True when a process of process group `group` holds the socket listening on 127.0.0.1:`port`:
// the listener is up and is that group's, not whoever else listens there. Processes that end
// meanwhile are passed over.
bool group_listens(pid_t group, int port);

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
  // With `web`, the page and the WebSocket endpoint on a second free port (--web-port), the page
  // from `web_root` (the script's default when empty), and `web_origin` for --web-origin.
  bool web = false;
  std::string web_root;
  std::string web_origin;
  // The script, from the source tree: scripts/run, which builds and becomes scripts/serve, takes
  // the same options.
  std::string script = "scripts/serve";
  // More arguments, after those above. A --port among them is used as given, and the script is
  // run once: the test judges whether it serves (serving(), exit_status(), err()).
  std::vector<std::string> args;
};

// scripts/serve (or scripts/run) on a port of 127.0.0.1, in a process group of its own that it
// leads, with what it prints kept; the group is stopped at the end, or by a Reaper should the
// test process die first.
//
// Unless the arguments name one, the port comes from free_local_port(). One that another
// listener took meanwhile makes socat fail, and another is tried; the listener counts as up only
// once the port's listening socket is held by a process the script started, never by whoever
// else listens there. A script that never listens on a port it chose fails the test.
class ServedOverTcp {
 public:
  explicit ServedOverTcp(const ServeOptions& options);
  explicit ServedOverTcp(const std::map<std::string, std::string>& env = {})
      : ServedOverTcp(with_env(env)) {}
  ~ServedOverTcp();  // stops the script and every process it started
  ServedOverTcp(const ServedOverTcp&) = delete;
  ServedOverTcp& operator=(const ServedOverTcp&) = delete;

  // True while the script serves: it listened, and has not ended.
  bool serving();

  // "127.0.0.1:PORT".
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  int port() const { return port_; }
  // The port of the page and the WebSocket endpoint (ServeOptions::web); 0 without them.
  int web_port() const { return web_port_; }

  // What the script printed on standard output: once it serves, all of its banner.
  std::string banner() const;
  // What it printed on standard error.
  std::string err() const;

  // The server processes it runs now, one per session.
  std::vector<pid_t> servers() const;

  // Sessions that count against the per-source cap now: the slot locks held by the sessions'
  // servers. A slot is freed only when its server has ended, a while after its client has gone;
  // a test waits for this count before it counts on the slot. -1 when it cannot be read.
  // REQUIRES: a per-source cap (max_per_source not 0).
  int sessions() const;

  // Sends `signal` to the script's process alone.
  void signal(int signal);

  // Waits until the script has ended and returns its exit status, or 128 + signal number (-1,
  // with a test failure, when it does not end).
  int wait_exit();
  // The exit status of a script that has ended (-1 while it runs).
  int exit_status();

  // Waits until nothing the script started runs any more; false, with a test failure naming
  // each, when something still does.
  bool wait_all_ended();

 private:
  static ServeOptions with_env(const std::map<std::string, std::string>& env) {
    ServeOptions options;
    options.env = env;
    return options;
  }

  // Runs the script with `args` on port_; true once its listeners are up, false when it ended
  // first.
  bool start(const std::string& script, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env);

  int port_ = 0;
  int web_port_ = 0;
  std::string banner_file_;
  std::string err_file_;
  // The script, which leads the process group of all it starts; stopped with all of them.
  std::unique_ptr<StartedGroup> group_;
};

// A private MariaDB that starts empty, made with the scripts' own helpers, removed at the end, or
// when the test process dies, by a Reaper.
class FreshDatabase {
 public:
  // `server_options` go to mariadbd, e.g. "--default-time-zone=+09:00".
  explicit FreshDatabase(const std::vector<std::string>& server_options = {});
  ~FreshDatabase();
  FreshDatabase(const FreshDatabase&) = delete;
  FreshDatabase& operator=(const FreshDatabase&) = delete;

  // The environment that points the server at it.
  std::map<std::string, std::string> env() const;

  // Its unix socket.
  std::string socket() const { return dir_ + "/mysqld.sock"; }

 private:
  std::string dir_;
  std::unique_ptr<Reaper> reaper_;
};

#endif  // KORVANE_TESTS_SUPPORT_CLIENT_H_
