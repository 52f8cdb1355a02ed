// The builders of the commands about the account, the market and orders (command_table.h): each
// checks its values as the server would take them, then fills the request envelope.
#include <optional>

#include "korvane/command_table.h"
#include "korvane/text_rules.h"
#include "server/dispatch.h"

namespace {

bool build_account(const Args& a, Command* c, std::string* error, bool signup) {
  // A name the server refuses ends a sign-up's session, and spends a sign-in's one attempt.
  if (std::optional<std::string> problem = name_problem(a.positional[0])) {
    *error = *problem;
    return false;
  }
  c->request.set_event_id(signup ? event::kSignUp : event::kSignIn);
  std::string password = a.positional.size() > 1 ? a.positional[1] : "";
  c->password_missing = a.positional.size() < 2;
  if (signup && !c->password_missing) {
    if (std::optional<std::string> problem = signup_password_problem(password)) {
      *error = *problem;
      return false;
    }
  }
  if (signup) {
    c->request.mutable_event_signup()->set_username(a.positional[0]);
    c->request.mutable_event_signup()->set_password(password);
    c->answer_type = &korvane::SignUpResponse::default_instance();
  } else {
    c->request.mutable_event_signin()->set_username(a.positional[0]);
    c->request.mutable_event_signin()->set_password(password);
  }
  return true;
}

bool build_order(const Args& a, uint64_t now, Command* c, std::string* error, bool buy) {
  int symbol;
  uint64_t amount, at;
  if (!parse_symbol(a.positional[0], &symbol, error) ||
      !parse_amount(a.positional[1], &amount, error) || !parse_order_time(a, now, &at, error)) {
    return false;
  }
  if (buy) {
    c->request.set_event_id(event::kBuy);
    korvane::Buy* b = c->request.mutable_event_buy();
    b->set_symbol(symbol);
    b->set_amount(amount);
    b->set_timestamp(at);
    c->human_skips_lines = 2;  // the coin's price and stock, which the trade shows again
  } else {
    c->request.set_event_id(event::kSell);
    korvane::Sell* s = c->request.mutable_event_sell();
    s->set_symbol(as_enum(symbol));
    s->set_amount(amount);
    s->set_timestamp(at);
  }
  c->answer_type = &korvane::TradeResponse::default_instance();
  return true;
}

// A request that carries nothing but its event, answered with `answer_type` (null: no document).
bool build_plain(Command* c, int32_t event_id, const google::protobuf::Message* answer_type) {
  c->request.set_event_id(event_id);
  c->answer_type = answer_type;
  return true;
}

}  // namespace

bool build_signup(const Args& a, uint64_t, Command* c, std::string* error) {
  return build_account(a, c, error, true);
}

bool build_signin(const Args& a, uint64_t, Command* c, std::string* error) {
  return build_account(a, c, error, false);
}

bool build_me(const Args&, uint64_t, Command* c, std::string*) {
  return build_plain(c, event::kMyInfo, nullptr);
}

bool build_signout(const Args&, uint64_t, Command* c, std::string*) {
  return build_plain(c, event::kSignOut, nullptr);
}

bool build_balance(const Args&, uint64_t, Command* c, std::string*) {
  return build_plain(c, event::kViewBalance, &korvane::BalanceResponse::default_instance());
}

bool build_market(const Args&, uint64_t, Command* c, std::string*) {
  return build_plain(c, event::kViewMarket, &korvane::MarketResponse::default_instance());
}

bool build_buy(const Args& a, uint64_t now, Command* c, std::string* error) {
  return build_order(a, now, c, error, true);
}

bool build_sell(const Args& a, uint64_t now, Command* c, std::string* error) {
  return build_order(a, now, c, error, false);
}

bool build_history(const Args& a, uint64_t, Command* c, std::string* error) {
  int symbol;
  if (!parse_symbol(a.positional[0], &symbol, error)) return false;
  std::string side = lower(a.positional[1]);
  if (side != "buy" && side != "sell") {
    *error = "bad side '" + a.positional[1] + "': use buy or sell";
    return false;
  }
  c->request.set_event_id(event::kViewHistory);
  c->request.mutable_event_history()->set_symbol(as_enum(symbol));
  c->request.mutable_event_history()->set_type(side == "buy" ? 1 : 0);
  c->answer_type = &korvane::HistoryResponse::default_instance();
  return true;
}
