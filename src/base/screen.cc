// What the client is told about what it sent: the character filter that screens client text
// before it is put into a statement, and the report of a statement's error number.
#include "base/screen.h"

#include <string_view>

#include "base/filter_characters.h"
#include "base/output.h"
#include "base/reply_lines.h"

namespace {

constexpr int kDuplicateKey = 1062;

}  // namespace

void handle_error(int code) {
  if (code == kDuplicateKey) print_line(wire::kDuplicateIdLine);
}

std::optional<Outcome> refuse_filtered(const std::string& text) {
  // Statements are built by plain substitution, so this screen is their only protection.
  std::string_view whole(text.data(), text.size());  // NUL bytes included
  for (char c : kFilteredCharacters) {
    if (whole.find(c) != std::string_view::npos) {
      print_line(std::string(wire::kFilteredPrefix) + c);
      return refused(Reason::kFiltered, std::string(1, c));
    }
  }
  return std::nullopt;
}

bool detect_sqli(const std::string& text) { return refuse_filtered(text).has_value(); }
