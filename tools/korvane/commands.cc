#include "korvane/commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <map>

#include "base/wire_facts.h"
#include "korvane/text_rules.h"
#include "korvane/words.h"
#include "server/dispatch.h"

namespace {

constexpr char kHelpHint[] = "type 'help' for the list of commands";
constexpr char kAddressHint[] = "type 'help address' for its forms";
// The last second a trade can be logged at: the database turns an order's time into a date-time
// with FROM_UNIXTIME, which takes 0 to 2147483647 (2038-01-19 03:14:07 UTC).
constexpr uint64_t kLatestTradeTime = 2147483647;

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--at" -> value; a flag ("--yes") -> ""

  const std::string* option(const char* name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : &it->second;
  }
};

// Fills `command` from the arguments; false with *error set when a value is bad.
using Builder = bool (*)(const Args& args, uint64_t now, Command* command, std::string* error);

// One row per command: what it is called, how it is used, what it takes, how it is built. The
// help text and every usage hint come from this table.
struct CommandSpec {
  const char* name;  // one word, or "address" and a second word
  const char* usage;
  const char* summary;
  std::vector<const char*> args;     // positional argument names, in order
  size_t required;                   // how many of them must be given
  std::vector<const char*> options;  // each takes a value
  Builder build;
  std::vector<const char*> flags = {};  // options without a value
};

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

template <typename T>
bool parse_number(const std::string& text, T* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
}

bool all_digits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "amount '99999999999999999999' is out of range: at most 18446744073709551615" for a number
// too large for T; nothing for any other text, which the caller judges itself.
template <typename T>
std::optional<std::string> out_of_range(const char* what, const std::string& text) {
  T value;
  if (!all_digits(text) || parse_number(text, &value)) return std::nullopt;
  return std::string(what) + " '" + text + "' is out of range: at most " +
         std::to_string(std::numeric_limits<T>::max());
}

bool parse_symbol(const std::string& text, int* id, std::string* error) {
  std::optional<int> found = symbol_id(text);
  if (!found) {
    *error = "unknown symbol '" + text + "': use BTC, ETH, XRP or SOL";
    return false;
  }
  *id = *found;
  return true;
}

bool parse_amount(const std::string& text, uint64_t* amount, std::string* error) {
  if (std::optional<std::string> range = out_of_range<uint64_t>("amount", text)) {
    *error = *range;
    return false;
  }
  if (!parse_number(text, amount) || *amount == 0) {
    *error = "bad amount '" + text + "': expected a whole number of coins above 0";
    return false;
  }
  return true;
}

// The time of an entry: --at when given, else now.
bool parse_time(const Args& args, uint64_t now, uint64_t* seconds, std::string* error) {
  const std::string* at = args.option("--at");
  if (at == nullptr) {
    *seconds = now;
    return true;
  }
  if (!parse_number(*at, seconds)) {
    *error = "bad time '" + *at + "': expected seconds since 1970-01-01 00:00 UTC";
    return false;
  }
  return true;
}

// The time of an order, as parse_time reads it; a number the trade log cannot hold is refused
// here rather than by the database, which would only make the order trade nothing.
bool parse_order_time(const Args& args, uint64_t now, uint64_t* seconds, std::string* error) {
  const std::string* at = args.option("--at");
  std::string_view digits = at == nullptr ? "" : std::string_view(*at);
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  bool number = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                               [](char c) { return c >= '0' && c <= '9'; });
  if (number && (!parse_number(*at, seconds) || *seconds > kLatestTradeTime)) {
    *error = "time '" + *at + "' is out of range: orders take 0 to " +
             std::to_string(kLatestTradeTime) + " (up to 2038-01-19 03:14:07 UTC)";
    return false;
  }
  return parse_time(args, now, seconds, error);
}

korvane::Symbol as_enum(int id) { return static_cast<korvane::Symbol>(id); }

bool build_account(const Args& a, Command* c, std::string* error, bool signup) {
  // A name the server refuses ends a sign-up's session, and spends a sign-in's one attempt.
  if (std::optional<std::string> problem = name_problem(a.positional[0])) {
    *error = *problem;
    return false;
  }
  c->request.set_event_id(signup ? event::kSignUp : event::kSignIn);
  std::string password = a.positional.size() > 1 ? a.positional[1] : "";
  c->password_missing = a.positional.size() < 2;
  if (signup && !c->password_missing) {
    if (std::optional<std::string> problem = signup_password_problem(password)) {
      *error = *problem;
      return false;
    }
  }
  if (signup) {
    c->request.mutable_event_signup()->set_username(a.positional[0]);
    c->request.mutable_event_signup()->set_password(password);
    c->answer_type = &korvane::SignUpResponse::default_instance();
  } else {
    c->request.mutable_event_signin()->set_username(a.positional[0]);
    c->request.mutable_event_signin()->set_password(password);
  }
  return true;
}

