// The facts of the wire that the server, the command-line client and the web page all hold to:
// sizes, limits and the characters the filter refuses. They live here once; the client reads this
// header, and the page's copy (web/js/wire_facts.js) is written from it by tools/wire_facts and
// checked against it by a test, so no copy can drift.
#ifndef KORVANE_BASE_WIRE_FACTS_H_
#define KORVANE_BASE_WIRE_FACTS_H_

#include <cstddef>
#include <cstdint>

#include "base/filter_characters.h"

namespace wire {

// One read of the server takes at most this many bytes, and one request is one read.
constexpr size_t kMaxRequestBytes = 10240;
// A sign-up's or sign-in's name, in bytes; longer ones end the sign-up, refuse the sign-in.
constexpr size_t kMaxUsernameBytes = 32;
// An address that an add stores, in bytes.
constexpr size_t kMaxAddressBytes = 255;
// The entries an account's address book keeps.
constexpr uint32_t kMaxAddressBookEntries = 10;
// The id of a rewrite that rewrites every entry of the book.
constexpr int32_t kEveryAddressBookEntry = -1;
// What a new account starts with, in KRW.
constexpr int64_t kStartingKrw = 100000000;
// The fee on each side of a trade, in percent of its value.
constexpr int kFeePercent = 25;

}  // namespace wire

#endif  // KORVANE_BASE_WIRE_FACTS_H_
