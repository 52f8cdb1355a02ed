// The arguments of one command line: options split off from the positional words, and the
// readers of their values (symbols, amounts, times), each giving back the one-line error the
// client shows for a bad value. Shared by the parser and the command table's builders
// (command_table.h); commands.h is the command language's face.
#ifndef KORVANE_TOOLS_KORVANE_COMMAND_ARGS_H_
#define KORVANE_TOOLS_KORVANE_COMMAND_ARGS_H_

#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "korvane.pb.h"

// A command's words after its name: options split off (command_table.h says which it takes).
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--at" -> value; a flag ("--yes") -> ""

  const std::string* option(const char* name) const {
    auto it = options.find(name);
    return it == options.end() ? nullptr : &it->second;
  }
};

// `s` in lower case (ASCII).
std::string lower(std::string_view s);

// True when `text` is one or more ASCII digits.
bool all_digits(const std::string& text);

// True, with *value set, when the whole of `text` is a number that T holds.
template <typename T>
bool parse_number(const std::string& text, T* value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end;
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

// Separates options (each of `options` takes a value, as "--at 5" or "--at=5"; `flags` take
// none) from positional arguments. A word "--" ends the options, so a value that starts with
// "--" can still be given. False, with *error set, for an unknown, repeated or bad option.
bool split_options(const std::vector<const char*>& options, const std::vector<const char*>& flags,
                   const std::vector<std::string>& words, Args* args, std::string* error);

// Each is true with its value set, or false with *error set.
bool parse_symbol(const std::string& text, int* id, std::string* error);
// A whole number of coins above 0.
bool parse_amount(const std::string& text, uint64_t* amount, std::string* error);
// The time of an entry: --at when given, else `now`.
bool parse_time(const Args& args, uint64_t now, uint64_t* seconds, std::string* error);
// The time of an order, as parse_time reads it, within what the trade log can hold.
bool parse_order_time(const Args& args, uint64_t now, uint64_t* seconds, std::string* error);

// The protocol's coin enumeration value of a coin id (3, SOL, is the enumeration's ELF).
inline korvane::Symbol as_enum(int id) { return static_cast<korvane::Symbol>(id); }

#endif  // KORVANE_TOOLS_KORVANE_COMMAND_ARGS_H_
