// The table of the client's commands: one row per command, with what it is called, how it is
// used, what it takes and how it is built. The parser (commands.cc), the help text (help.cc) and
// every usage hint come from this table, so adding a command is one row and one builder.
#ifndef KORVANE_TOOLS_KORVANE_COMMAND_TABLE_H_
#define KORVANE_TOOLS_KORVANE_COMMAND_TABLE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/command_args.h"
#include "korvane/commands.h"

// Fills `command` from the arguments; false with *error set when a value is bad. `now` is the
// current time in seconds.
using Builder = bool (*)(const Args& args, uint64_t now, Command* command, std::string* error);

struct CommandSpec {
  const char* name;  // one word, or "address" and a second word
  const char* usage;
  const char* summary;
  std::vector<const char*> args;        // positional argument names, in order
  size_t required;                      // how many of them must be given
  std::vector<const char*> options;     // each takes a value
  Builder build;                        // null for the commands done locally (help, quit)
  std::vector<const char*> flags = {};  // options without a value
};

// Every command, in the order help lists them.
const std::vector<CommandSpec>& commands();

// The usage and summary of each command named `topic` ("buy"), or of each form of it
// ("address"); empty when there is none.
std::string help_for(std::string_view topic);

// The builders, by what the commands do. REQUIRES: the arguments the row requires are given.
// The account, the market and orders (trade_commands.cc).
bool build_signup(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_signin(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_me(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_signout(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_balance(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_market(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_buy(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_sell(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_history(const Args& a, uint64_t now, Command* c, std::string* error);
// The address book and deposits (address_commands.cc).
bool build_address_add(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_address_list(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_address_set(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_address_overwrite_all(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_address_delete(const Args& a, uint64_t now, Command* c, std::string* error);
bool build_deposit(const Args& a, uint64_t now, Command* c, std::string* error);

#endif  // KORVANE_TOOLS_KORVANE_COMMAND_TABLE_H_
