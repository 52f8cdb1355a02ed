#include "korvane/words.h"

bool split_words(std::string_view line, std::vector<std::string>* words, std::string* error) {
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quote == '\'') {
      if (c == '\'') {
        quote = 0;
      } else {
        word += c;
      }
    } else if (quote == '"') {
      if (c == '"') {
        quote = 0;
      } else if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (in_word) words->push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\') {
      if (i + 1 == line.size()) {
        *error = "the line ends in a backslash";
        return false;
      }
      word += line[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote != 0) {
    *error = std::string("a ") + quote + " quote is not closed";
    return false;
  }
  if (in_word) words->push_back(std::move(word));
  return true;
}
