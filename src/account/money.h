// Order arithmetic in whole units.
//
// The exchange takes a fee of 25 % of a trade's value on each side, truncated: a buy pays value +
// fee, a sell receives value - fee. Each function answers nothing instead of wrapping when a step
// does not fit 64 bits, so an absurd order is refused rather than turned into a cheap one.
#ifndef KORVANE_ACCOUNT_MONEY_H_
#define KORVANE_ACCOUNT_MONEY_H_

#include <cstdint>
#include <optional>

#include "base/wire_facts.h"

namespace money {

constexpr uint64_t kFeePercent = wire::kFeePercent;

// price * amount.
inline std::optional<uint64_t> trade_value(uint64_t price, uint64_t amount) {
  uint64_t value;
  if (__builtin_mul_overflow(price, amount, &value)) return std::nullopt;
  return value;
}

// (value * 25) / 100, truncating.
inline std::optional<uint64_t> trade_fee(uint64_t value) {
  uint64_t scaled;
  if (__builtin_mul_overflow(value, kFeePercent, &scaled)) return std::nullopt;
  return scaled / 100;
}

// What a buy of `amount` coins at `price` debits: value + fee.
inline std::optional<uint64_t> buy_cost(uint64_t price, uint64_t amount) {
  std::optional<uint64_t> value = trade_value(price, amount);
  if (!value) return std::nullopt;
  std::optional<uint64_t> fee = trade_fee(*value);
  uint64_t total;
  if (!fee || __builtin_add_overflow(*value, *fee, &total)) return std::nullopt;
  return total;
}

// What a sell of `amount` coins at `price` credits: value - fee, never below zero.
inline std::optional<uint64_t> sell_proceeds(uint64_t price, uint64_t amount) {
  std::optional<uint64_t> value = trade_value(price, amount);
  if (!value) return std::nullopt;
  std::optional<uint64_t> fee = trade_fee(*value);
  if (!fee) return std::nullopt;
  return *value - *fee;
}

// True when a stored balance covers `need`. A negative balance covers nothing.
inline bool covers(int64_t balance, uint64_t need) {
  return balance >= 0 && static_cast<uint64_t>(balance) >= need;
}

}  // namespace money

#endif  // KORVANE_ACCOUNT_MONEY_H_
