// What the client adds when an answer lacks what its request asked for: an order that traded
// nothing, balances that were not shown. The server says little then: a refused sell prints
// nothing, a refused buy only the coin's price and stock lines, the bot guard its one line, and
// every exchange request of a session that is not signed in nothing at all.
#ifndef KORVANE_TOOLS_KORVANE_OUTCOME_H_
#define KORVANE_TOOLS_KORVANE_OUTCOME_H_

#include <optional>
#include <string>

#include "korvane.pb.h"

// One line (no "korvane: " prefix, no line end) saying what `answer` means for `request`, or
// nothing when the answer holds what the request asked for, or the request asks for nothing in
// particular. For an order without a trade: "not traded", with the reason when the answer shows
// one (the bot guard's line; for a buy, the stock or the cost against the price shown).
std::optional<std::string> unanswered_note(const korvane::KorvaneInterface& request,
                                           const std::string& answer);

#endif  // KORVANE_TOOLS_KORVANE_OUTCOME_H_
