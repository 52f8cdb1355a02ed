#include "exchange/market.h"

#include "base/decimal.h"

std::optional<std::string> convert_sym_with_id(int32_t id) {
  static const char* const kSymbols[] = {"BTC", "ETH", "XRP", "SOL"};
  if (id < 0 || id > 3) return std::nullopt;
  return std::string(kSymbols[id]);
}

bool validate_coin_qty(uint64_t stock, uint64_t amount) { return stock >= amount; }

uint64_t market_value(const char* text) {
  return static_cast<uint64_t>(static_cast<int64_t>(parse_decimal_prefix32(text)));
}
