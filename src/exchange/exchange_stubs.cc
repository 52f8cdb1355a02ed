// Events the exchange accepts but does not offer yet.
#include "base/output.h"
#include "exchange/exchange.h"

namespace {
constexpr char kDepositReply[] = "Hello handle_sell";  // the protocol's fixed text
constexpr char kDeleteAddressReply[] = "TODO";
}  // namespace

Outcome Exchange::handle_deposit(const korvane::Deposit&) {
  print_line(kDepositReply);
  return refused(Reason::kNotOffered);
}

Outcome Exchange::handle_del_addressbook(const korvane::AddressBook&) {
  print_line(kDeleteAddressReply);
  return refused(Reason::kNotOffered);
}
