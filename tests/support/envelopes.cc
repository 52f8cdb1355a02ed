#include "support/envelopes.h"

#include <cstdint>
#include <random>

#include "server/dispatch.h"

namespace envelopes {

korvane::KorvaneInterface event(int32_t code) {
  korvane::KorvaneInterface e;
  e.set_event_id(code);
  return e;
}

korvane::KorvaneInterface signup(const std::string& name, const std::string& password) {
  auto e = event(event::kSignUp);
  e.mutable_event_signup()->set_username(name);
  e.mutable_event_signup()->set_password(password);
  return e;
}

korvane::KorvaneInterface signin(const std::string& name, const std::string& password) {
  auto e = event(event::kSignIn);
  e.mutable_event_signin()->set_username(name);
  e.mutable_event_signin()->set_password(password);
  return e;
}

korvane::KorvaneInterface signout() { return event(event::kSignOut); }
korvane::KorvaneInterface my_info() { return event(event::kMyInfo); }

korvane::KorvaneInterface buy(int64_t symbol, uint64_t amount, std::optional<uint64_t> timestamp) {
  auto e = event(event::kBuy);
  e.mutable_event_buy()->set_symbol(symbol);
  e.mutable_event_buy()->set_amount(amount);
  if (timestamp) e.mutable_event_buy()->set_timestamp(*timestamp);
  return e;
}

korvane::KorvaneInterface sell(int symbol, uint64_t amount, std::optional<uint64_t> timestamp) {
  auto e = event(event::kSell);
  e.mutable_event_sell()->set_symbol(static_cast<korvane::Symbol>(symbol));
  e.mutable_event_sell()->set_amount(amount);
  if (timestamp) e.mutable_event_sell()->set_timestamp(*timestamp);
  return e;
}

korvane::KorvaneInterface history(int symbol, uint64_t type, std::optional<uint64_t> ts) {
  auto e = event(event::kViewHistory);
  e.mutable_event_history()->set_symbol(static_cast<korvane::Symbol>(symbol));
  e.mutable_event_history()->set_type(type);
  if (ts) e.mutable_event_history()->set_ts(*ts);
  return e;
}

korvane::KorvaneInterface add_address(int symbol, const std::string& address,
                                      std::optional<std::string> memo,
                                      std::optional<uint64_t> create_at_ts) {
  auto e = event(event::kAddAddress);
  auto* a = e.mutable_event_addressbook();
  a->set_symbol(static_cast<korvane::Symbol>(symbol));
  a->set_address(address);
  if (memo) a->set_memo(*memo);
  if (create_at_ts) a->set_create_at_ts(*create_at_ts);
  return e;
}

korvane::KorvaneInterface modify_address(int32_t id, const std::string& new_addr,
                                         std::optional<std::string> origin_addr) {
  auto e = event(event::kModifyAddress);
  auto* m = e.mutable_event_modify_addressbook();
  m->set__id(id);
  m->set_new_addr(new_addr);
  if (origin_addr) m->set_origin_addr(*origin_addr);
  return e;
}

korvane::KorvaneInterface deposit(int symbol, const std::string& address) {
  auto e = event(event::kDeposit);
  e.mutable_event_deposit()->set_symbol(static_cast<korvane::Symbol>(symbol));
  e.mutable_event_deposit()->set_address(address);
  return e;
}

korvane::KorvaneInterface delete_address(int symbol, const std::string& address) {
  auto e = event(event::kDeleteAddress);
  e.mutable_event_addressbook()->set_symbol(static_cast<korvane::Symbol>(symbol));
  e.mutable_event_addressbook()->set_address(address);
  return e;
}

korvane::KorvaneInterface view_market() { return event(event::kViewMarket); }
korvane::KorvaneInterface view_balance() { return event(event::kViewBalance); }

std::string bytes_of(const korvane::KorvaneInterface& envelope) {
  std::string bytes;
  envelope.SerializePartialToString(&bytes);
  return bytes;
}

std::string bytes_code_last(korvane::KorvaneInterface envelope) {
  const korvane::KorvaneInterface code = event(envelope.event_id());
  envelope.clear_event_id();
  return bytes_of(envelope) + bytes_of(code);
}

}  // namespace envelopes

std::string unique_name(const std::string& prefix) {
  // Not the process id: a database outlives the test processes (both passes of scripts/test
  // share one, and rounds of --repeat too), and ids come round again within minutes here.
  static const std::string process = [] {
    std::random_device seed;
    uint64_t bits = (uint64_t{seed()} << 32) | seed();
    std::string text;
    for (; bits != 0; bits /= 36) text += "0123456789abcdefghijklmnopqrstuvwxyz"[bits % 36];
    return text;
  }();
  static int counter = 0;
  std::string name = prefix + "_" + process + "_" + std::to_string(++counter);
  return name.size() <= 32 ? name : name.substr(name.size() - 32);
}
