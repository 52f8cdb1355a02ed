// Reading the values of a command's arguments. Each reader says what is wrong with a value in
// the client's words, so a script's author learns it before anything is sent.
#include "korvane/command_args.h"

#include <algorithm>
#include <cctype>

#include "base/wire_facts.h"
#include "korvane/commands.h"

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool all_digits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
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

bool parse_order_time(const Args& args, uint64_t now, uint64_t* seconds, std::string* error) {
  // A number the trade log cannot hold is refused here rather than by the database, which would
  // only make the order trade nothing.
  const std::string* at = args.option("--at");
  std::string_view digits = at == nullptr ? "" : std::string_view(*at);
  if (!digits.empty() && digits.front() == '-') digits.remove_prefix(1);
  bool number = !digits.empty() && std::all_of(digits.begin(), digits.end(),
                                               [](char c) { return c >= '0' && c <= '9'; });
  if (number && (!parse_number(*at, seconds) || *seconds > wire::kLatestTradeTime)) {
    *error = "time '" + *at + "' is out of range: orders take 0 to " +
             std::to_string(wire::kLatestTradeTime) + " (up to 2038-01-19 03:14:07 UTC)";
    return false;
  }
  return parse_time(args, now, seconds, error);
}

bool split_options(const std::vector<const char*>& options, const std::vector<const char*>& flags,
                   const std::vector<std::string>& words, Args* args, std::string* error) {
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
    bool flag = std::any_of(flags.begin(), flags.end(), is_name);
    if (!flag && std::none_of(options.begin(), options.end(), is_name)) {
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
