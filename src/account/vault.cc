// Balance checks and moves of the signed-in account. Order execution reads the balances with the
// account's vault row locked and runs the moves in the same transaction, so a check and the
// moves that follow it see the same balances.
#include <fmt/format.h>

#include "account/money.h"
#include "account/session.h"
#include "db/statements.h"

bool User::validate_user_krw(int64_t amount, int64_t price, int64_t krw_balance) {
  if (amount < 0 || price < 0) return false;
  std::optional<uint64_t> total =
      money::buy_cost(static_cast<uint64_t>(price), static_cast<uint64_t>(amount));
  return total && money::covers(krw_balance, *total);
}

bool User::validate_user_qty(int64_t amount, int64_t coin_balance) {
  if (amount < 0) return false;
  return money::covers(coin_balance, static_cast<uint64_t>(amount));
}

std::string User::update_user_vault_coin(const std::string& symbol, int64_t amount, bool buy) {
  return fmt::format(buy ? sql::kAddCoin : sql::kSubtractCoin, symbol, symbol, amount, idx);
}

std::string User::update_user_vault_krw(int64_t amount, bool buy) {
  return fmt::format(buy ? sql::kSubtractKrw : sql::kAddKrw, amount, idx);
}
