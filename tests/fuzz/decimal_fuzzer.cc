// Fuzz target: the decimal-prefix parse that reads every number back from a column text, against
// the C library's strtoll and strtol in base 10, which read the same prefix and saturate the
// same way. The input up to its first NUL byte is the column text.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/decimal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const long long wide = std::strtoll(text.c_str(), nullptr, 10);
  if (parse_decimal_prefix64(text.c_str()) != wide) {
    fuzz_failure("64-bit parse of \"" + text + "\" differs from strtoll's " + std::to_string(wide));
  }
  const long long narrow = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : wide;
  if (parse_decimal_prefix32(text.c_str()) != narrow) {
    fuzz_failure("32-bit parse of \"" + text + "\" differs from " + std::to_string(narrow));
  }
  return 0;
}
