// Why a request ended as it did: the reason codes of the outcome line (proto/korvane.proto,
// message Outcome), each with its meaning. This table is the one home of every code: the server
// reads it, docs/protocol.md shows it row for row (tests/unit/reasons_test.cc), and the page's copy
// is written from it (tools/wire_facts).
//
// A handler decides the reason where it decides the refusal, and returns it with its outcome
// (Outcome below); the request runner prints the line when the request asked for it.
#ifndef KORVANE_BASE_REASONS_H_
#define KORVANE_BASE_REASONS_H_

#include <cstdint>
#include <string>
#include <vector>

enum class Reason {
  kOk,
  kBotGuard,
  kNoStock,
  kNoKrw,
  kNoCoins,
  kBookFull,
  kNotYourEntry,
  kSameAddress,
  kNameTaken,
  kBadName,
  kBadLogin,
  kNotSignedIn,
  kSignInSpent,
  kFiltered,
  kBadAmount,
  kBadCoin,
  kTooLong,
  kBadMemo,
  kBadTime,
  kBadText,
  kTooLarge,
  kBusy,
  kNoDatabase,
  kDatabase,
  kNotOffered,
  kUnknownEvent,
  kMalformed,
};

struct ReasonRow {
  Reason reason;
  const char* code;     // as the outcome line gives it
  const char* meaning;  // one line, for people; a client says it in its own words
};

// docs/protocol.md shows this table row for row.
// clang-format off
inline constexpr ReasonRow kReasonTable[] = {
    {Reason::kOk, "ok", "done as asked"},
    {Reason::kBotGuard, "bot_guard",
     "the account made an order of this coin, side and time already (the bot guard)"},
    {Reason::kNoStock, "no_stock", "the exchange holds fewer coins than the buy asks for"},
    {Reason::kNoKrw, "no_krw", "the account's KRW do not cover the buy's cost and fee"},
    {Reason::kNoCoins, "no_coins", "the account holds fewer coins than the sell offers"},
    {Reason::kBookFull, "book_full", "the address book holds ten entries, the most it keeps"},
    {Reason::kNotYourEntry, "not_your_entry", "no entry of the account has that id"},
    {Reason::kSameAddress, "same_address", "the entry holds that address already"},
    {Reason::kNameTaken, "name_taken", "an account of that name exists"},
    {Reason::kBadName, "bad_name",
     "a sign-up name empty or longer than 32 bytes: the server ends the session"},
    {Reason::kBadLogin, "bad_login", "no account has that name and password"},
    {Reason::kNotSignedIn, "not_signed_in", "the request needs a signed-in session"},
    {Reason::kSignInSpent, "sign_in_spent",
     "a session allows one sign-in, and it was used: open a new session"},
    {Reason::kFiltered, "filtered",
     "a text holds a character the server refuses; detail gives it"},
    {Reason::kBadAmount, "bad_amount", "an amount of 0, or one too large for any balance"},
    {Reason::kBadCoin, "bad_coin", "no coin has that number"},
    {Reason::kTooLong, "too_long", "an address longer than 255 bytes"},
    {Reason::kBadMemo, "bad_memo", "a memo that is not a number other than 0"},
    {Reason::kBadTime, "bad_time", "a time the database cannot store (after 2038-01-19)"},
    {Reason::kBadText, "bad_text", "a text with a NUL byte, which the database cannot take"},
    {Reason::kTooLarge, "too_large", "a balance or stock would pass what its column holds"},
    {Reason::kBusy, "busy",
     "the database kept the request waiting for locks until its tries were spent: not applied"},
    {Reason::kNoDatabase, "no_database",
     "the database could not be reached; the server ends the session, and whether the request "
     "was applied is not known"},
    {Reason::kDatabase, "database", "the database refused a statement for a reason of its own"},
    {Reason::kNotOffered, "not_offered", "deposits and deleting an address are not offered yet"},
    {Reason::kUnknownEvent, "unknown_event", "no request has that event code"},
    {Reason::kMalformed, "malformed",
     "the bytes are no envelope, or lack the message the event needs"},
};
// clang-format on

// The row of `reason`.
const ReasonRow& reason_row(Reason reason);

// What became of one request: its reason, and what it made.
struct Outcome {
  Reason reason = Reason::kOk;
  std::vector<uint32_t> ids;  // an account, a trade, address-book entries
  std::string detail;         // for kFiltered: the character
  // The protocol ends the session after this request (a sign-up with a bad name), with status 255.
  bool end_session = false;

  bool done() const { return reason == Reason::kOk; }
};

inline Outcome done(std::vector<uint32_t> ids = {}) {
  Outcome outcome;
  outcome.ids = std::move(ids);
  return outcome;
}
inline Outcome refused(Reason reason, std::string detail = {}) {
  Outcome outcome;
  outcome.reason = reason;
  outcome.detail = std::move(detail);
  return outcome;
}

#endif  // KORVANE_BASE_REASONS_H_
