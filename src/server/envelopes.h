// A read from the client may hold more than one request envelope: a client that writes its
// next request before the prompt comes back (over plain TCP two writes can arrive in one read).
// Decoding such bytes as one envelope would merge them, so that only the last request ran and the
// others were lost without a word. They are cut apart here and run one after another, each with
// its own answer and prompt, as if they had come in reads of their own.
//
// Where one envelope ends is told by its first field, the event code (number 1), which every
// envelope holds exactly once and every encoder writes first: at the top level, the code seen a
// second time starts the next envelope. An envelope whose fields come in another order is still
// one request as long as its code appears once.
#ifndef KORVANE_SERVER_ENVELOPES_H_
#define KORVANE_SERVER_ENVELOPES_H_

#include <string_view>
#include <vector>

// The requests in `bytes`, in order; together they are `bytes`. Bytes that do not walk as fields
// up to their end are not cut after the last whole envelope before them: that last piece goes
// on as it is and fails to decode, as bytes that are no envelope always did.
std::vector<std::string_view> split_envelopes(std::string_view bytes);

#endif  // KORVANE_SERVER_ENVELOPES_H_
