// What the server accepts in the texts a request carries, checked before the request is sent. The
// server refuses such text with a cryptic line ("Detected SQL Injection: -"), with nothing at all,
// or, for a sign-up, by ending the session; the client says instead which character or limit.
#ifndef KORVANE_TOOLS_KORVANE_TEXT_RULES_H_
#define KORVANE_TOOLS_KORVANE_TEXT_RULES_H_

#include <cstddef>
#include <optional>
#include <string>

// The longest account name the server takes, in bytes.
constexpr size_t kMaxNameBytes = 32;
// The longest address an entry may be added with, in bytes (a rewrite takes longer ones).
constexpr size_t kMaxAddressBytes = 255;

// Each returns what is wrong with the text, as "bad name 'x': ...", or nothing when the server
// takes it.
std::optional<std::string> name_problem(const std::string& name);
// `what` names the text in the message: "address", "memo".
std::optional<std::string> filter_problem(const char* what, const std::string& text);
// An added entry's address: the filter and the length.
std::optional<std::string> address_problem(const std::string& address);
// An added entry's memo: the filter, and a number other than 0 at its start.
std::optional<std::string> memo_problem(const std::string& memo);

#endif  // KORVANE_TOOLS_KORVANE_TEXT_RULES_H_
