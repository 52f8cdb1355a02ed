// What the server accepts in the texts a request carries, checked before the request is sent. The
// server refuses such text with a cryptic line ("Detected SQL Injection: -"), with nothing at all,
// or, for a sign-up, by ending the session; the client says instead which character or limit.
// The limits and the characters are the server's own (base/wire_facts.h), never a copy.
#ifndef KORVANE_TOOLS_KORVANE_TEXT_RULES_H_
#define KORVANE_TOOLS_KORVANE_TEXT_RULES_H_

#include <optional>
#include <string>

// Each returns what is wrong with the text, as "bad name 'x': ...", or nothing when the server
// takes it.
std::optional<std::string> name_problem(const std::string& name);
// `what` names the text in the message: "address", "memo".
std::optional<std::string> filter_problem(const char* what, const std::string& text);
// A new address, of an added entry or a rewrite: not empty, and the filter.
std::optional<std::string> new_address_problem(const std::string& address);
// An added entry's address: as new_address_problem, and the length.
std::optional<std::string> address_problem(const std::string& address);
// An added entry's memo: the filter, and a number other than 0 at its start, read as the server
// reads it (base/decimal.h).
std::optional<std::string> memo_problem(const std::string& memo);
// A sign-up's password: not empty, or anyone could enter the account.
std::optional<std::string> signup_password_problem(const std::string& password);

// A character the filter refuses, in words: "a single quote (')"; nothing for another.
std::optional<std::string> filtered_character_words(char c);

// The characters the filter refuses, as the messages list them: "blanks and ' \" $ ...".
std::string filtered_list();

#endif  // KORVANE_TOOLS_KORVANE_TEXT_RULES_H_
