#include "base/output.h"

#include <string>
#include <utility>

namespace {

struct Gathered {
  std::string text;
  // Where the open transaction's first uncommitted line begins; npos when it has none.
  size_t uncommitted = std::string::npos;
};

Gathered& gathered() {
  static Gathered g;
  return g;
}

}  // namespace

void print_text(std::string_view text) { gathered().text.append(text); }

void print_line(std::string_view text) { gathered().text.append(text).push_back('\n'); }

void print_uncommitted_line(std::string_view text) {
  Gathered& g = gathered();
  if (g.uncommitted == std::string::npos) g.uncommitted = g.text.size();
  print_line(text);
}

void commit_output() { gathered().uncommitted = std::string::npos; }

void drop_uncommitted_output() {
  Gathered& g = gathered();
  if (g.uncommitted != std::string::npos) g.text.resize(g.uncommitted);
  g.uncommitted = std::string::npos;
}

size_t output_size() { return gathered().text.size(); }

void discard_output_since(size_t mark) {
  Gathered& g = gathered();
  if (mark < g.text.size()) g.text.resize(mark);
  g.uncommitted = std::string::npos;
}

void flush_output() {
  Gathered& g = gathered();
  g.uncommitted = std::string::npos;
  if (g.text.empty()) return;
  // Taken out first: a write that gives up ends the process, which flushes again.
  const std::string text = std::move(g.text);
  g.text.clear();
  write_to_client(text);
}
