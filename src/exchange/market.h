// Coin symbols and the market table.
//
// Requests name a coin by its id; statements, balance columns and responses by its symbol text.
// Id 3 is "SOL" everywhere the exchange speaks, although the message enumeration calls it ELF.
#ifndef KORVANE_EXCHANGE_MARKET_H_
#define KORVANE_EXCHANGE_MARKET_H_

#include <cstdint>
#include <optional>
#include <string>

// The symbol text of coin `id`, or nothing for an id outside 0 to 3 (the caller refuses).
std::optional<std::string> convert_sym_with_id(int32_t id);

// True when the stock covers the order amount.
bool validate_coin_qty(uint64_t stock, uint64_t amount);

// A market value (price or stock) from its column text. They are INT columns: read with a 32-bit
// parse and widened with their sign, so the view shows exactly what an order sees, and a negative
// value stays negative as a signed 64-bit number.
uint64_t market_value(const char* text);

#endif  // KORVANE_EXCHANGE_MARKET_H_
