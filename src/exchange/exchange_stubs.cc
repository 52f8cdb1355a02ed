// Events the exchange accepts but does not offer yet.
#include "base/output.h"
#include "base/reply_lines.h"
#include "exchange/exchange.h"

Outcome Exchange::handle_deposit(const korvane::Deposit&) {
  print_line(wire::kDepositStubLine);
  return refused(Reason::kNotOffered);
}

Outcome Exchange::handle_del_addressbook(const korvane::AddressBook&) {
  print_line(wire::kDeleteStubLine);
  return refused(Reason::kNotOffered);
}
