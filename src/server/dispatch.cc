#include "server/dispatch.h"

#include "account/balances.h"
#include "account/session.h"
#include "base/output.h"
#include "exchange/exchange.h"
#include "exchange/market_view.h"

namespace {

using korvane::KorvaneInterface;

constexpr char kParseError[] = "Error parse_handler();";
constexpr char kMultiLogin[] = "Do not multi-login!";

// The map of the server: every event code beside the number of the envelope's field that holds
// the nested message it requires (0 when it needs none) and the handler that runs it. Adding an
// event is adding a row.
struct EventRoute {
  int32_t code;
  int request_field;
  void (*run)(const KorvaneInterface& envelope);
};

void sign_up(const KorvaneInterface& e) {
  // Sign-up works with or without a session; it only borrows the object's operation.
  User scratch;
  (user != nullptr ? user : &scratch)->handle_signup(e.event_signup());
}

void sign_in(const KorvaneInterface& e) {
  if (login_count != 0) {
    print_line(kMultiLogin);
    return;
  }
  login_count = 1;              // one attempt per process, whatever its outcome
  if (user == nullptr) return;  // the session is gone: refused quietly
  user->handle_signin(e.event_signin());
}

void sign_out(const KorvaneInterface&) {
  if (user == nullptr) return;
  user->handle_signout();
  delete user;
  user = nullptr;
}

void my_info(const KorvaneInterface&) {
  if (user != nullptr) user->handle_my_info();
}

void view_market(const KorvaneInterface&) { handle_view_market(); }

// Reached through the exchange group only, so the session is there and signed in.
void view_balance(const KorvaneInterface&) { handle_view_balance(*user); }

// Exchange handlers get a fresh Exchange and their own copy of the nested message.
template <typename Request, const Request& (KorvaneInterface::*get)() const,
          int (Exchange::*handle)(const Request&)>
void run_exchange(const KorvaneInterface& e) {
  Exchange exchange;
  const Request request = (e.*get)();
  (exchange.*handle)(request);
}

const EventRoute kUserEvents[] = {
    {event::kSignUp, KorvaneInterface::kEventSignupFieldNumber, sign_up},
    {event::kSignIn, KorvaneInterface::kEventSigninFieldNumber, sign_in},
    {event::kSignOut, 0, sign_out},
    {event::kMyInfo, 0, my_info},
    {event::kViewMarket, 0, view_market},
};

const EventRoute kExchangeEvents[] = {
    {event::kBuy, KorvaneInterface::kEventBuyFieldNumber,
     run_exchange<korvane::Buy, &KorvaneInterface::event_buy, &Exchange::handle_buy>},
    {event::kSell, KorvaneInterface::kEventSellFieldNumber,
     run_exchange<korvane::Sell, &KorvaneInterface::event_sell, &Exchange::handle_sell>},
    {event::kViewHistory, KorvaneInterface::kEventHistoryFieldNumber,
     run_exchange<korvane::History, &KorvaneInterface::event_history,
                  &Exchange::handle_view_history>},
    {event::kAddAddress, KorvaneInterface::kEventAddressbookFieldNumber,
     run_exchange<korvane::AddressBook, &KorvaneInterface::event_addressbook,
                  &Exchange::handle_add_addressbook>},
    {event::kModifyAddress, KorvaneInterface::kEventModifyAddressbookFieldNumber,
     run_exchange<korvane::ModifyAddressBook, &KorvaneInterface::event_modify_addressbook,
                  &Exchange::handle_modify_addressbook>},
    {event::kDeleteAddress, KorvaneInterface::kEventAddressbookFieldNumber,
     run_exchange<korvane::AddressBook, &KorvaneInterface::event_addressbook,
                  &Exchange::handle_del_addressbook>},
    {event::kDeposit, KorvaneInterface::kEventDepositFieldNumber,
     run_exchange<korvane::Deposit, &KorvaneInterface::event_deposit, &Exchange::handle_deposit>},
    {event::kViewBalance, 0, view_balance},
};

// The row of `code` in `table`; null when it has none.
template <size_t N>
const EventRoute* find_route(const EventRoute (&table)[N], int32_t code) {
  for (const EventRoute& row : table) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

bool has_field(const KorvaneInterface& envelope, int number) {
  const auto* field = KorvaneInterface::descriptor()->FindFieldByNumber(number);
  return envelope.GetReflection()->HasField(envelope, field);
}

// Runs the row for the envelope's code. Unknown codes are ignored silently (0); a missing
// nested message is ignored silently too (-1).
template <size_t N>
int route(const EventRoute (&table)[N], const KorvaneInterface& envelope) {
  const EventRoute* row = find_route(table, envelope.event_id());
  if (row == nullptr) return 0;
  if (row->request_field != 0 && !has_field(envelope, row->request_field)) return -1;
  row->run(envelope);
  return 0;
}

}  // namespace

int required_request_field(int32_t code) {
  const EventRoute* row = find_route(kUserEvents, code);
  if (row == nullptr) row = find_route(kExchangeEvents, code);
  return row == nullptr ? 0 : row->request_field;
}

int user_handler(const KorvaneInterface& envelope) { return route(kUserEvents, envelope); }

int exchange_handler(const KorvaneInterface& envelope) { return route(kExchangeEvents, envelope); }

int parse_handler(const char* data, int32_t length) {
  KorvaneInterface envelope;
  // ParseFromArray fails on malformed bytes and on a missing required field anywhere: the
  // envelope's code and every field of every nested message present, used or not.
  if (!envelope.ParseFromArray(data, length)) {
    print_line(kParseError);
    return -1;
  }
  switch (envelope.event_id() >> 24) {  // arithmetic shift: negative codes stay negative
    case event::kUserGroup:
      user_handler(envelope);
      break;
    case event::kExchangeGroup:
      if (session_signed_in()) exchange_handler(envelope);
      break;
    default:
      break;
  }
  return 0;
}
