// One client session: commands in, requests out, answers printed. The source of the lines and the
// terminal are the caller's; this decides what each line does, and opens the connection, again
// when a sign-in needs a new one: a server process allows one sign-in for its whole life.
//
// Every request asks for the server's outcome line (korvane/outcome.h), which is taken out of
// what is shown and said in words on `err`. A connection lost during a request that changes
// something (an order, an address) is settled here: a new session, a sign-in with the password
// this session was given, and a look at the history or the address list say whether the request
// was applied.
#ifndef KORVANE_TOOLS_KORVANE_SESSION_H_
#define KORVANE_TOOLS_KORVANE_SESSION_H_

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "korvane.pb.h"
#include "korvane/commands.h"
#include "korvane/connection.h"

class Session {
 public:
  enum class Outcome {
    kAnswered,    // sent and answered, or done locally (help, an empty line)
    kRefused,     // sent, but the server did not carry it out; why went to `err`
    kBadCommand,  // not a command; the error went to `err` and nothing was sent
    kCancelled,   // the user cancelled it at a prompt; nothing was sent
    kQuit,        // the user ended the session
    kServerGone,  // the server ended the session, or the request could not be sent
    // The connection was lost during a request and whether it was applied could not be found
    // out (how to look went to `err`); a new session is open when the server could be reached.
    kUnknown,
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
    // Asks for a password after `prompt` ("Password: ").
    std::function<PasswordEntry(const std::string& prompt)> password;
    // Shows what a request will do and asks whether to go on.
    std::function<Confirmation(const std::string& what)> confirm;
  };
  // Opens a connection to the server; null, with *error set, when it cannot.
  using Connect = std::function<std::unique_ptr<Connection>(std::string* error)>;

  // `out` gets the answers, `err` the client's own messages. With `tell_waits` a greeting or an
  // answer slow to come is told on `err` while it is awaited (for a person; a script sees no
  // such line).
  Session(Connect connect, bool human, bool tell_waits, std::ostream& out, std::ostream& err,
          Prompts prompts);

  // Connects, waits for the server's first prompt and prints whatever it said before it. False
  // when that fails or the server ended first (why went to `err`).
  bool start();

  // Runs one line. A signup or signin without a password asks for one; when there is no one
  // to ask the line is a bad command. A request the server did not carry out is told on `err`.
  Outcome run(const std::string& line);

 private:
  // One request's answer, its outcome line taken off.
  struct Reply {
    enum class Status {
      kAnswered,  // up to the prompt
      kLost,      // sent, but the connection ended before the prompt
      kGone,      // not sent: the session had ended, or the write failed (told on `err`)
    };
    Status status = Status::kGone;
    std::string answer;
    std::optional<korvane::Outcome> outcome;
  };

  // Told on `err` when the server ends a session that has nothing more to say.
  static constexpr char kServerEnded[] = "korvane: the server ended the session";
  // Told on `err` when the user cancels at a prompt.
  static constexpr char kCancelled[] = "korvane: cancelled, nothing was sent";

  // True when `outcome` is there and says "done".
  static bool done(const std::optional<korvane::Outcome>& outcome);
  // True when `reply` says its request was carried out.
  static bool answered_done(const Reply& reply);

  // Sends `request`, asking for its outcome line, and reads its answer (session.cc).
  Reply exchange(const korvane::KorvaneInterface& request);

  // The steps of run, in order (session_run.cc).
  // Does a command that sends nothing (help, quit, an empty line).
  Outcome run_locally(const Command& command);
  // Makes `command` ready to send: its password asked for, its size checked against one read of
  // the server, a new session opened when its sign-in needs one, an overwrite confirmed. Nothing
  // when it may be sent, else what became of it (nothing was sent).
  std::optional<Outcome> prepare(Command* command);
  // Asks for the password a signup or signin line left out (a signup's twice) and puts it into
  // `command`: nothing when it was typed, else what became of the command.
  std::optional<Outcome> ask_password(Command* command);
  // What became of `command`, whose connection ended before the prompt: told by its outcome
  // line when that came, else settled on a new session.
  Outcome lost_during(const Command& command, const Reply& reply);
  // Keeps what a sign-in or sign-out changed: the connection's one sign-in spent, the login a
  // new session signs in with again.
  void follow_sign_in(const korvane::KorvaneInterface& request, const Reply& reply);
  // The note of the outcome line on `err`, and the outcome it says.
  Outcome told(const korvane::KorvaneInterface& request, const Reply& reply);

  // The looks beside a request (session_looks.cc).
  // Asks before an overwrite of every entry, showing the entries: nothing to go on, else what
  // became of the command (an empty book has nothing to overwrite; nothing is sent).
  std::optional<Outcome> confirm_overwrite(const Command& command);
  // Says what became of `command`, whose connection was lost during it, as far as a new session
  // can find out.
  Outcome settle(const Command& command);
  // Signs in again on a new session with the name and password this session was given.
  bool sign_in_again();

  Connect connect_;
  std::unique_ptr<Connection> connection_;
  bool human_;
  bool tell_waits_;
  std::ostream& out_;
  std::ostream& err_;
  Prompts prompts_;
  // A sign-in was sent on this connection, or a sign-out ended its user: the server takes no
  // sign-in any more, so the next one needs a new connection.
  bool signin_spent_ = false;
  // The name and password of the sign-in that succeeded last, until a sign-out: a session
  // opened again after a lost connection signs in with them.
  std::optional<korvane::SignIn> login_;
};

#endif  // KORVANE_TOOLS_KORVANE_SESSION_H_
