// The --human view of an answer: each JSON document the server printed becomes one "key: value"
// line per field, bytes fields decoded from base64 to their text and times (seconds since the
// epoch) shown as UTC date-times; the server's refusal lines are named in words; every other
// line stays as the server wrote it.
#ifndef KORVANE_TOOLS_KORVANE_HUMAN_H_
#define KORVANE_TOOLS_KORVANE_HUMAN_H_

#include <google/protobuf/message.h>

#include <cstdint>
#include <string>

// The line the server prints when the bot guard refuses an order.
constexpr char kBotGuardLine[] = "[-] DETECTED Trading Bot";

// Rewrites the JSON documents of `answer` that parse as `answer_type` (the response message the
// request is answered with); the empty line the server prints after each document is dropped.
// A document that does not parse, and every document when `answer_type` is null, is left as it
// is.
std::string humanize(const std::string& answer, const google::protobuf::Message* answer_type);

// How many documents of `answer` parse as `answer_type`.
int count_documents(const std::string& answer, const google::protobuf::Message& answer_type);

// "2023-11-14 22:13:20 UTC" for 1700000000; the number itself when it is beyond the calendar.
std::string utc_time(uint64_t seconds);

#endif  // KORVANE_TOOLS_KORVANE_HUMAN_H_
