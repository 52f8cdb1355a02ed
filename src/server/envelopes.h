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
#ifndef KORVANE_SERVER_ENVELOPES_H_
#define KORVANE_SERVER_ENVELOPES_H_

#include <string_view>
#include <vector>

// The requests in `bytes`, in order; together they are `bytes`. Bytes that do not walk as fields
// up to their end are not cut after the last whole envelope before them: that last piece goes
// on as it is and fails to decode, as bytes that are no envelope always did.
std::vector<std::string_view> split_envelopes(std::string_view bytes);

#endif  // KORVANE_SERVER_ENVELOPES_H_
