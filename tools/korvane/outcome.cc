#include "korvane/outcome.h"

#include <google/protobuf/util/json_util.h>

#include "base/reasons.h"
#include "base/wire_facts.h"
#include "korvane/human.h"
#include "korvane/text_rules.h"
#include "server/dispatch.h"

namespace {

// One sentence per reason code, said after the head of the note ("not traded: ..."). The codes
// are the server's (base/reasons.h); a test checks that each of its codes has its words here.
struct ReasonWords {
  const char* code;
  const char* words;
};
constexpr ReasonWords kReasonWords[] = {
    {"ok", "done as asked"},
    {"bot_guard",
     "you made an order of this coin and side at this second already (the bot guard); wait a "
     "second or give another --at"},
    {"no_stock", "the exchange holds fewer coins than the buy asks for"},
    {"no_krw", "your KRW do not cover the cost with the fee"},
    {"no_coins", "you hold fewer coins than the sell offers"},
    {"book_full", "your address book holds ten entries, the most it keeps"},
    {"not_your_entry", "you have no entry of that id"},
    {"same_address", "the entry holds that address already"},
    {"name_taken", "the name is taken"},
    {"bad_name", "the name is empty or longer than 32 bytes, and the server ended the session"},
    {"bad_login", "no account has that name and password"},
    {"not_signed_in", "sign in first"},
    {"sign_in_spent", "this session has had its one sign-in"},
    {"filtered", "it holds a character the server refuses in names, addresses and memos"},
    {"bad_amount", "the amount is 0, or too large for any balance"},
    {"bad_coin", "the server knows no such coin"},
    {"too_long", "the address is longer than 255 bytes"},
    {"bad_memo", "the memo is not a number other than 0"},
    {"bad_time", "the time is after 2038-01-19, which the database cannot store"},
    {"bad_text", "a text holds a NUL byte, which the database cannot take"},
    {"too_large", "a balance or the stock would pass the most it can hold"},
    {"busy", "the exchange's database kept it waiting for locks too long; try again"},
    {"no_database",
     "the exchange's database could not be reached, and the server ended the session"},
    {"database", "the exchange's database refused it"},
    {"not_offered", "the server does not offer it yet"},
    {"unknown_event", "the server knows no such request"},
    {"malformed", "the server could not read the request"},
};

struct Head {
  int32_t event_id;
  const char* head;
};
constexpr Head kHeads[] = {
    {event::kSignUp, "not signed up"},      {event::kSignIn, "not signed in"},
    {event::kSignOut, "not signed out"},    {event::kMyInfo, "no account shown"},
    {event::kViewMarket, "no market"},      {event::kBuy, "not traded"},
    {event::kSell, "not traded"},           {event::kViewHistory, "no history"},
    {event::kAddAddress, "not added"},      {event::kModifyAddress, "not rewritten"},
    {event::kDeleteAddress, "not deleted"}, {event::kDeposit, "not deposited"},
    {event::kViewBalance, "no balances"},   {event::kListAddresses, "no addresses"},
};

std::string joined(const korvane::Outcome& outcome) {
  std::string ids;
  for (uint32_t id : outcome.ids()) ids += (ids.empty() ? "" : ", ") + std::to_string(id);
  return ids;
}

// The note on a request that was carried out, when the answer does not say it all.
std::optional<Note> done_note(const korvane::KorvaneInterface& request, const std::string& answer,
                              const korvane::Outcome& outcome) {
  switch (request.event_id()) {
    case event::kModifyAddress: {
      const korvane::ModifyAddressBook& m = request.event_modify_addressbook();
      if (m._id() != wire::kEveryAddressBookEntry) return std::nullopt;
      if (outcome.ids().empty()) {
        return Note{false, "nothing overwritten: your address book is empty"};
      }
      return Note{false, "overwrote the address of entries " + joined(outcome) + " with '" +
                             m.new_addr() + "'"};
    }
    case event::kViewHistory: {
      if (count_documents(answer, korvane::HistoryResponse::default_instance()) > 0) {
        return std::nullopt;
      }
      const korvane::History& h = request.event_history();
      return Note{false, "no trades: this account has " +
                             std::string(h.type() == 1 ? "bought" : "sold") + " no " +
                             symbol_name(h.symbol())};
    }
    case event::kListAddresses:
      if (!outcome.ids().empty()) return std::nullopt;
      return Note{false, "no entries: your address book is empty"};
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<korvane::Outcome> take_outcome_line(std::string* answer) {
  const std::string& a = *answer;
  if (a.empty() || a.back() != '\n') return std::nullopt;
  const size_t end = a.size() - 1;  // the last line's end
  const size_t before = end == 0 ? std::string::npos : a.rfind('\n', end - 1);
  const size_t start = before == std::string::npos ? 0 : before + 1;
  if (a.compare(start, sizeof(wire::kOutcomeLineStart) - 1, wire::kOutcomeLineStart) != 0)
    return std::nullopt;
  korvane::Outcome outcome;
  if (!google::protobuf::util::JsonStringToMessage(a.substr(start, end - start), &outcome).ok()) {
    return std::nullopt;
  }
  answer->resize(start);
  return outcome;
}

std::optional<std::string> reason_words(const std::string& code) {
  for (const ReasonWords& row : kReasonWords) {
    if (code == row.code) return std::string(row.words);
  }
  return std::nullopt;
}

std::string head_of(const korvane::KorvaneInterface& request) {
  for (const Head& h : kHeads) {
    if (h.event_id == request.event_id()) return h.head;
  }
  return "not done";
}

std::string order_words(const korvane::KorvaneInterface& request) {
  const bool buy = request.event_id() == event::kBuy;
  const int64_t symbol = buy ? static_cast<int64_t>(request.event_buy().symbol())
                             : static_cast<int64_t>(request.event_sell().symbol());
  const uint64_t at = buy ? request.event_buy().timestamp() : request.event_sell().timestamp();
  return std::string(buy ? "buy" : "sell") + " of " + symbol_name(symbol) + " at " + utc_time(at);
}

std::optional<Note> outcome_note(const korvane::KorvaneInterface& request,
                                 const std::string& answer, const korvane::Outcome& outcome) {
  if (outcome.outcome() == "done") return done_note(request, answer, outcome);
  std::string why =
      reason_words(outcome.reason()).value_or("the server says '" + outcome.reason() + "'");
  if (outcome.reason() == "filtered" && outcome.detail().size() == 1) {
    // The character the server names, in words: a blank, for one, is invisible in quotes.
    if (std::optional<std::string> words = filtered_character_words(outcome.detail()[0])) {
      why = "it holds " + *words + ", which the server refuses in names, addresses and memos";
    }
  }
  return Note{true, head_of(request) + ": " + why};
}
