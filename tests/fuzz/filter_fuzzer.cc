// Fuzz target: the character filter against a plain model of it. The whole input is one client
// text, NUL bytes included. The filter must answer true exactly when the text holds one of the
// listed characters, and then print one line naming the earliest character of the list (not of
// the text) that the text holds; otherwise it prints nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "base/output.h"
#include "base/screen.h"
#include "fuzz_support.h"

namespace {

// The line the filter must print for `text`, empty when it must pass.
std::string expected_line(const std::string& text) {
  for (char c : kFilteredCharacters) {
    if (std::memchr(text.data(), c, text.size()) != nullptr) {
      return std::string("Detected SQL Injection: ") + c + "\n";
    }
  }
  return std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  captured_output().clear();
  const bool hit = detect_sqli(text);
  flush_output();
  const std::string expected = expected_line(text);
  if (hit != !expected.empty() || captured_output() != expected) {
    fuzz_failure("filter answered " + std::to_string(hit) + " and printed \"" + captured_output() +
                 "\"; expected \"" + expected + "\"");
  }
  return 0;
}
