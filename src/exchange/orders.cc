// Buying and selling.
#include <fmt/format.h>

#include "db/decimal.h"
#include "db/statements.h"
#include "exchange/market.h"
#include "server/exchange.h"
#include "server/json_print.h"
#include "server/output.h"
#include "server/session.h"

namespace {

constexpr char kBotDetected[] = "[-] DETECTED Trading Bot";

uint64_t column_u64(const char* text) {
  return static_cast<uint64_t>(static_cast<int64_t>(parse_decimal_prefix32(text)));
}

}  // namespace

int Exchange::handle_buy(const korvane::Buy& request) {
  int32_t id = static_cast<int32_t>(static_cast<uint32_t>(request.symbol()));
  uint64_t amount = request.amount();
  uint64_t trade_time = request.timestamp();
  if (amount == 0) return -1;
  std::optional<std::string> symbol = convert_sym_with_id(id);
  if (!symbol) return -1;
  if (check_trading_bot(*symbol, trade_time, true) == 0) return -1;
  ResultSet market = client->exec_query_result(fmt::format(sql::kSelectPriceAndStock, *symbol));
  MYSQL_ROW row = market.first_row();
  if (row == nullptr) return -1;
  cur_price = column_u64(row[0]);
  cur_qty = column_u64(row[1]);
  print_line(fmt::format("{}", cur_price));
  print_line(fmt::format("{}", cur_qty));
  if (!validate_coin_qty(cur_qty, amount)) return -1;
  if (!user->validate_user_krw(static_cast<int64_t>(amount), static_cast<int64_t>(cur_price))) {
    return -1;
  }
  client->exec_query_result(fmt::format(sql::kSetStock, cur_qty - amount, *symbol));
  user->update_user_vault_coin(*symbol, static_cast<int64_t>(amount), true);
  uint64_t value = cur_price * amount;
  uint64_t fee = value * 25 / 100;
  user->update_user_vault_krw(*symbol, static_cast<int64_t>(value + fee), true);
  create_trade_history(*symbol, amount, trade_time, true);
  return 0;
}

int Exchange::handle_sell(const korvane::Sell& request) {
  int32_t id = static_cast<int32_t>(request.symbol());
  uint64_t amount = request.amount();
  uint64_t trade_time = request.timestamp();
  if (amount == 0) return -1;
  std::optional<std::string> symbol = convert_sym_with_id(id);
  if (!symbol) return -1;
  if (check_trading_bot(*symbol, trade_time, false) == 0) return -1;
  ResultSet price = get_cur_price(*symbol);
  MYSQL_ROW row = price.first_row();
  if (row == nullptr) return -1;
  cur_price = column_u64(row[0]);
  ResultSet stock = get_cur_qty(*symbol);
  row = stock.first_row();
  if (row == nullptr) return -1;
  cur_qty = column_u64(row[0]);
  if (!user->validate_user_qty(*symbol, static_cast<int64_t>(amount))) return -1;
  uint64_t value = cur_price * amount;
  uint64_t fee = value * 25 / 100;
  if (static_cast<int64_t>(value - fee) < 0) return -1;
  client->exec_query_result(fmt::format(sql::kSetStock, cur_qty + amount, *symbol));
  user->update_user_vault_coin(*symbol, static_cast<int64_t>(amount), false);
  user->update_user_vault_krw(*symbol, static_cast<int64_t>(value - fee), false);
  create_trade_history(*symbol, amount, trade_time, false);
  return 0;
}

int Exchange::check_trading_bot(std::string symbol, uint64_t trade_time, bool buy) {
  ResultSet count = client->exec_query_result(
      fmt::format(sql::kCountSameTrade, user->idx, symbol, trade_time, buy ? 1 : 0));
  if (!count) return -1;
  MYSQL_ROW row = count.first_row();
  if (row == nullptr) return -1;
  if (parse_decimal_prefix64(row[0]) != 0) {
    print_line(kBotDetected);
    return 0;
  }
  return 1;
}

int Exchange::create_trade_history(std::string symbol, uint64_t amount, uint64_t trade_time,
                                   bool buy) {
  uint64_t value = cur_price * amount;
  client->exec_query_result(
      fmt::format(sql::kInsertTrade, user->idx, symbol, cur_price, amount, value, buy, trade_time));
  if (client->last_error() != 0) return -1;
  korvane::TradeResponse response;
  response.set_symbol(symbol);
  response.set_coin_cur_price(cur_price);
  response.set_amount(amount);
  response.set_total_price(value);
  response.set_flag(buy);
  print_json_response(response, JsonFields::kSetFields);
  return 0;
}
