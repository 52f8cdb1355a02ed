// The --human view of an answer: each JSON document the server printed becomes one "key: value"
// line per field, bytes fields decoded from base64 to their text; every other line stays as the
// server wrote it.
#ifndef KORVANE_TOOLS_KORVANE_HUMAN_H_
#define KORVANE_TOOLS_KORVANE_HUMAN_H_

#include <google/protobuf/message.h>

#include <string>

// Rewrites the JSON documents of `answer` that parse as `answer_type` (the response message the
// request is answered with); the empty line the server prints after each document is dropped.
// A document that does not parse, and everything when `answer_type` is null, is left as it is.
std::string humanize(const std::string& answer, const google::protobuf::Message* answer_type);

#endif  // KORVANE_TOOLS_KORVANE_HUMAN_H_
