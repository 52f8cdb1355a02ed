// The client's help: the list of commands from the command table, and the rules that hold for
// all of them (symbols, quoting, times, the filter and the one sign-in per connection).
#include <algorithm>

#include "base/wire_facts.h"
#include "korvane/command_table.h"
#include "korvane/commands.h"
#include "korvane/text_rules.h"

std::string help_for(std::string_view topic) {
  std::string out;
  for (const CommandSpec& spec : commands()) {
    std::string_view name = spec.name;
    if (name == topic || name.substr(0, name.find(' ')) == topic) {
      out += std::string("usage: ") + spec.usage + "\n  " + spec.summary + "\n";
    }
  }
  return out;
}

std::string help_text() {
  size_t width = 0;
  for (const CommandSpec& spec : commands())
    width = std::max(width, std::string(spec.usage).size());
  std::string out = "Commands, one per line:\n";
  for (const CommandSpec& spec : commands()) {
    std::string usage = spec.usage;
    out += "  " + usage + std::string(width + 2 - usage.size(), ' ') + spec.summary + "\n";
  }
  out +=
      "SYMBOL is BTC, ETH, XRP or SOL, in any case. Quote words that hold blanks: 'like this'.\n"
      "Orders carry the current second unless --at gives seconds since 1970-01-01 00:00 UTC\n"
      "(0 to " +
      std::to_string(wire::kLatestTradeTime) +
      "). The bot guard refuses a second order of the same coin and side at\n"
      "the same second, so a script that buys twice within a second must give --at.\n"
      "A request the server refuses or leaves undone (an order that trades nothing, a sign-in\n"
      "with a wrong password, an eleventh address) says why on standard error. The server\n"
      "refuses " +
      filtered_list() + " in names, addresses and\nmemos; a name takes 1 to " +
      std::to_string(wire::kMaxUsernameBytes) +
      " bytes. The server allows one sign-in per connection:\n"
      "a later signin opens a new one.\n"
      "A signup or signin without PASSWORD asks for it on a terminal (a signup twice; Ctrl-D\n"
      "or Ctrl-C cancels); in a script it is an error. A signup takes no empty password.\n"
      "address overwrite-all shows the entries and asks before it overwrites them all; a\n"
      "script gives --yes instead. When the connection is lost during a request, the client\n"
      "opens a new session, signs in again and says whether the request was applied.\n";
  return out;
}
