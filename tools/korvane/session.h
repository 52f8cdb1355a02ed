// One client session: commands in, requests out, answers printed. The source of the lines and the
// terminal are the caller's; this decides what each line does, and opens the connection, again
// when a sign-in needs a new one: a server process allows one sign-in for its whole life.
#ifndef KORVANE_TOOLS_KORVANE_SESSION_H_
#define KORVANE_TOOLS_KORVANE_SESSION_H_

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "korvane/connection.h"
#include "korvane/outcome.h"

class Session {
 public:
  enum class Outcome {
    kAnswered,    // sent and answered, or done locally (help, an empty line)
    kRefused,     // sent, but the server did not carry it out; why went to `err`
    kBadCommand,  // not a command; the error went to `err` and nothing was sent
    kCancelled,   // the user cancelled it at a prompt; nothing was sent
    kQuit,        // the user ended the session
    kServerGone,  // the server ended the session, or the request could not be sent
  };

  // What asking for a password that a signup or signin line left out gave.
  struct PasswordEntry {
    enum class Status {
      kTyped,       // `password` holds what was typed (maybe nothing)
      kCancelled,   // the user ended the input instead (Ctrl-D, Ctrl-C)
      kNoTerminal,  // there is no one to ask
    };
    Status status = Status::kNoTerminal;
    std::string password;
  };
  enum class Confirmation { kYes, kNo, kNoTerminal };
  struct Prompts {
    std::function<PasswordEntry()> password;
    // Shows what a request will do and asks whether to go on.
    std::function<Confirmation(const std::string& what)> confirm;
  };
  // Opens a connection to the server; null, with *error set, when it cannot.
  using Connect = std::function<std::unique_ptr<Connection>(std::string* error)>;

  // `out` gets the answers, `err` the client's own messages. With `tell_waits` a greeting slow
  // to come is told on `err` while it is awaited (for a person; a script sees no such line).
  Session(Connect connect, bool human, bool tell_waits, std::ostream& out, std::ostream& err,
          Prompts prompts);

  // Connects, waits for the server's first prompt and prints whatever it said before it. False
  // when that fails or the server ended first (why went to `err`).
  bool start();

  // Runs one line. A signup or signin without a password asks for one; when there is no one
  // to ask the line is a bad command. An answer that lacks what the request asked for (an order
  // that traded nothing, say) is told on `err` as well (korvane/outcome.h).
  Outcome run(const std::string& line);

 private:
  Outcome server_gone(const std::string& why);
  // Sends `request` and reads its answer into *answer; kAnswered, or kServerGone (told).
  Outcome exchange(const korvane::KorvaneInterface& request, std::string* answer);
  // The coins of `symbol` the account holds, read with a balance request whose answer is not
  // shown; nothing when it cannot be read.
  std::optional<uint64_t> coins_held(int symbol);

  Connect connect_;
  std::unique_ptr<Connection> connection_;
  bool human_;
  bool tell_waits_;
  std::ostream& out_;
  std::ostream& err_;
  Prompts prompts_;
  SessionFacts facts_;
  // A sign-in was sent on this connection, or a sign-out ended its user: the server takes no
  // sign-in any more, so the next one needs a new connection.
  bool signin_spent_ = false;
};

#endif  // KORVANE_TOOLS_KORVANE_SESSION_H_
