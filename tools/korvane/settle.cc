#include "korvane/settle.h"

#include <cctype>

#include "base/wire_facts.h"
#include "korvane/human.h"
#include "korvane/outcome.h"
#include "server/dispatch.h"

namespace {

// "xrp" for coin 2, as a command line names it.
std::string lower_symbol(int symbol) {
  std::string name = symbol_name(symbol);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

}  // namespace

std::optional<Check> check_of(const korvane::KorvaneInterface& request) {
  Check check;
  switch (request.event_id()) {
    case event::kBuy:
    case event::kSell: {
      const bool buy = request.event_id() == event::kBuy;
      const int symbol = buy ? static_cast<int>(request.event_buy().symbol())
                             : static_cast<int>(request.event_sell().symbol());
      check.query.set_event_id(event::kViewHistory);
      check.query.mutable_event_history()->set_symbol(static_cast<korvane::Symbol>(symbol));
      check.query.mutable_event_history()->set_type(buy ? 1 : 0);
      check.command = "history " + lower_symbol(symbol) + (buy ? " buy" : " sell");
      check.what = "the " + order_words(request);
      return check;
    }
    case event::kAddAddress:
      check.what = "the add of address " + request.event_addressbook().address();
      break;
    case event::kModifyAddress: {
      const int32_t id = request.event_modify_addressbook()._id();
      check.what = id == wire::kEveryAddressBookEntry
                       ? std::string("the overwrite of every entry")
                       : "the rewrite of entry " + std::to_string(id);
      break;
    }
    default:
      return std::nullopt;
  }
  check.query.set_event_id(event::kListAddresses);
  check.command = "address list";
  return check;
}

std::vector<korvane::AddressBookEntry> address_entries(const std::string& answer) {
  std::vector<korvane::AddressBookEntry> entries;
  walk_documents(answer, korvane::AddressBookEntry::default_instance(),
                 [&](const google::protobuf::Message& m) {
                   entries.push_back(static_cast<const korvane::AddressBookEntry&>(m));
                 });
  return entries;
}

Verdict verdict(const korvane::KorvaneInterface& request, const std::string& answer,
                const Check& check) {
  switch (request.event_id()) {
    case event::kBuy:
    case event::kSell: {
      // The bot guard lets one order of an account, coin and side have a given time.
      const uint64_t at = request.event_id() == event::kBuy ? request.event_buy().timestamp()
                                                            : request.event_sell().timestamp();
      std::string trade;
      walk_documents(answer, korvane::HistoryResponse::default_instance(),
                     [&](const google::protobuf::Message& m) {
                       const auto& h = static_cast<const korvane::HistoryResponse&>(m);
                       if (h.trade_time() == at) trade = std::to_string(h.id());
                     });
      if (trade.empty())
        return {false, "not applied: your history holds no " + order_words(request)};
      return {true, "applied: your history holds " + check.what + " (trade " + trade + ")"};
    }
    case event::kAddAddress: {
      const korvane::AddressBook& add = request.event_addressbook();
      for (const korvane::AddressBookEntry& e : address_entries(answer)) {
        if (e.symbol() == symbol_name(add.symbol()) && e.address() == add.address() &&
            e.memo() == add.memo() &&
            (!add.has_create_at_ts() ||
             e.create_at_ts() == static_cast<int64_t>(add.create_at_ts()))) {
          return {true,
                  "applied: your address book holds it (entry " + std::to_string(e.id()) + ")"};
        }
      }
      return {false, "not applied: your address book does not hold it"};
    }
    default: {
      const korvane::ModifyAddressBook& m = request.event_modify_addressbook();
      bool all = true;
      bool found = false;
      for (const korvane::AddressBookEntry& e : address_entries(answer)) {
        if (m._id() != wire::kEveryAddressBookEntry && static_cast<int32_t>(e.id()) != m._id()) {
          continue;
        }
        found = true;
        all = all && e.address() == m.new_addr();
      }
      if (m._id() != wire::kEveryAddressBookEntry && !found) {
        return {false, "not applied: you have no entry " + std::to_string(m._id())};
      }
      return {all, all ? "applied: your address book holds the new address"
                       : "not applied: your address book holds the old address"};
    }
  }
}

std::string unknown_text(const Check& check) {
  return "whether " + check.what + " was applied is not known: sign in and look with '" +
         check.command + "'";
}
