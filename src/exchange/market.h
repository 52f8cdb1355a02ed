// Coin symbols and the market table.
//
// Requests name a coin by its id; statements, balance columns and responses by its symbol text.
// Id 3 is "SOL" everywhere the exchange speaks, although the message enumeration calls it ELF.
#ifndef KORVANE_EXCHANGE_MARKET_H_
#define KORVANE_EXCHANGE_MARKET_H_

#include <cstdint>
#include <optional>
#include <string>

#include "db/result_set.h"

// The symbol text of coin `id`, or nothing for an id outside 0 to 3 (the caller refuses).
std::optional<std::string> convert_sym_with_id(int32_t id);

// True when the stock covers the order amount.
bool validate_coin_qty(uint64_t stock, uint64_t amount);

#endif  // KORVANE_EXCHANGE_MARKET_H_
