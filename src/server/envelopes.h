// A read from the client may hold more than one request envelope: a client that writes its
// next request before the prompt comes back (over plain TCP two writes can arrive in one read).
// Decoding such bytes as one envelope would merge them, so that only the last request ran and the
// others were lost without a word. They are cut apart here and run one after another, each with
// its own answer and prompt, as if they had come in reads of their own.
//
// An envelope holds each of its top-level fields once: the event code (field 1) and, for most
// codes, the one nested message the code requires. An encoder may write them in either order. So a
// top-level field seen a second time starts the next envelope, and the fields before it that
// follow the first envelope's code and that this code does not take go with the next one too:
// they are its nested message, written before its code. Which code takes which field is dispatch's
// table (server/dispatch.h).
//
// A write longer than a read (10240 bytes) comes in several reads, and the end of a read may cut
// an envelope. When a full read holds whole envelopes and then the start of one, that start is
// kept and the next read completes it. A single message longer than a read is no such case: its
// read holds no whole envelope before it, and it is refused in two requests as always.
#ifndef KORVANE_SERVER_ENVELOPES_H_
#define KORVANE_SERVER_ENVELOPES_H_

#include <string_view>
#include <vector>

// The requests in `bytes`, in order; together they are `bytes`. Bytes that do not walk as fields
// up to their end are not cut after the last whole envelope before them: that last piece goes
// on as it is and fails to decode, as bytes that are no envelope always did (unless the read was
// full and it is kept for the next, below).
std::vector<std::string_view> split_envelopes(std::string_view bytes);

// The end of a read that filled the buffer to keep for the next read, from `pieces` (its
// split_envelopes): the start of an envelope that the read's end cut off, after whole envelopes.
// A whole envelope walks as fields to its end, holds the event code and the nested message the
// code requires, and ends with one of the two. Kept are the last piece when it is no whole
// envelope and an earlier one is, or the fields that end the last piece after a whole envelope
// and that its code does not take: the next envelope's, written before its code. Empty when the
// read ends in a whole envelope, and when it holds none (a single message longer than the
// buffer). REQUIRES: `pieces` is not empty.
std::string_view cut_envelope_start(const std::vector<std::string_view>& pieces);

#endif  // KORVANE_SERVER_ENVELOPES_H_
