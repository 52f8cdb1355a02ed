#include "server/dispatch.h"

#include "account/balances.h"
#include "account/session.h"
#include "base/output.h"
#include "base/reply_lines.h"
#include "exchange/exchange.h"
#include "exchange/market_view.h"

namespace {

using korvane::KorvaneInterface;

// The map of the server: every event code beside its name (as the outcome line gives it), the
// number of the envelope's field that holds the nested message it requires (0 when it needs
// none) and the handler that runs it. Adding an event is adding a row.
struct EventRoute {
  int32_t code;
  const char* name;
  int request_field;
  Outcome (*run)(const KorvaneInterface& envelope);
};

// A view that prints what it read: done, or refused when the read failed.
Outcome viewed(int result) { return result == 0 ? done() : refused_by_database(); }

Outcome sign_up(const KorvaneInterface& e) {
  // Sign-up works with or without a session; it only borrows the object's operation.
  User scratch;
  return (user != nullptr ? user : &scratch)->handle_signup(e.event_signup());
}

Outcome sign_in(const KorvaneInterface& e) {
  if (login_count != 0) {
    print_line(wire::kMultiLoginLine);
    return refused(Reason::kSignInSpent);
  }
  login_count = 1;  // one attempt per process, whatever its outcome
  // The session is gone: refused quietly.
  if (user == nullptr) return refused(Reason::kSignInSpent);
  return user->handle_signin(e.event_signin());
}

Outcome sign_out(const KorvaneInterface&) {
  if (user == nullptr) return refused(Reason::kNotSignedIn);
  Outcome outcome = user->handle_signout();
  delete user;
  user = nullptr;
  return outcome;
}

Outcome my_info(const KorvaneInterface&) {
  if (user == nullptr) return refused(Reason::kNotSignedIn);
  return user->handle_my_info();
}

Outcome view_market(const KorvaneInterface&) { return viewed(handle_view_market()); }

// Reached through the exchange group only, so the session is there and signed in.
Outcome view_balance(const KorvaneInterface&) { return viewed(handle_view_balance(*user)); }

Outcome list_addresses(const KorvaneInterface&) {
  Exchange exchange;
  return exchange.handle_list_addressbook();
}

// Exchange handlers get a fresh Exchange and their own copy of the nested message.
template <typename Request, const Request& (KorvaneInterface::*get)() const,
          Outcome (Exchange::*handle)(const Request&)>
Outcome run_exchange(const KorvaneInterface& e) {
  Exchange exchange;
  const Request request = (e.*get)();
  return (exchange.*handle)(request);
}

const EventRoute kUserEvents[] = {
    {event::kSignUp, "signup", KorvaneInterface::kEventSignupFieldNumber, sign_up},
    {event::kSignIn, "signin", KorvaneInterface::kEventSigninFieldNumber, sign_in},
    {event::kSignOut, "signout", 0, sign_out},
    {event::kMyInfo, "my_info", 0, my_info},
    {event::kViewMarket, "market", 0, view_market},
};

const EventRoute kExchangeEvents[] = {
    {event::kBuy, "buy", KorvaneInterface::kEventBuyFieldNumber,
     run_exchange<korvane::Buy, &KorvaneInterface::event_buy, &Exchange::handle_buy>},
    {event::kSell, "sell", KorvaneInterface::kEventSellFieldNumber,
     run_exchange<korvane::Sell, &KorvaneInterface::event_sell, &Exchange::handle_sell>},
    {event::kViewHistory, "history", KorvaneInterface::kEventHistoryFieldNumber,
     run_exchange<korvane::History, &KorvaneInterface::event_history,
                  &Exchange::handle_view_history>},
    {event::kAddAddress, "add_address", KorvaneInterface::kEventAddressbookFieldNumber,
     run_exchange<korvane::AddressBook, &KorvaneInterface::event_addressbook,
                  &Exchange::handle_add_addressbook>},
    {event::kModifyAddress, "modify_address", KorvaneInterface::kEventModifyAddressbookFieldNumber,
     run_exchange<korvane::ModifyAddressBook, &KorvaneInterface::event_modify_addressbook,
                  &Exchange::handle_modify_addressbook>},
    {event::kDeleteAddress, "delete_address", KorvaneInterface::kEventAddressbookFieldNumber,
     run_exchange<korvane::AddressBook, &KorvaneInterface::event_addressbook,
                  &Exchange::handle_del_addressbook>},
    {event::kDeposit, "deposit", KorvaneInterface::kEventDepositFieldNumber,
     run_exchange<korvane::Deposit, &KorvaneInterface::event_deposit, &Exchange::handle_deposit>},
    {event::kViewBalance, "balances", 0, view_balance},
    {event::kListAddresses, "list_addresses", 0, list_addresses},
};

// The row of `code` in `table`; null when it has none.
template <size_t N>
const EventRoute* find_route(const EventRoute (&table)[N], int32_t code) {
  for (const EventRoute& row : table) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

const EventRoute* route_of(int32_t code) {
  const EventRoute* row = find_route(kUserEvents, code);
  return row != nullptr ? row : find_route(kExchangeEvents, code);
}

bool has_field(const KorvaneInterface& envelope, int number) {
  const auto* field = KorvaneInterface::descriptor()->FindFieldByNumber(number);
  return envelope.GetReflection()->HasField(envelope, field);
}

// Runs the row for the envelope's code. Unknown codes are ignored silently; a missing nested
// message is ignored silently too.
template <size_t N>
Outcome route(const EventRoute (&table)[N], const KorvaneInterface& envelope) {
  const EventRoute* row = find_route(table, envelope.event_id());
  if (row == nullptr) return refused(Reason::kUnknownEvent);
  if (row->request_field != 0 && !has_field(envelope, row->request_field)) {
    return refused(Reason::kMalformed);
  }
  return row->run(envelope);
}

}  // namespace

int required_request_field(int32_t code) {
  const EventRoute* row = route_of(code);
  return row == nullptr ? 0 : row->request_field;
}

const char* event_name(int32_t code) {
  const EventRoute* row = route_of(code);
  return row != nullptr ? row->name : kUnknownEventName;
}

Outcome user_handler(const KorvaneInterface& envelope) { return route(kUserEvents, envelope); }

Outcome exchange_handler(const KorvaneInterface& envelope) {
  return route(kExchangeEvents, envelope);
}

Dispatched parse_handler(const char* data, int32_t length) {
  KorvaneInterface envelope;
  // ParseFromArray fails on malformed bytes and on a missing required field anywhere: the
  // envelope's code and every field of every nested message present, used or not.
  if (!envelope.ParseFromArray(data, length)) {
    print_line(wire::kParseErrorLine);
    // Whether the sender asked for the outcome line, read from whatever does decode.
    KorvaneInterface partial;
    const bool asked = partial.ParsePartialFromArray(data, length) && partial.ask_outcome();
    return {refused(Reason::kMalformed), kMalformedName, asked};
  }
  Dispatched request = {refused(Reason::kUnknownEvent), event_name(envelope.event_id()),
                        envelope.ask_outcome()};
  switch (envelope.event_id() >> 24) {  // arithmetic shift: negative codes stay negative
    case event::kUserGroup:
      request.outcome = user_handler(envelope);
      break;
    case event::kExchangeGroup:
      request.outcome =
          session_signed_in() ? exchange_handler(envelope) : refused(Reason::kNotSignedIn);
      break;
    default:
      break;
  }
  return request;
}
