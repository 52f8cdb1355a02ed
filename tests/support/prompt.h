// The prompt that ends every answer of the server, for everything that reads answers: the tests'
// server process and network sessions, and the benchmarks' driver (which links nothing else of
// the tests). The server prints "> " after every request, and nothing else it prints ends
// without a line end, so "output so far ends with the prompt" marks the end of one answer.
#ifndef KORVANE_TESTS_SUPPORT_PROMPT_H_
#define KORVANE_TESTS_SUPPORT_PROMPT_H_

#include <string>

constexpr char kPrompt[] = "> ";

inline bool ends_with_prompt(const std::string& output) {
  return output.size() >= 2 && output.compare(output.size() - 2, 2, kPrompt) == 0;
}

// When `*pending` (output read so far) ends with the prompt, moves what came before it to
// `*answer`, empties `*pending` and returns true; otherwise leaves both alone.
inline bool take_answer(std::string* pending, std::string* answer) {
  if (!ends_with_prompt(*pending)) return false;
  answer->assign(*pending, 0, pending->size() - 2);
  pending->clear();
  return true;
}

#endif  // KORVANE_TESTS_SUPPORT_PROMPT_H_
