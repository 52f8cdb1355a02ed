// The facts of the wire that the server, the command-line client and the web page all hold to:
// sizes, limits, the prompt and the line that ends an answer (base/reply_lines.h holds the fixed
// reply lines, base/filter_characters.h the characters the filter refuses). They live here once;
// the client reads this header, and the page's copy (web/js/wire_facts.js) is written from it by
// tools/wire_facts and checked against it by a test, so no copy can drift.
#ifndef KORVANE_BASE_WIRE_FACTS_H_
#define KORVANE_BASE_WIRE_FACTS_H_

#include <cstddef>
#include <cstdint>

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
// The last second an order can carry: the database turns an order's time into a date-time with
// FROM_UNIXTIME, which takes 0 to 2147483647 (2038-01-19 03:14:07 UTC).
constexpr uint64_t kLatestTradeTime = 2147483647;

// The server prints this after every answer (and once when a session starts); nothing else it
// prints ends without a line end, so a reader knows an answer is whole when it ends so.
constexpr char kPrompt[] = "> ";
// How the outcome line starts (KorvaneInterface.ask_outcome: the last line of an answer, before
// the prompt), and so how it is told from the request's own output. Nothing else the server
// prints starts so: every text it echoes has passed a filter that refuses the double quote.
constexpr char kOutcomeLineStart[] = "{\"outcome\":";

// The one line a connection gets when the serving side closes it before a server starts for it
// (scripts/lib/session: too many sessions from one address): this, then the reason, and no
// prompt.
constexpr char kClosingLine[] = "closed: ";
// The line a server prints when it cannot reach the exchange's database, at its start or when a
// reconnect during a request gives up; it ends the session then.
constexpr char kConnectionErrorLine[] = "[MySQL] Connection Error";
// How long a person waits for a session's first prompt before being told what may hold it up: a
// server serving its most sessions at once lets a new one wait, ungreeted, for a place.
constexpr int kSlowGreetingMs = 3000;
// How long a person waits for an answer before being told what holds it up: the server waits for
// the exchange's database (a lock held by another request, or a connection being made again).
constexpr int kSlowAnswerMs = 2000;

}  // namespace wire

#endif  // KORVANE_BASE_WIRE_FACTS_H_
