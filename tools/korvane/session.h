// One client session: commands in, requests out, answers printed. The transport, the source of
// the lines and the terminal are the caller's; this only decides what each line does.
#ifndef KORVANE_TOOLS_KORVANE_SESSION_H_
#define KORVANE_TOOLS_KORVANE_SESSION_H_

#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "korvane/connection.h"

class Session {
 public:
  enum class Outcome {
    kAnswered,    // sent and answered, or done locally (help, an empty line)
    kBadCommand,  // not a command; the error went to `err` and nothing was sent
    kCancelled,   // the user cancelled it at the password prompt; nothing was sent
    kQuit,        // the user ended the session
    kServerGone,  // the server ended the session, or the request could not be sent
  };

  // What asking for a password that a signup or signin line left out gave.
  struct PasswordEntry {
    enum class Status {
      kTyped,       // `password` holds what was typed (maybe nothing)
      kCancelled,   // the user ended the input instead (Ctrl-D)
      kNoTerminal,  // there is no one to ask
    };
    Status status = Status::kNoTerminal;
    std::string password;
  };
  using PasswordPrompt = std::function<PasswordEntry()>;

  // `out` gets the answers, `err` the client's own messages. REQUIRES: `connection` outlives the
  // session.
  Session(Connection* connection, bool human, std::ostream& out, std::ostream& err,
          PasswordPrompt ask_password);

  // Waits for the server's first prompt and prints whatever it said before it. False when the
  // server ended first (the message went to `err`).
  bool start();

  // Runs one line. A signup or signin without a password asks for one; when there is no one
  // to ask the line is a bad command. An answer that lacks what the request asked for (an order
  // that traded nothing, say) is told on `err` as well (korvane/outcome.h).
  Outcome run(const std::string& line);

 private:
  Outcome server_gone(const std::string& why);

  Connection* connection_;
  bool human_;
  std::ostream& out_;
  std::ostream& err_;
  PasswordPrompt ask_password_;
};

#endif  // KORVANE_TOOLS_KORVANE_SESSION_H_
