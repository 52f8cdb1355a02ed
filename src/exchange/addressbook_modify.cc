// Rewriting the addresses of address-book entries.
#include <fmt/format.h>

#include <cstring>
#include <vector>

#include "db/decimal.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "exchange/addressbook.h"
#include "server/exchange.h"
#include "server/json_print.h"
#include "server/output.h"
#include "server/session.h"

void modify_addressbook_response(int id, std::string origin_addr, std::string new_addr) {
  korvane::ModifyAddressBookResponse response;
  response.set_id(static_cast<uint32_t>(id));
  response.set_origin_addr(origin_addr);
  response.set_new_addr(new_addr);
  print_json_response(response, JsonFields::kAllFields);
}

// The rewrite of one entry runs as a transaction that holds the entry from its first read, so
// the address it reports as the origin is the one it replaces, and so that, should the commit's
// answer be lost, the proof waits for it if it is still alive and then finds the new address in
// place only if this rewrite (or one to the same address since) was applied. Running it again
// instead would find the new address there and answer nothing.
int modify_address(int id, std::string new_addr) {
  if (client->detect_sqli(new_addr)) return -1;
  Transaction rewrite(client);
  std::vector<ResultSet> reads = rewrite.begin({fmt::format(sql::kLockAddressById, id, user->idx)});
  if (reads.size() != 1) return -1;
  MYSQL_ROW row = reads[0].first_row();
  if (row == nullptr || row[0] == nullptr) return -1;
  const std::string previous(row[0], reads[0].fetch_lengths()[0]);
  if (previous == new_addr) return -1;  // nothing to write, and nothing to report
  const MySQLClient::Proof proof = {
      sql::kBeginTransaction, fmt::format(sql::kProveAddressRewrite, id, user->idx, new_addr)};
  if (!rewrite.commit({fmt::format(sql::kUpdateAddressById, new_addr, id, user->idx)}, proof)) {
    return -1;
  }
  modify_addressbook_response(id, previous, new_addr);
  return 0;
}

// The rewrite of every entry runs as one transaction that holds the account's entries from its
// first read, so the book is rewritten whole or not at all, and so that, should the commit's
// answer be lost, the proof waits for it if it is still alive and then finds the new address in
// every entry this attempt locked only if it was applied. A later rewrite by another session
// waits behind it instead of being overwritten by a late old batch.
int modify_all_address(std::string origin_addr, std::string new_addr) {
  if (client->detect_sqli(origin_addr)) return -1;
  if (client->detect_sqli(new_addr)) return -1;
  // The origin count belongs to the rewrite's statements, but its number selects nothing:
  // every entry of the account gets the new address.
  Transaction rewrite(client);
  std::vector<ResultSet> reads =
      rewrite.begin({fmt::format(sql::kCountAddressesByText, origin_addr, user->idx),
                     fmt::format(sql::kLockAllAddresses, user->idx)});
  if (reads.empty() || reads[0].first_row() == nullptr) return -1;
  if (reads.size() != 2 || !reads[1]) return -1;
  std::vector<std::string> updates;
  std::string ids;
  while (MYSQL_ROW row = reads[1].fetch_row()) {
    const int32_t id = parse_decimal_prefix32(row[0]);
    print_uncommitted_line(std::to_string(id));
    updates.push_back(fmt::format(sql::kUpdateEachAddress, new_addr, id, user->idx));
    ids += (ids.empty() ? "" : ",") + std::to_string(id);
  }
  // A book without entries writes nothing, and running it again changes nothing.
  MySQLClient::Proof proof;
  if (!updates.empty()) {
    proof = {sql::kBeginTransaction,
             fmt::format(sql::kProveAddressesRewrite, updates.size(), user->idx, ids, new_addr)};
  }
  if (rewrite.commit(updates, proof)) return 0;
  // A failed update stops the batch, and the commit with it. Every update carries the same
  // address, so the rest would have failed alike (a NUL byte ends the text inside its quotes):
  // nothing is written, and the ids stay shown, as each entry's rewrite was tried. An attempt
  // the database undid runs again instead, and its ids go with it.
  if (client->attempt_outcome() == MySQLClient::Outcome::kDone) {
    client->handle_error(static_cast<int>(client->last_error()));
    commit_output();
  }
  return 0;
}

int Exchange::handle_modify_addressbook(const korvane::ModifyAddressBook& request) {
  const int32_t id = request._id();
  // The request's memo is not part of an entry's rewrite.
  ResultSet count =
      client->exec_query_result(fmt::format(sql::kCountAddressesForModify, user->idx));
  MYSQL_ROW row = count.first_row();
  if (row == nullptr) return -1;
  if (static_cast<uint32_t>(parse_decimal_prefix32(row[0])) > kMaxAddressBookEntries) return -1;

  print_line(std::to_string(id));
  // -1 names no entry, so its single rewrite finds nothing; it is tried all the same.
  if (id != 0) modify_address(id, request.new_addr());
  if (id == kEveryAddressBookEntry) modify_all_address(request.origin_addr(), request.new_addr());
  return 0;
}
