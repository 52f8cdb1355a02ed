// Balance checks and moves of the signed-in account. Order execution runs them inside its
// transaction, after it has locked the account's vault row, so a check and the moves that follow
// it see the same balances.
#include <fmt/format.h>

#include "account/money.h"
#include "db/decimal.h"
#include "db/statements.h"
#include "server/output.h"
#include "server/session.h"

bool User::validate_user_krw(int64_t amount, int64_t price) {
  ResultSet balance = client->exec_query_result(fmt::format(sql::kSelectKrwBalance, idx));
  MYSQL_ROW row = balance.first_row();
  if (row == nullptr) return false;
  if (amount < 0 || price < 0) return false;
  std::optional<uint64_t> total =
      money::buy_cost(static_cast<uint64_t>(price), static_cast<uint64_t>(amount));
  return total && money::covers(parse_decimal_prefix32(row[0]), *total);
}

bool User::validate_user_qty(std::string symbol, int64_t amount) {
  ResultSet balance = client->exec_query_result(fmt::format(sql::kSelectCoinBalance, symbol, idx));
  MYSQL_ROW row = balance.first_row();
  if (row == nullptr) return false;
  if (amount < 0) return false;
  return money::covers(parse_decimal_prefix32(row[0]), static_cast<uint64_t>(amount));
}

bool User::update_user_vault_coin(std::string symbol, int64_t amount, bool buy) {
  std::string statement =
      fmt::format(buy ? sql::kAddCoin : sql::kSubtractCoin, symbol, symbol, amount, idx);
  print_uncommitted_line(statement);
  client->exec_query_result(statement);
  return client->last_error() == 0;
}

bool User::update_user_vault_krw(std::string, int64_t amount, bool buy) {
  std::string statement = fmt::format(buy ? sql::kSubtractKrw : sql::kAddKrw, amount, idx);
  print_uncommitted_line(statement);
  client->exec_query_result(statement);
  return client->last_error() == 0;
}
