#include "korvane/text_rules.h"

#include "base/decimal.h"
#include "base/filter_characters.h"
#include "base/wire_facts.h"

namespace {

std::string bad(const char* what, const std::string& text) {
  return std::string("bad ") + what + " '" + text + "': ";
}

const char* name_of(char c) {
  for (const FilteredCharacterName& named : kFilteredCharacterNames) {
    if (named.c == c) return named.words;
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> filtered_character_words(char c) {
  if (const char* words = name_of(c)) return std::string(words);
  return std::nullopt;
}

std::string filtered_list() {
  // The blank first, in words, then the others in the filter's order, each once; parentheses
  // read better opening first.
  std::string others;
  for (char c : kFilteredCharacters) {
    if (c == ' ') continue;
    if (c == ')' && others.find('(') == std::string::npos) continue;
    others += (others.empty() ? "" : " ") + std::string(1, c);
    if (c == '(') others += " )";
  }
  return "blanks and " + others;
}

std::optional<std::string> filter_problem(const char* what, const std::string& text) {
  for (char c : text) {  // the first in the text, which a person reads from the left
    if (const char* words = name_of(c)) {
      return bad(what, text) + "it holds " + words + "; the server refuses " + filtered_list() +
             " in names, addresses and memos";
    }
  }
  return std::nullopt;
}

std::optional<std::string> name_problem(const std::string& name) {
  if (name.empty()) return std::string("bad name '': a name needs at least one character");
  if (name.size() > wire::kMaxUsernameBytes) {
    return bad("name", name) + "it takes " + std::to_string(name.size()) +
           " bytes; a name takes at most " + std::to_string(wire::kMaxUsernameBytes);
  }
  return filter_problem("name", name);
}

std::optional<std::string> new_address_problem(const std::string& address) {
  if (address.empty())
    return std::string("bad address '': an address needs at least one character");
  return filter_problem("address", address);
}

std::optional<std::string> address_problem(const std::string& address) {
  if (address.size() > wire::kMaxAddressBytes) {
    return "bad address: it takes " + std::to_string(address.size()) +
           " bytes; an address takes at most " + std::to_string(wire::kMaxAddressBytes);
  }
  return new_address_problem(address);
}

std::optional<std::string> memo_problem(const std::string& memo) {
  // The server's own test: the number at the start of the text, which must not be 0.
  if (parse_decimal_prefix64(memo.c_str()) == 0) {
    return bad("memo", memo) + "expected a whole number other than 0";
  }
  return filter_problem("memo", memo);
}

std::optional<std::string> signup_password_problem(const std::string& password) {
  if (!password.empty()) return std::nullopt;
  return std::string("bad password '': an account without a password is open to anyone");
}
