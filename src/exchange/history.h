// The trade history view: the signed-in account's trades of one coin and one side.
#ifndef KORVANE_EXCHANGE_HISTORY_H_
#define KORVANE_EXCHANGE_HISTORY_H_

#include <cstdint>
#include <string>

// One row of kv_tradehistory converted to numbers, before it is copied into a
// korvane::HistoryResponse. A trade whose time column is NULL keeps trade_time 0.
struct TradeRow {
  int32_t id = 0;
  std::string symbol;
  int64_t price = 0;
  int64_t amount = 0;
  int64_t total_price = 0;
  bool type = false;
  int64_t trade_time = 0;
};

// Seconds since the Unix epoch for the text of a trade time column. The column is a DATETIME
// that the connection reads in UTC, so "1970-01-02 00:00:00" is 86400 (a fraction of a second
// is dropped). Any other text, a plain number included, is read by its decimal prefix; a null
// pointer (SQL NULL) gives 0.
int64_t trade_time_seconds(const char* text);

#endif  // KORVANE_EXCHANGE_HISTORY_H_
