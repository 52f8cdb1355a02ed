// The trade history view.
#include "exchange/history.h"

#include <fmt/format.h>

#include <optional>

#include "account/session.h"
#include "base/decimal.h"
#include "base/json_print.h"
#include "db/statements.h"
#include "exchange/exchange.h"
#include "exchange/market.h"

namespace {

// Columns of kv_tradehistory, read by position because the view selects every column. Column 1,
// the account id, is the statement's own condition and is not read.
enum TradeColumn : unsigned int {
  kId = 0,
  kSymbol = 2,
  kPrice = 3,
  kAmount = 4,
  kTotalPrice = 5,
  kType = 6,
  kTradeTime = 7,
  kTradeColumns = 8,
};

const char* side_word(bool buy) { return buy ? "true" : "false"; }

// Reads exactly `n` decimal digits at `p`; nothing when one of them is not a digit.
std::optional<int64_t> fixed_digits(const char* p, int n) {
  int64_t value = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return std::nullopt;
    value = value * 10 + (p[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar. The calendar is
// counted in 400-year eras that begin on 1 March, so the leap day is the last day of its year.
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;                                    // [0, 399]
  const int64_t day_of_year = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // [0, 365]
  const int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;  // [0, 146096]
  return era * 146097 + day_of_era - 719468;
}

// Seconds of "YYYY-MM-DD HH:MM:SS", optionally followed by a fraction; nothing for other text.
std::optional<int64_t> datetime_seconds(const char* text) {
  auto year = fixed_digits(text, 4);
  if (!year || text[4] != '-') return std::nullopt;
  auto month = fixed_digits(text + 5, 2);
  if (!month || text[7] != '-') return std::nullopt;
  auto day = fixed_digits(text + 8, 2);
  if (!day || text[10] != ' ') return std::nullopt;
  auto hour = fixed_digits(text + 11, 2);
  if (!hour || text[13] != ':') return std::nullopt;
  auto minute = fixed_digits(text + 14, 2);
  if (!minute || text[16] != ':') return std::nullopt;
  auto second = fixed_digits(text + 17, 2);
  if (!second || (text[19] != '\0' && text[19] != '.')) return std::nullopt;
  // The zero date and other values no calendar has are left to the decimal-prefix reading.
  if (*month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 ||
      *second > 59) {
    return std::nullopt;
  }
  return days_from_civil(*year, *month, *day) * 86400 + *hour * 3600 + *minute * 60 + *second;
}

TradeRow read_trade(MYSQL_ROW row) {
  TradeRow trade;
  trade.id = parse_decimal_prefix32(row[kId]);
  trade.symbol = row[kSymbol] == nullptr ? std::string() : std::string(row[kSymbol]);
  trade.price = parse_decimal_prefix64(row[kPrice]);
  trade.amount = parse_decimal_prefix64(row[kAmount]);
  trade.total_price = parse_decimal_prefix64(row[kTotalPrice]);
  trade.type = parse_decimal_prefix32(row[kType]) != 0;
  if (row[kTradeTime] != nullptr) trade.trade_time = trade_time_seconds(row[kTradeTime]);
  return trade;
}

void print_history_response(const TradeRow& trade) {
  korvane::HistoryResponse response;
  // The id is a 32-bit column value; it is widened without its sign.
  response.set_id(static_cast<uint32_t>(trade.id));
  response.set_symbol(trade.symbol);
  response.set_price(static_cast<uint64_t>(trade.price));
  response.set_amount(static_cast<uint64_t>(trade.amount));
  response.set_total_price(static_cast<uint64_t>(trade.total_price));
  response.set_type(trade.type);
  response.set_trade_time(static_cast<uint64_t>(trade.trade_time));
  print_json_response(response, JsonFields::kAllFields);
}

}  // namespace

int64_t trade_time_seconds(const char* text) {
  if (text == nullptr) return 0;
  if (auto seconds = datetime_seconds(text)) return *seconds;
  return parse_decimal_prefix64(text);
}

Outcome Exchange::handle_view_history(const korvane::History& request) {
  const bool buy = request.type() != 0;
  // The request's ts is not a filter: the view shows every trade of the coin and side.
  std::optional<std::string> symbol = convert_sym_with_id(request.symbol());
  if (!symbol) return refused(Reason::kBadCoin);  // the decoder admits only the four coin ids
  // An order's last round trip holds its commit, so an order whose client is gone (a session
  // killed while the order waited for its coin) may still commit. A client finds out what became
  // of a lost order by this view, so it first waits for every order of the account to end.
  std::vector<ResultSet> results =
      client->exec_batch({fmt::format(sql::kAwaitAccountOrders, user->idx),
                          fmt::format(sql::kSelectTrades, user->idx, *symbol, side_word(buy))});
  if (results.size() < 2) return refused_by_database();
  ResultSet& trades = results[1];
  if (!trades || trades.num_fields() < kTradeColumns) return refused_by_database();
  while (MYSQL_ROW row = trades.fetch_row()) print_history_response(read_trade(row));
  return done();
}
