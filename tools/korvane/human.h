// The --human view of an answer: each JSON document the server printed becomes one "key: value"
// line per field, bytes fields decoded from base64 to their text and times (seconds since the
// epoch) shown as UTC date-times, with an empty line between two documents; an address-book
// entry becomes one line in words. The server's refusal lines are named in words; the lines an
// answer repeats (a buy's price and stock before its trade) are left out; every other line stays
// as the server wrote it.
#ifndef KORVANE_TOOLS_KORVANE_HUMAN_H_
#define KORVANE_TOOLS_KORVANE_HUMAN_H_

#include <google/protobuf/message.h>

#include <cstdint>
#include <functional>
#include <string>

#include "korvane.pb.h"

// Rewrites the JSON documents of `answer` that parse as `answer_type` (the response message the
// request is answered with); the empty line the server prints after each document is dropped.
// A document that does not parse, and every document when `answer_type` is null, is left as it
// is. Of the first `skip_lines` lines before the first document (Command says how many), those
// that a document shows again are left out: each when a document follows, a number always.
std::string humanize(const std::string& answer, const google::protobuf::Message* answer_type,
                     size_t skip_lines = 0);

// "entry 3: XRP address rOne memo 123": an address-book entry in words.
std::string entry_words(const korvane::AddressBookEntry& entry);

// "XRP" for coin 2: the coin names the server prints, by the protocol's numbers.
std::string symbol_name(int64_t id);

// Calls `on_document` with each document of `answer` that parses as `answer_type`, in order.
void walk_documents(const std::string& answer, const google::protobuf::Message& answer_type,
                    const std::function<void(const google::protobuf::Message&)>& on_document);

// How many documents of `answer` parse as `answer_type`.
int count_documents(const std::string& answer, const google::protobuf::Message& answer_type);

// "2023-11-14 22:13:20 UTC" for 1700000000; the number itself when it is beyond the calendar.
std::string utc_time(uint64_t seconds);

#endif  // KORVANE_TOOLS_KORVANE_HUMAN_H_
