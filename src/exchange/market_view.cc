#include "exchange/market_view.h"

#include <optional>

#include "account/session.h"
#include "base/json_print.h"
#include "db/statements.h"
#include "exchange/market.h"

namespace {

enum MarketColumn : unsigned int { kSymbol = 0, kPrice = 1, kStock = 2, kMarketColumns = 3 };
constexpr int32_t kCoins = 4;

// The coin id of a market row's symbol text, or nothing for a symbol the exchange does not trade.
std::optional<int32_t> coin_of(const char* symbol) {
  if (symbol == nullptr) return std::nullopt;
  for (int32_t id = 0; id < kCoins; ++id) {
    if (convert_sym_with_id(id) == symbol) return id;
  }
  return std::nullopt;
}

}  // namespace

int handle_view_market() {
  ResultSet rows = client->exec_query_result(sql::kSelectMarket);
  if (!rows || rows.num_fields() < kMarketColumns) return -1;
  // The statement leaves the row order to the database; the view shows the coins in id order.
  std::optional<korvane::MarketResponse> coins[kCoins];
  while (MYSQL_ROW row = rows.fetch_row()) {
    std::optional<int32_t> id = coin_of(row[kSymbol]);
    if (!id || coins[*id]) continue;  // the symbol is the table's key: one row per coin
    korvane::MarketResponse& coin = coins[*id].emplace();
    coin.set_symbol(*convert_sym_with_id(*id));
    coin.set_price(market_value(row[kPrice]));
    coin.set_stock(market_value(row[kStock]));
  }
  for (const auto& coin : coins) {
    if (coin) print_json_response(*coin, JsonFields::kAllFields);
  }
  return 0;
}
