// The builders of the commands about the address book and deposits (command_table.h). An
// address or memo the server would refuse is refused here, in words, before it is sent.
#include <limits>
#include <optional>

#include "base/wire_facts.h"
#include "korvane/command_table.h"
#include "korvane/text_rules.h"
#include "server/dispatch.h"

bool build_address_add(const Args& a, uint64_t, Command* c, std::string* error) {
  int symbol;
  if (!parse_symbol(a.positional[0], &symbol, error)) return false;
  std::optional<std::string> problem = address_problem(a.positional[1]);
  if (!problem) problem = memo_problem(a.positional[2]);
  if (problem) {
    *error = *problem;
    return false;
  }
  korvane::AddressBook* book = c->request.mutable_event_addressbook();
  if (a.option("--at") != nullptr) {  // else the server stamps the entry itself
    uint64_t seconds;
    if (!parse_time(a, 0, &seconds, error)) return false;
    book->set_create_at_ts(seconds);
  }
  c->request.set_event_id(event::kAddAddress);
  book->set_symbol(as_enum(symbol));
  book->set_address(a.positional[1]);
  book->set_memo(a.positional[2]);
  c->answer_type = &korvane::AddressBookResponse::default_instance();
  c->human_skips_lines = 2;  // the address and memo, which the entry shows again
  return true;
}

bool build_address_list(const Args&, uint64_t, Command* c, std::string*) {
  c->request.set_event_id(event::kListAddresses);
  c->answer_type = &korvane::AddressBookEntry::default_instance();
  return true;
}

bool build_address_set(const Args& a, uint64_t, Command* c, std::string* error) {
  int32_t id;
  if (std::optional<std::string> range = out_of_range<int32_t>("entry id", a.positional[0])) {
    *error = *range;
    return false;
  }
  if (!parse_number(a.positional[0], &id) || id <= 0) {
    *error = "bad entry id '" + a.positional[0] + "': expected a whole number above 0";
    return false;
  }
  if (std::optional<std::string> problem = new_address_problem(a.positional[1])) {
    *error = *problem;
    return false;
  }
  c->request.set_event_id(event::kModifyAddress);
  c->request.mutable_event_modify_addressbook()->set__id(id);
  c->request.mutable_event_modify_addressbook()->set_new_addr(a.positional[1]);
  c->answer_type = &korvane::ModifyAddressBookResponse::default_instance();
  c->human_skips_lines = 1;  // the id, which the entry shows again
  return true;
}

bool build_address_overwrite_all(const Args& a, uint64_t, Command* c, std::string* error) {
  if (std::optional<std::string> problem = new_address_problem(a.positional[0])) {
    *error = *problem;
    return false;
  }
  c->request.set_event_id(event::kModifyAddress);
  c->request.mutable_event_modify_addressbook()->set__id(wire::kEveryAddressBookEntry);
  c->request.mutable_event_modify_addressbook()->set_new_addr(a.positional[0]);
  // "-1" and the ids it overwrote, which the note names.
  c->human_skips_lines = std::numeric_limits<size_t>::max();
  if (a.option("--yes") == nullptr) {
    c->confirm =
        "This overwrites the address of EVERY entry in your address book, of "
        "every coin (BTC, ETH, XRP and SOL alike), with '" +
        a.positional[0] + "'. It cannot be undone.";
  }
  return true;
}

bool build_address_delete(const Args& a, uint64_t, Command* c, std::string* error) {
  int symbol;
  if (!parse_symbol(a.positional[0], &symbol, error)) return false;
  c->request.set_event_id(event::kDeleteAddress);
  c->request.mutable_event_addressbook()->set_symbol(as_enum(symbol));
  c->request.mutable_event_addressbook()->set_address(a.positional[1]);
  return true;
}

bool build_deposit(const Args& a, uint64_t, Command* c, std::string* error) {
  int symbol;
  if (!parse_symbol(a.positional[0], &symbol, error)) return false;
  korvane::Deposit* d = c->request.mutable_event_deposit();
  if (a.positional.size() > 2) {
    int64_t memo;
    if (!parse_number(a.positional[2], &memo)) {
      *error = "bad memo '" + a.positional[2] + "': expected a whole number";
      return false;
    }
    d->set_memo(memo);
  }
  c->request.set_event_id(event::kDeposit);
  d->set_symbol(as_enum(symbol));
  d->set_address(a.positional[1]);
  return true;
}
