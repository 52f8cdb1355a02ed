// What became of a request, as the server says it: every request asks for the outcome line
// (KorvaneInterface.ask_outcome), which the server prints last before its prompt. The client
// takes that line out of the answer, so that what it shows is the server's own output, and says
// what the line says in words on standard error: one sentence per reason code of the server's
// table (base/reasons.h), never a guess of its own.
#ifndef KORVANE_TOOLS_KORVANE_OUTCOME_H_
#define KORVANE_TOOLS_KORVANE_OUTCOME_H_

#include <optional>
#include <string>

#include "korvane.pb.h"

// Takes the outcome line off the end of `answer` and returns it; nothing, with `answer` left as
// it is, when its last line is no outcome line (a server that ended before it, say).
std::optional<korvane::Outcome> take_outcome_line(std::string* answer);

// The sentence that says reason `code` of the outcome line, without a line end; nothing for a
// code the client does not know (a newer server's).
std::optional<std::string> reason_words(const std::string& code);

struct Note {
  bool refused = false;  // the request was not carried out (a script then fails)
  std::string text;      // one line, no "korvane: " prefix, no line end
};

// What to say about `request` after `answer` (its outcome line taken off) and `outcome`, or
// nothing when the answer says it all.
std::optional<Note> outcome_note(const korvane::KorvaneInterface& request,
                                 const std::string& answer, const korvane::Outcome& outcome);

// How a note on `request` begins when it was not carried out: "not traded".
std::string head_of(const korvane::KorvaneInterface& request);

// "buy of XRP at 2023-11-14 22:13:20 UTC" for an order.
std::string order_words(const korvane::KorvaneInterface& request);

#endif  // KORVANE_TOOLS_KORVANE_OUTCOME_H_
