// What the client is told about what it sent. Statements are built by plain substitution of
// client text, so every text that reaches one passes detect_sqli first; that keeps semicolons and
// quotes out of every statement, which batches rely on (db/mysql_client.h, exec_batch).
#ifndef KORVANE_BASE_SCREEN_H_
#define KORVANE_BASE_SCREEN_H_

#include <optional>
#include <string>

#include "base/reasons.h"

// Prints "Duplicate ID" for the duplicate-key error 1062; prints nothing for any other number.
// Despite its name it handles nothing else: the caller refuses the request.
void handle_error(int code);

// Prints "Detected SQL Injection: " with the character, and returns true, when `text` holds one
// of the filtered characters (see the .cc for the list and why its order matters). NUL bytes are
// part of the text. Returns false, printing nothing, for a clean text.
bool detect_sqli(const std::string& text);

// detect_sqli(text), as the outcome of the request it refuses: the refusal, with the character
// it reported, when the text holds one; nothing for a clean text.
std::optional<Outcome> refuse_filtered(const std::string& text);

#endif  // KORVANE_BASE_SCREEN_H_