bool build_order(const Args& a, uint64_t now, Command* c, std::string* error, bool buy) {
  int symbol;
  uint64_t amount, at;
  if (!parse_symbol(a.positional[0], &symbol, error) ||
      !parse_amount(a.positional[1], &amount, error) || !parse_order_time(a, now, &at, error)) {
    return false;
  }
  if (buy) {
    c->request.set_event_id(event::kBuy);
    korvane::Buy* b = c->request.mutable_event_buy();
    b->set_symbol(symbol);
    b->set_amount(amount);
    b->set_timestamp(at);
    c->human_skips_lines = 2;  // the coin's price and stock, which the trade shows again
  } else {
    c->request.set_event_id(event::kSell);
    korvane::Sell* s = c->request.mutable_event_sell();
    s->set_symbol(as_enum(symbol));
    s->set_amount(amount);
    s->set_timestamp(at);
  }
  c->answer_type = &korvane::TradeResponse::default_instance();
  return true;
}

const std::vector<CommandSpec>& commands() {
  static const std::vector<CommandSpec> table = {
      {"signup",
       "signup NAME [PASSWORD]",
       "open an account with 100000000 KRW",
       {"NAME", "PASSWORD"},
       1,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* e) {
         return build_account(a, c, e, true);
       }},
      {"signin",
       "signin NAME [PASSWORD]",
       "sign in (each after the first on a new connection)",
       {"NAME", "PASSWORD"},
       1,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* e) {
         return build_account(a, c, e, false);
       }},
      {"me",
       "me",
       "show the signed-in account",
       {},
       0,
       {},
       [](const Args&, uint64_t, Command* c, std::string*) {
         c->request.set_event_id(event::kMyInfo);
         return true;
       }},
      {"signout",
       "signout",
       "sign out",
       {},
       0,
       {},
       [](const Args&, uint64_t, Command* c, std::string*) {
         c->request.set_event_id(event::kSignOut);
         return true;
       }},
      {"balance",
       "balance",
       "show your KRW and coin balances",
       {},
       0,
       {},
       [](const Args&, uint64_t, Command* c, std::string*) {
         c->request.set_event_id(event::kViewBalance);
         c->answer_type = &korvane::BalanceResponse::default_instance();
         return true;
       }},
      {"market",
       "market",
       "show each coin's price and stock",
       {},
       0,
       {},
       [](const Args&, uint64_t, Command* c, std::string*) {
         c->request.set_event_id(event::kViewMarket);
         c->answer_type = &korvane::MarketResponse::default_instance();
         return true;
       }},
      {"buy",
       "buy SYMBOL AMOUNT [--at SECONDS]",
       "buy coins from the exchange's stock",
       {"SYMBOL", "AMOUNT"},
       2,
       {"--at"},
       [](const Args& a, uint64_t now, Command* c, std::string* e) {
         return build_order(a, now, c, e, true);
       }},
      {"sell",
       "sell SYMBOL AMOUNT [--at SECONDS]",
       "sell coins to the exchange",
       {"SYMBOL", "AMOUNT"},
       2,
       {"--at"},
       [](const Args& a, uint64_t now, Command* c, std::string* e) {
         return build_order(a, now, c, e, false);
       }},
      {"history",
       "history SYMBOL buy|sell",
       "show your trades of one coin and side",
       {"SYMBOL", "buy|sell"},
       2,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         int symbol;
         if (!parse_symbol(a.positional[0], &symbol, error)) return false;
         std::string side = lower(a.positional[1]);
         if (side != "buy" && side != "sell") {
           *error = "bad side '" + a.positional[1] + "': use buy or sell";
           return false;
         }
         c->request.set_event_id(event::kViewHistory);
         c->request.mutable_event_history()->set_symbol(as_enum(symbol));
         c->request.mutable_event_history()->set_type(side == "buy" ? 1 : 0);
         c->answer_type = &korvane::HistoryResponse::default_instance();
         return true;
       }},
      {"address add",
       "address add SYMBOL ADDRESS MEMO [--at SECONDS]",
       "keep a withdrawal address (at most ten)",
       {"SYMBOL", "ADDRESS", "MEMO"},
       3,
       {"--at"},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         int symbol;
         if (!parse_symbol(a.positional[0], &symbol, error)) return false;
         std::optional<std::string> problem = address_problem(a.positional[1]);
         if (!problem) problem = memo_problem(a.positional[2]);
         if (problem) {
           *error = *problem;
           return false;
         }
         korvane::AddressBook* book = c->request.mutable_event_addressbook();
         if (a.option("--at") != nullptr) {  // else the server stamps the entry itself
           uint64_t seconds;
           if (!parse_time(a, 0, &seconds, error)) return false;
           book->set_create_at_ts(seconds);
         }
         c->request.set_event_id(event::kAddAddress);
         book->set_symbol(as_enum(symbol));
         book->set_address(a.positional[1]);
         book->set_memo(a.positional[2]);
         c->answer_type = &korvane::AddressBookResponse::default_instance();
         c->human_skips_lines = 2;  // the address and memo, which the entry shows again
         return true;
       }},
      {"address list",
       "address list",
       "show the entries of your address book, with their ids",
       {},
       0,
       {},
       [](const Args&, uint64_t, Command* c, std::string*) {
         c->request.set_event_id(event::kListAddresses);
         c->answer_type = &korvane::AddressBookEntry::default_instance();
         return true;
       }},
      {"address set",
       "address set ID NEW_ADDRESS",
       "rewrite the address of entry ID",
       {"ID", "NEW_ADDRESS"},
       2,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         int32_t id;
         if (std::optional<std::string> range =
                 out_of_range<int32_t>("entry id", a.positional[0])) {
           *error = *range;
           return false;
         }
         if (!parse_number(a.positional[0], &id) || id <= 0) {
           *error = "bad entry id '" + a.positional[0] + "': expected a whole number above 0";
           return false;
         }
         if (std::optional<std::string> problem = new_address_problem(a.positional[1])) {
           *error = *problem;
           return false;
         }
         c->request.set_event_id(event::kModifyAddress);
         c->request.mutable_event_modify_addressbook()->set__id(id);
         c->request.mutable_event_modify_addressbook()->set_new_addr(a.positional[1]);
         c->answer_type = &korvane::ModifyAddressBookResponse::default_instance();
         c->human_skips_lines = 1;  // the id, which the entry shows again
         return true;
       }},
      // The protocol's "every entry" request also carries an origin address, but the server
      // rewrites every entry of every coin whatever it holds, so the client offers no such filter.
      {"address overwrite-all",
       "address overwrite-all NEW_ADDRESS [--yes]",
       "overwrite the address of EVERY entry, of every coin",
       {"NEW_ADDRESS"},
       1,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         if (std::optional<std::string> problem = new_address_problem(a.positional[0])) {
           *error = *problem;
           return false;
         }
         c->request.set_event_id(event::kModifyAddress);
         c->request.mutable_event_modify_addressbook()->set__id(wire::kEveryAddressBookEntry);
         c->request.mutable_event_modify_addressbook()->set_new_addr(a.positional[0]);
         // "-1" and the ids it overwrote, which the note names.
         c->human_skips_lines = std::numeric_limits<size_t>::max();
         if (a.option("--yes") == nullptr) {
           c->confirm =
               "This overwrites the address of EVERY entry in your address book, of "
               "every coin (BTC, ETH, XRP and SOL alike), with '" +
               a.positional[0] + "'. It cannot be undone.";
         }
         return true;
       },
       {"--yes"}},
      {"address delete",
       "address delete SYMBOL ADDRESS",
       "delete an address (not offered yet)",
       {"SYMBOL", "ADDRESS"},
       2,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         int symbol;
         if (!parse_symbol(a.positional[0], &symbol, error)) return false;
         c->request.set_event_id(event::kDeleteAddress);
         c->request.mutable_event_addressbook()->set_symbol(as_enum(symbol));
         c->request.mutable_event_addressbook()->set_address(a.positional[1]);
         return true;
       }},
      {"deposit",
       "deposit SYMBOL ADDRESS [MEMO]",
       "deposit coins (not offered yet)",
       {"SYMBOL", "ADDRESS", "MEMO"},
       2,
       {},
       [](const Args& a, uint64_t, Command* c, std::string* error) {
         int symbol;
         if (!parse_symbol(a.positional[0], &symbol, error)) return false;
         korvane::Deposit* d = c->request.mutable_event_deposit();
         if (a.positional.size() > 2) {
           int64_t memo;
           if (!parse_number(a.positional[2], &memo)) {
             *error = "bad memo '" + a.positional[2] + "': expected a whole number";
             return false;
           }
           d->set_memo(memo);
         }
         c->request.set_event_id(event::kDeposit);
         d->set_symbol(as_enum(symbol));
         d->set_address(a.positional[1]);
         return true;
       }},
      {"help",
       "help [COMMAND]",
       "list the commands, or the forms of one",
       {"COMMAND"},
       0,
       {},
       nullptr},
      {"quit", "quit", "end the session (also exit, or end of input)", {}, 0, {}, nullptr},
  };
  return table;
}

