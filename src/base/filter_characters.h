// The characters the server's filter refuses in client text (names, addresses, memos), in the
// order it checks them: it reports the first of this list that the text holds, not the first in
// the text. Here, and not inside the filter, so that the client and the page (through
// tools/wire_facts) can check text before sending it, and name the character in words.
#ifndef KORVANE_BASE_FILTER_CHARACTERS_H_
#define KORVANE_BASE_FILTER_CHARACTERS_H_

#include <cstddef>

constexpr char kFilteredCharacters[] = {'\'', '"', ' ', '$', ')', '(', ';', '-', '#', '\\'};

// Each filtered character in words, in the same order: a blank, for one, is invisible in a line.
struct FilteredCharacterName {
  char c;
  const char* words;
};
constexpr FilteredCharacterName kFilteredCharacterNames[] = {
    {'\'', "a single quote (')"}, {'"', "a double quote (\")"}, {' ', "a blank"},
    {'$', "a dollar sign ($)"},   {')', "a parenthesis ())"},   {'(', "a parenthesis (()"},
    {';', "a semicolon (;)"},     {'-', "a hyphen (-)"},        {'#', "a hash sign (#)"},
    {'\\', "a backslash (\\)"},
};

constexpr bool every_filtered_character_named() {
  if (sizeof(kFilteredCharacterNames) / sizeof(kFilteredCharacterNames[0]) !=
      sizeof(kFilteredCharacters)) {
    return false;
  }
  for (size_t i = 0; i < sizeof(kFilteredCharacters); ++i) {
    if (kFilteredCharacterNames[i].c != kFilteredCharacters[i]) return false;
  }
  return true;
}
static_assert(every_filtered_character_named(), "each filtered character has its name, in order");

#endif  // KORVANE_BASE_FILTER_CHARACTERS_H_
