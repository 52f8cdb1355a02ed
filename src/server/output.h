// Everything the server says goes to standard output, which start-up makes unbuffered. Each call
// below hands its bytes to the stream in one piece, so a line reaches the client with one write
// instead of one per fragment.
#ifndef KORVANE_SERVER_OUTPUT_H_
#define KORVANE_SERVER_OUTPUT_H_

#include <string_view>

// Writes `text` as it is (the prompt has no line end).
void print_text(std::string_view text);

// Writes `text` followed by a line end.
void print_line(std::string_view text);

#endif  // KORVANE_SERVER_OUTPUT_H_
