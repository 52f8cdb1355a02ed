// Numbers read back from column texts.
//
// Every value the database returns is text. Numbers are read with a decimal-prefix parse:
// leading white space, an optional sign, then decimal digits up to the first non-digit; no digits
// gives 0, and so does an SQL NULL (a null pointer). Values outside the target width saturate
// instead of wrapping, so a corrupt column can never turn into a small positive number.
#ifndef KORVANE_BASE_DECIMAL_H_
#define KORVANE_BASE_DECIMAL_H_

#include <cstdint>

int64_t parse_decimal_prefix64(const char* text);
int32_t parse_decimal_prefix32(const char* text);

#endif  // KORVANE_BASE_DECIMAL_H_
