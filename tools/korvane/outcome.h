// What the client adds when an answer lacks what its request asked for: an order that traded
// nothing, a sign-in that failed, an address that was not added. The server says little then: a
// refused sell prints nothing, a refused buy only the coin's price and stock lines, the bot guard
// its one line, a wrong password "There is no username, password", a full address book nothing,
// and every exchange request of a session that is not signed in nothing at all. The texts here
// are mirrored by the web page's order refusals: change them together.
#ifndef KORVANE_TOOLS_KORVANE_OUTCOME_H_
#define KORVANE_TOOLS_KORVANE_OUTCOME_H_

#include <cstdint>
#include <optional>
#include <string>

#include "korvane.pb.h"

// What the session knows besides the answer.
struct SessionFacts {
  // A sign-in succeeded on this connection and no sign-out came since.
  bool signed_in = false;
  // For a sell that traded nothing: the coins of its symbol the account holds, read afterwards
  // (see needs_holdings); nothing when they could not be read.
  std::optional<uint64_t> coins_held;
};

struct Note {
  bool refused = false;  // the request was not carried out (a script then fails)
  std::string text;      // one line, no "korvane: " prefix, no line end
};

// What `answer` means for `request`, or nothing when the answer holds what the request asked
// for. For an order without a trade: "not traded", with the reason when the answer or the facts
// show one (the bot guard's line; for a buy, the stock or the cost against the price shown; for a
// sell, the coins held).
std::optional<Note> outcome_note(const korvane::KorvaneInterface& request,
                                 const std::string& answer, const SessionFacts& facts);

// True when `answer` to a sign-in means it succeeded: the server prints nothing then.
bool signin_succeeded(const std::string& answer);

// True when `answer` to `request` is a sell that traded nothing for no reason it shows, so the
// coins held would tell why.
bool needs_holdings(const korvane::KorvaneInterface& request, const std::string& answer);

// The coins of `symbol` in the balances `answer` shows, or nothing.
std::optional<uint64_t> coins_in_balances(const std::string& answer, int symbol);

#endif  // KORVANE_TOOLS_KORVANE_OUTCOME_H_
