// Settling a request whose connection was lost before its answer: what a new session reads to
// find out whether the request was applied, and what that read shows. An order is found by its
// coin, side and second in the history (the bot guard lets an account make one such order), an
// address change by the address list.
#ifndef KORVANE_TOOLS_KORVANE_SETTLE_H_
#define KORVANE_TOOLS_KORVANE_SETTLE_H_

#include <optional>
#include <string>
#include <vector>

#include "korvane.pb.h"

// How to find out whether a request was applied.
struct Check {
  korvane::KorvaneInterface query;  // the request whose answer shows it
  std::string command;              // the same as a command line: "history xrp buy"
  std::string what;                 // the request in words: "the buy of XRP at ..."
};

// The check of `request`; nothing for a request that changes nothing, or that this client does
// not settle (a sign-up, a deposit).
std::optional<Check> check_of(const korvane::KorvaneInterface& request);

// What `answer`, the answer to check_of(request).query, shows of `request`: one line without
// "korvane: ", "applied: ..." or "not applied: ...".
struct Verdict {
  bool applied = false;
  std::string text;
};
Verdict verdict(const korvane::KorvaneInterface& request, const std::string& answer,
                const Check& check);

// What the client says when it cannot find out: how to look.
std::string unknown_text(const Check& check);

// The entries an address list printed, in order.
std::vector<korvane::AddressBookEntry> address_entries(const std::string& answer);

#endif  // KORVANE_TOOLS_KORVANE_SETTLE_H_
