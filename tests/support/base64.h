// Standard base64 with "=" padding: the JSON form of bytes fields in responses.
#ifndef KORVANE_TESTS_SUPPORT_BASE64_H_
#define KORVANE_TESTS_SUPPORT_BASE64_H_

#include <string>

std::string base64(const std::string& bytes);

#endif  // KORVANE_TESTS_SUPPORT_BASE64_H_
