#include "exchange/market.h"

#include <fmt/format.h>

#include "account/session.h"
#include "db/statements.h"

std::optional<std::string> convert_sym_with_id(int32_t id) {
  static const char* const kSymbols[] = {"BTC", "ETH", "XRP", "SOL"};
  if (id < 0 || id > 3) return std::nullopt;
  return std::string(kSymbols[id]);
}

bool validate_coin_qty(uint64_t stock, uint64_t amount) { return stock >= amount; }
