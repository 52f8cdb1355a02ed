// Adding an entry to the withdrawal address book.
#include "exchange/addressbook.h"

#include <fmt/format.h>

#include <ctime>
#include <optional>

#include "account/session.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/screen.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "exchange/exchange.h"
#include "exchange/market.h"

namespace {
// Columns of kSelectAddressBook.
enum ListColumn : unsigned int {
  kListId = 0,
  kListSymbol = 1,
  kListAddress = 2,
  kListMemo = 3,
  kListCreated = 4,
  kListColumns = 5,
};
}  // namespace

bool validate_address(std::string address) { return address.size() <= wire::kMaxAddressBytes; }

bool validate_memo(std::string memo) { return parse_decimal_prefix64(memo.c_str()) != 0; }

void addressbook_response(AddressBookEntry entry) {
  korvane::AddressBookResponse response;
  response.set_symbol(entry[kEntrySymbol]);
  response.set_address(entry[kEntryAddress]);
  response.set_memo(entry[kEntryMemo]);
  print_json_response(response, JsonFields::kAllFields);
}

Outcome Exchange::handle_add_addressbook(const korvane::AddressBook& request) {
  // A client that gives no creation time gets the server's; values of 2^63 and above are
  // stored as the negative numbers they are as signed 64-bit values.
  const int64_t created = request.create_at_ts() != 0 ? static_cast<int64_t>(request.create_at_ts())
                                                      : static_cast<int64_t>(std::time(nullptr));
  std::optional<std::string> symbol = convert_sym_with_id(request.symbol());
  if (!symbol) return refused(Reason::kBadCoin);  // the decoder admits only the four coin ids

  // Sessions of one account may add at once. Holding the account's vault row (the lock every
  // order takes first) runs their adds one after the other, so two of them cannot both count
  // nine entries and both add one; the rollback on every early return releases it. The lock and
  // the count begin the transaction in one round trip.
  Transaction add(client);
  std::vector<ResultSet> reads = add.begin(
      {fmt::format(sql::kLockVault, user->idx), fmt::format(sql::kCountAddresses, user->idx)});
  if (reads.size() != 2) return refused_by_database();
  MYSQL_ROW row = reads[1].first_row();
  if (row == nullptr) return refused(Reason::kDatabase);
  if (static_cast<uint32_t>(parse_decimal_prefix32(row[0])) >= kMaxAddressBookEntries) {
    return refused(Reason::kBookFull);
  }

  AddressBookEntry entry = {*symbol, request.address(), request.memo()};
  // Length and memo come before the filter, so a refused entry is never reported by it. The
  // symbol text comes from the fixed coin table and needs no screening.
  if (!validate_address(entry[kEntryAddress])) return refused(Reason::kTooLong);
  if (!validate_memo(entry[kEntryMemo])) return refused(Reason::kBadMemo);
  if (std::optional<Outcome> filtered = refuse_filtered(entry[kEntryAddress])) return *filtered;
  if (std::optional<Outcome> filtered = refuse_filtered(entry[kEntryMemo])) return *filtered;

  // The echo announces the insert: it stays only if the entry is stored.
  print_uncommitted_line(entry[kEntryAddress]);
  print_uncommitted_line(entry[kEntryMemo]);
  client->exec_query_result(fmt::format(sql::kInsertAddress, user->idx, entry[kEntrySymbol],
                                        entry[kEntryAddress], entry[kEntryMemo], created));
  if (client->last_error() != 0) return refused_by_database();
  // The commit goes on its own: should its answer be lost, the id the insert gave tells whether
  // the entry was stored, where an identical entry added before could not.
  const uint64_t entry_id = client->last_insert_id();
  if (!add.commit({}, {fmt::format(sql::kProveAddress, entry_id, user->idx), ""})) {
    return refused_by_database();
  }
  addressbook_response(entry);
  entry.clear();
  return done({static_cast<uint32_t>(entry_id)});
}

Outcome Exchange::handle_list_addressbook() {
  ResultSet entries = client->exec_query_result(fmt::format(sql::kSelectAddressBook, user->idx));
  if (!entries || entries.num_fields() < kListColumns) return refused_by_database();
  std::vector<uint32_t> ids;
  while (MYSQL_ROW row = entries.fetch_row()) {
    const unsigned long* lengths = entries.fetch_lengths();
    const auto text = [&](unsigned int column) {
      return row[column] == nullptr ? std::string() : std::string(row[column], lengths[column]);
    };
    korvane::AddressBookEntry entry;
    entry.set_id(static_cast<uint32_t>(parse_decimal_prefix32(row[kListId])));
    entry.set_symbol(text(kListSymbol));
    entry.set_address(text(kListAddress));
    entry.set_memo(text(kListMemo));
    entry.set_create_at_ts(parse_decimal_prefix64(row[kListCreated]));
    print_json_response(entry, JsonFields::kSetFields);
    ids.push_back(entry.id());
  }
  return done(std::move(ids));
}
