// Responses are printed as the protobuf library's pretty JSON rendering with the schema's own
// field names. Two option sets are in use: kSetFields prints the fields that are set (every
// builder sets all of them), kAllFields also prints primitive fields that are not.
#ifndef KORVANE_BASE_JSON_PRINT_H_
#define KORVANE_BASE_JSON_PRINT_H_

#include <google/protobuf/message.h>

enum class JsonFields { kSetFields, kAllFields };

// Renders `message` and prints it followed by one more line end, so every document is followed
// by an empty line. Prints nothing when rendering fails.
void print_json_response(const google::protobuf::Message& message, JsonFields fields);

// Renders `message` compactly, on one line, and prints it with a line end (the outcome line).
void print_json_line(const google::protobuf::Message& message);

#endif  // KORVANE_BASE_JSON_PRINT_H_
