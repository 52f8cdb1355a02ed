// Rewriting the addresses of address-book entries.
#include <fmt/format.h>

#include <cstring>
#include <vector>

#include "account/session.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/screen.h"
#include "db/statements.h"
#include "db/transaction.h"
#include "exchange/addressbook.h"
#include "exchange/exchange.h"

void modify_addressbook_response(int id, std::string origin_addr, std::string new_addr) {
  korvane::ModifyAddressBookResponse response;
  response.set_id(static_cast<uint32_t>(id));
  response.set_origin_addr(origin_addr);
  response.set_new_addr(new_addr);
  print_json_response(response, JsonFields::kAllFields);
}

namespace {

// The statements that begin a rewrite after its locking reads: the account's old attempt rows go,
// and this attempt's own row comes, as the round trip's last statement, whose insert id the
// rewrite keeps (see kInsertAttempt).
void add_attempt_row(std::vector<std::string>* reads) {
  reads->push_back(fmt::format(sql::kPruneAttempts, user->idx));
  reads->push_back(fmt::format(sql::kInsertAttempt, user->idx));
}

// What proves the rewrite that began with add_attempt_row() should its commit's answer be lost.
MySQLClient::Proof attempt_proof() {
  return {fmt::format(sql::kProveAttempt, client->last_insert_id(), user->idx), ""};
}

}  // namespace

// The rewrite of one entry runs as a transaction that holds the entry from its first read, so
// the address it reports as the origin is the one it replaces. Should the commit's answer be lost,
// its attempt row says whether it was applied, whatever the entry holds by then: another session
// may have rewritten it since, and running this rewrite again would undo that.
Outcome modify_address(int id, std::string new_addr) {
  if (std::optional<Outcome> filtered = refuse_filtered(new_addr)) return *filtered;
  Transaction rewrite(client);
  std::vector<std::string> reads = {fmt::format(sql::kLockAddressById, id, user->idx)};
  add_attempt_row(&reads);
  std::vector<ResultSet> results = rewrite.begin(reads);
  if (results.size() != reads.size()) return refused_by_database();
  MYSQL_ROW row = results[0].first_row();
  if (row == nullptr || row[0] == nullptr) return refused(Reason::kNotYourEntry);
  const std::string previous(row[0], results[0].fetch_lengths()[0]);
  // Nothing to write, and nothing to report.
  if (previous == new_addr) return refused(Reason::kSameAddress);
  if (!rewrite.commit({fmt::format(sql::kUpdateAddressById, new_addr, id, user->idx)},
                      attempt_proof())) {
    return refused_by_database();
  }
  modify_addressbook_response(id, previous, new_addr);
  return done({static_cast<uint32_t>(id)});
}

// The rewrite of every entry runs as one transaction that holds the account's entries from its
// first read, so the book is rewritten whole or not at all, and a later rewrite by another
// session waits behind it. Should the commit's answer be lost, its attempt row says whether it
// was applied, as for the rewrite of one entry.
Outcome modify_all_address(std::string origin_addr, std::string new_addr) {
  if (std::optional<Outcome> filtered = refuse_filtered(origin_addr)) return *filtered;
  if (std::optional<Outcome> filtered = refuse_filtered(new_addr)) return *filtered;
  // The origin count's number selects nothing: every entry of the account gets the new address.
  // It is still sent, since it is what refuses an origin the database cannot take (a NUL byte
  // cuts the statement inside its quotes) before any id is shown.
  Transaction rewrite(client);
  std::vector<std::string> reads = {fmt::format(sql::kCountAddressesByText, origin_addr, user->idx),
                                    fmt::format(sql::kLockAllAddresses, user->idx)};
  add_attempt_row(&reads);
  std::vector<ResultSet> results = rewrite.begin(reads);
  if (results.empty() || results[0].first_row() == nullptr) return refused_by_database();
  if (results.size() != reads.size() || !results[1]) return refused_by_database();
  std::vector<std::string> updates;
  std::vector<uint32_t> ids;
  while (MYSQL_ROW row = results[1].fetch_row()) {
    const int32_t id = parse_decimal_prefix32(row[0]);
    print_uncommitted_line(std::to_string(id));
    updates.push_back(fmt::format(sql::kUpdateEachAddress, new_addr, id, user->idx));
    ids.push_back(static_cast<uint32_t>(id));
  }
  // A book without entries writes nothing: its transaction, attempt row and all, is rolled back.
  if (updates.empty()) return done();
  if (rewrite.commit(updates, attempt_proof())) return done(std::move(ids));
  // A failed update stops the batch, and the commit with it. Every update carries the same
  // address, so the rest would have failed alike (a NUL byte ends the text inside its quotes):
  // nothing is written, and the ids stay shown, as each entry's rewrite was tried. An attempt
  // the database undid runs again instead, and its ids go with it.
  const Outcome outcome = refused_by_database();
  if (client->attempt().outcome == MySQLClient::Outcome::kDone) {
    handle_error(static_cast<int>(client->last_error()));
    commit_output();
  }
  return outcome;
}

Outcome Exchange::handle_modify_addressbook(const korvane::ModifyAddressBook& request) {
  const int32_t id = request._id();
  // The request's memo is not part of an entry's rewrite.
  ResultSet count =
      client->exec_query_result(fmt::format(sql::kCountAddressesForModify, user->idx));
  MYSQL_ROW row = count.first_row();
  if (row == nullptr) return refused_by_database();
  if (static_cast<uint32_t>(parse_decimal_prefix32(row[0])) > kMaxAddressBookEntries) {
    return refused(Reason::kBookFull);
  }

  print_line(std::to_string(id));
  // 0 names no entry, and -1 none either: its single rewrite finds nothing (it is tried all the
  // same), and the rewrite of every entry decides.
  if (id == 0) return refused(Reason::kNotYourEntry);
  Outcome outcome = modify_address(id, request.new_addr());
  if (id == kEveryAddressBookEntry) {
    outcome = modify_all_address(request.origin_addr(), request.new_addr());
  }
  return outcome;
}
