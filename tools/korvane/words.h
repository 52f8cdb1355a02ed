// How a command line is cut into words, shell-like: words are separated by blanks; '...' and
// "..." quote (inside double quotes a backslash escapes only a double quote or a backslash), and
// a backslash outside quotes takes the next character literally.
#ifndef KORVANE_TOOLS_KORVANE_WORDS_H_
#define KORVANE_TOOLS_KORVANE_WORDS_H_

#include <string>
#include <string_view>
#include <vector>

// Appends the words of `line` to *words. False, with *error set, when a quote is not closed or
// the line ends in a backslash.
bool split_words(std::string_view line, std::vector<std::string>* words, std::string* error);

#endif  // KORVANE_TOOLS_KORVANE_WORDS_H_
