// The client's command language: a line is cut into words (words.h), its command looked up in
// the command table (command_table.h), its options split off and its arguments counted, and the
// row's builder fills the request. Help and quit are done here, without a request.
#include "korvane/commands.h"

#include <algorithm>

#include "korvane/command_args.h"
#include "korvane/command_table.h"
#include "korvane/words.h"

namespace {

constexpr char kHelpHint[] = "type 'help' for the list of commands";
constexpr char kAddressHint[] = "type 'help address' for its forms";

std::string usage_hint(const CommandSpec& spec) { return std::string("usage: ") + spec.usage; }

ParseResult failure(std::string error, std::string usage) {
  ParseResult r;
  r.error = std::move(error);
  r.usage = std::move(usage);
  return r;
}

// The row the first words name (one word, or "address" and a second; exit is quit), with *used
// set to how many words the name took; null, with *failed set, when no row has that name.
const CommandSpec* find_spec(const std::vector<std::string>& words, size_t* used,
                             ParseResult* failed) {
  std::string name = lower(words[0]);
  *used = 1;
  if (name == "address") {
    if (words.size() < 2) {
      *failed =
          failure("'address' needs one of: list, add, set, overwrite-all, delete", kAddressHint);
      return nullptr;
    }
    name += " " + lower(words[1]);
    *used = 2;
  }
  if (name == "exit") name = "quit";
  const auto& table = commands();
  auto spec = std::find_if(table.begin(), table.end(),
                           [&](const CommandSpec& s) { return name == s.name; });
  if (spec != table.end()) return &*spec;
  *failed = *used == 2 ? failure("unknown address command '" + words[1] +
                                     "': use list, add, set, overwrite-all or delete",
                                 kAddressHint)
                       : failure("unknown command '" + words[0] + "'", kHelpHint);
  return nullptr;
}

// The words after the name as the row's arguments: options split off, and as many positional
// ones as the row takes. False, with *failed set, when they are not.
bool read_args(const CommandSpec& spec, const std::vector<std::string>& words, Args* args,
               ParseResult* failed) {
  std::string error;
  if (!split_options(spec.options, spec.flags, words, args, &error)) {
    *failed = failure(error, usage_hint(spec));
  } else if (args->positional.size() < spec.required) {
    *failed =
        failure(std::string("missing ") + spec.args[args->positional.size()], usage_hint(spec));
  } else if (args->positional.size() > spec.args.size()) {
    *failed = failure("unexpected argument '" + args->positional[spec.args.size()] + "'",
                      usage_hint(spec));
  } else {
    return true;
  }
  return false;
}

// Fills result->command from the row and its arguments: the help asked for, quit, or the request
// the row's builder makes. False, with *result set to the failure, when a value is bad.
bool fill(const CommandSpec& spec, const Args& args, uint64_t now, ParseResult* result) {
  Command& command = result->command;
  command.usage = usage_hint(spec);
  const std::string_view name = spec.name;
  if (name == "help") {
    command.kind = Command::Kind::kHelp;
    command.help = args.positional.empty() ? help_text() : help_for(lower(args.positional[0]));
    if (!command.help.empty()) return true;
    *result = failure("no command '" + args.positional[0] + "'", kHelpHint);
    return false;
  }
  if (name == "quit") {
    command.kind = Command::Kind::kQuit;
    return true;
  }
  command.kind = Command::Kind::kSend;
  std::string error;
  if (spec.build(args, now, &command, &error)) return true;
  *result = failure(error, command.usage);
  return false;
}

}  // namespace

std::optional<int> symbol_id(std::string_view name) {
  // Ids are the protocol's coin enumeration; id 3 is SOL, which the enumeration calls ELF.
  static const char* const kNames[] = {"btc", "eth", "xrp", "sol"};
  std::string l = lower(name);
  for (int id = 0; id < 4; ++id) {
    if (l == kNames[id]) return id;
  }
  return std::nullopt;
}

ParseResult parse_command(std::string_view line, uint64_t now) {
  ParseResult result;
  std::vector<std::string> words;
  const size_t first = line.find_first_not_of(" \t\r\n");
  if (first != std::string_view::npos && line[first] != '#') {  // else a blank line, a comment
    std::string error;
    if (!split_words(line, &words, &error)) return failure(error, kHelpHint);
  }
  if (words.empty()) {  // also a line of empty quotes
    result.ok = true;
    return result;
  }
  size_t used = 0;
  const CommandSpec* spec = find_spec(words, &used, &result);
  if (spec == nullptr) return result;
  Args args;
  if (!read_args(*spec, std::vector<std::string>(words.begin() + used, words.end()), &args,
                 &result)) {
    return result;
  }
  result.ok = fill(*spec, args, now, &result);
  return result;
}

void set_password(Command* command, const std::string& password) {
  if (command->request.has_event_signup()) {
    command->request.mutable_event_signup()->set_password(password);
  }
  if (command->request.has_event_signin()) {
    command->request.mutable_event_signin()->set_password(password);
  }
  command->password_missing = false;
}

bool line_may_be_kept(std::string_view line) {
  std::vector<std::string> words;
  std::string error;
  if (!split_words(line, &words, &error) || words.empty()) return false;
  // A line of no command may be a command mistyped with its password ("singin bob pw").
  std::string name = lower(words[0]);
  if (name == "exit") return true;
  const auto& table = commands();
  const bool known = std::any_of(table.begin(), table.end(), [&](const CommandSpec& s) {
    std::string_view n = s.name;
    return n.substr(0, n.find(' ')) == name;
  });
  return known && !((name == "signup" || name == "signin") && words.size() > 2);
}
