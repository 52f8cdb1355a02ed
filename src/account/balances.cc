#include "account/balances.h"

#include <fmt/format.h>

#include "account/session.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "db/statements.h"

namespace {

enum BalanceColumn : unsigned int { kKrw, kBtc, kEth, kXrp, kSol, kBalanceColumns };

// Widened with its sign for the response.
uint64_t balance(MYSQL_ROW row, BalanceColumn column) {
  return static_cast<uint64_t>(balance_value(row[column]));
}

}  // namespace

int64_t balance_value(const char* text) { return parse_decimal_prefix32(text); }

int handle_view_balance(const User& account) {
  // All five balances come from one row in one read, so a trade of another session shows
  // either whole or not at all.
  ResultSet vault = client->exec_query_result(fmt::format(sql::kSelectBalances, account.idx));
  if (!vault || vault.num_fields() < kBalanceColumns) return -1;
  MYSQL_ROW row = vault.fetch_row();
  if (row == nullptr) return -1;
  korvane::BalanceResponse response;
  response.set_krw(balance(row, kKrw));
  response.set_btc(balance(row, kBtc));
  response.set_eth(balance(row, kEth));
  response.set_xrp(balance(row, kXrp));
  response.set_sol(balance(row, kSol));
  print_json_response(response, JsonFields::kAllFields);
  return 0;
}
