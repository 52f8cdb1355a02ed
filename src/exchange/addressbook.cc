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
constexpr size_t kMaxAddressBytes = 255;
}  // namespace

bool validate_address(std::string address) { return address.size() <= kMaxAddressBytes; }

bool validate_memo(std::string memo) { return parse_decimal_prefix64(memo.c_str()) != 0; }

void addressbook_response(AddressBookEntry entry) {
  korvane::AddressBookResponse response;
  response.set_symbol(entry[kEntrySymbol]);
  response.set_address(entry[kEntryAddress]);
  response.set_memo(entry[kEntryMemo]);
  print_json_response(response, JsonFields::kAllFields);
}

int Exchange::handle_add_addressbook(const korvane::AddressBook& request) {
  // A client that gives no creation time gets the server's; values of 2^63 and above are
  // stored as the negative numbers they are as signed 64-bit values.
  const int64_t created = request.create_at_ts() != 0 ? static_cast<int64_t>(request.create_at_ts())
                                                      : static_cast<int64_t>(std::time(nullptr));
  std::optional<std::string> symbol = convert_sym_with_id(request.symbol());
  if (!symbol) return -1;  // cannot happen: the decoder admits only the four coin ids

  // Sessions of one account may add at once. Holding the account's vault row (the lock every
  // order takes first) runs their adds one after the other, so two of them cannot both count
  // nine entries and both add one; the rollback on every early return releases it. The lock and
  // the count begin the transaction in one round trip.
  Transaction add(client);
  std::vector<ResultSet> reads = add.begin(
      {fmt::format(sql::kLockVault, user->idx), fmt::format(sql::kCountAddresses, user->idx)});
  if (reads.size() != 2) return -1;
  MYSQL_ROW row = reads[1].first_row();
  if (row == nullptr) return -1;
  if (static_cast<uint32_t>(parse_decimal_prefix32(row[0])) >= kMaxAddressBookEntries) return -1;

  AddressBookEntry entry = {*symbol, request.address(), request.memo()};
  // Length and memo come before the filter, so a refused entry is never reported by it. The
  // symbol text comes from the fixed coin table and needs no screening.
  if (!validate_address(entry[kEntryAddress])) return -1;
  if (!validate_memo(entry[kEntryMemo])) return -1;
  if (detect_sqli(entry[kEntryAddress])) return -1;
  if (detect_sqli(entry[kEntryMemo])) return -1;

  // The echo announces the insert: it stays only if the entry is stored.
  print_uncommitted_line(entry[kEntryAddress]);
  print_uncommitted_line(entry[kEntryMemo]);
  client->exec_query_result(fmt::format(sql::kInsertAddress, user->idx, entry[kEntrySymbol],
                                        entry[kEntryAddress], entry[kEntryMemo], created));
  if (client->last_error() != 0) return -1;
  // The commit goes on its own: should its answer be lost, the id the insert gave tells whether
  // the entry was stored, where an identical entry added before could not.
  if (!add.commit({}, {fmt::format(sql::kProveAddress, client->last_insert_id(), user->idx), ""})) {
    return -1;
  }
  addressbook_response(entry);
  entry.clear();
  return 0;
}
