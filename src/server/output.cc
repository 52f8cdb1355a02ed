#include "server/output.h"

#include <cstdio>
#include <string>

void print_text(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void print_line(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text).push_back('\n');
  print_text(line);
}
