// The client's command language: one line typed by a person or read from a script becomes one
// request envelope, or a local action (help, quit). Parsing does no I/O, so every rule here can
// be checked without a server.
#ifndef KORVANE_TOOLS_KORVANE_COMMANDS_H_
#define KORVANE_TOOLS_KORVANE_COMMANDS_H_

#include <google/protobuf/message.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvane.pb.h"

struct Command {
  enum class Kind {
    kNothing,  // an empty line or a comment
    kSend,     // send `request`
    kHelp,     // print `help`
    kQuit,     // end the session
  };
  Kind kind = Kind::kNothing;
  korvane::KorvaneInterface request;
  // The response message the server answers this request with as JSON, if any (a default
  // instance owned by the protobuf library).
  const google::protobuf::Message* answer_type = nullptr;
  // signup or signin without a password: the caller asks for one, or refuses the command when
  // there is no one to ask.
  bool password_missing = false;
  // Non-empty: what the request will do, to be confirmed before it is sent; with no one to ask
  // the command is refused (the user gives --yes instead).
  std::string confirm;
  // The usage line of the command ("usage: ..."), for errors found after parsing.
  std::string usage;
  // Lines at the start of the answer that the --human view leaves out, because the answer's
  // document or the client's note says them again (a buy's price and stock lines, say).
  size_t human_skips_lines = 0;
  // For kHelp: the text to print.
  std::string help;
};

// What parse_command gives back: the command, or a one-line error and a usage hint.
struct ParseResult {
  bool ok = false;
  Command command;
  std::string error;  // what is wrong, one line, no line end
  std::string usage;  // the usage line of the command, or a pointer to help
};

// Parses one line. `now` is the current time in seconds, which orders carry unless --at gives
// another. Words are split as split_words says; a line whose first word starts with '#' is a
// comment.
ParseResult parse_command(std::string_view line, uint64_t now);

// The coin id of a symbol name (BTC, ETH, XRP, SOL, in any case), or nothing.
std::optional<int> symbol_id(std::string_view name);

// Puts `password` into the signup or signin request of `command`.
void set_password(Command* command, const std::string& password);

// True when `line` may be kept in the history file: it names a command and carries no password
// typed into the line itself. A line that names no command is not kept either, as it may be a
// mistyped command with its password.
bool line_may_be_kept(std::string_view line);

// The list of every command with its usage, for `help` and --help.
std::string help_text();

#endif  // KORVANE_TOOLS_KORVANE_COMMANDS_H_
