// What the server says to its client. A request's output is gathered here while the request runs
// and reaches the client in one write, together with the next prompt, once the request's database
// work has ended: no row lock is ever held while a slow client keeps the server waiting in a
// write, and output of an attempt that the server runs again never reaches the client.
//
// Lines that tell of a write inside an open transaction (an echoed UPDATE, the entry an insert
// is about to store) are uncommitted: they stay only when the transaction commits, so a client
// never sees a statement that the database undid.
#ifndef KORVANE_BASE_OUTPUT_H_
#define KORVANE_BASE_OUTPUT_H_

#include <cstddef>
#include <string_view>

// Adds `text` as it is (the prompt has no line end).
void print_text(std::string_view text);

// Adds `text` followed by a line end.
void print_line(std::string_view text);

// Adds `text` and a line end as part of the open transaction's output.
void print_uncommitted_line(std::string_view text);

// The open transaction committed: its lines are ordinary output from now on.
void commit_output();

// The open transaction rolled back: removes its first uncommitted line and everything after it.
void drop_uncommitted_output();

// How much output is gathered; a mark for discard_output_since().
size_t output_size();

// Forgets everything gathered after `mark` (an attempt at a request that runs again).
void discard_output_since(size_t mark);

// Writes everything gathered to the client (write_to_client) and empties the gathering.
void flush_output();

// Writes `bytes` to the client whole. The one place that touches standard output's descriptor.
// A client that has gone loses the bytes. A client that takes no byte for as long as the idle
// limit (session_waits.h) ends the session (end_process(0)), as an idle one does.
void write_to_client(std::string_view bytes);

#endif  // KORVANE_BASE_OUTPUT_H_
