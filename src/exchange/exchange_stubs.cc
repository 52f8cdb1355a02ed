// Events the exchange accepts but does not offer yet.
#include "base/output.h"
#include "exchange/exchange.h"

namespace {
constexpr char kDepositReply[] = "Hello handle_sell";  // the protocol's fixed text
constexpr char kDeleteAddressReply[] = "TODO";
}  // namespace

int Exchange::handle_deposit(const korvane::Deposit&) {
  print_line(kDepositReply);
  return 0;
}

int Exchange::handle_del_addressbook(const korvane::AddressBook&) {
  print_line(kDeleteAddressReply);
  return -1;
}