std::string usage_hint(const CommandSpec& spec) { return std::string("usage: ") + spec.usage; }

ParseResult failure(std::string error, std::string usage) {
  ParseResult r;
  r.error = std::move(error);
  r.usage = std::move(usage);
  return r;
}

// Separates options (each taking a value, as "--at 5" or "--at=5") from positional arguments.
// A word "--" ends the options, so a value that starts with "--" can still be given.
bool split_options(const CommandSpec& spec, const std::vector<std::string>& words, Args* args,
                   std::string* error) {
  bool options_done = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (options_done || w.size() < 2 || w.compare(0, 2, "--") != 0) {
      args->positional.push_back(w);
      continue;
    }
    if (w == "--") {
      options_done = true;
      continue;
    }
    std::string name = w.substr(0, w.find('='));
    auto is_name = [&](const char* o) { return name == o; };
    bool flag = std::any_of(spec.flags.begin(), spec.flags.end(), is_name);
    if (!flag && std::none_of(spec.options.begin(), spec.options.end(), is_name)) {
      *error = "unknown option '" + name + "'";
      return false;
    }
    if (args->options.count(name) != 0) {
      *error = "option " + name + " given twice";
      return false;
    }
    if (flag) {
      if (name.size() < w.size()) {
        *error = "option " + name + " takes no value";
        return false;
      }
      args->options[name] = "";
    } else if (name.size() < w.size()) {
      args->options[name] = w.substr(name.size() + 1);
    } else if (i + 1 < words.size()) {
      args->options[name] = words[++i];
    } else {
      *error = "option " + name + " needs a value";
      return false;
    }
  }
  return true;
}

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
  size_t first = line.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos || line[first] == '#') {
    result.ok = true;
    return result;
  }
  std::vector<std::string> words;
  std::string error;
  if (!split_words(line, &words, &error)) return failure(error, kHelpHint);
  if (words.empty()) {  // e.g. a line of empty quotes
    result.ok = true;
    return result;
  }

  std::string name = lower(words[0]);
  size_t used = 1;
  if (name == "address") {
    if (words.size() < 2)
      return failure("'address' needs one of: list, add, set, overwrite-all, delete", kAddressHint);
    name += " " + lower(words[1]);
    used = 2;
  }
  if (name == "exit") name = "quit";
  const auto& table = commands();
  auto spec = std::find_if(table.begin(), table.end(),
                           [&](const CommandSpec& s) { return name == s.name; });
  if (spec == table.end()) {
    if (used == 2) {
      return failure(
          "unknown address command '" + words[1] + "': use list, add, set, overwrite-all or delete",
          kAddressHint);
    }
    return failure("unknown command '" + words[0] + "'", kHelpHint);
  }

  Args args;
  if (!split_options(*spec, std::vector<std::string>(words.begin() + used, words.end()), &args,
                     &error)) {
    return failure(error, usage_hint(*spec));
  }
  if (args.positional.size() < spec->required) {
    return failure(std::string("missing ") + spec->args[args.positional.size()], usage_hint(*spec));
  }
  if (args.positional.size() > spec->args.size()) {
    return failure("unexpected argument '" + args.positional[spec->args.size()] + "'",
                   usage_hint(*spec));
  }

  Command& command = result.command;
  command.usage = usage_hint(*spec);
  if (name == "help") {
    command.kind = Command::Kind::kHelp;
    if (args.positional.empty()) {
      command.help = help_text();
    } else {
      command.help = help_for(lower(args.positional[0]));
      if (command.help.empty()) {
        return failure("no command '" + args.positional[0] + "'", kHelpHint);
      }
    }
  } else if (name == "quit") {
    command.kind = Command::Kind::kQuit;
  } else {
    command.kind = Command::Kind::kSend;
    if (!spec->build(args, now, &command, &error)) return failure(error, command.usage);
  }
  result.ok = true;
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
      "(0 to 2147483647). The bot guard refuses a second order of the same coin and side at\n"
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
