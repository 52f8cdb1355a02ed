// Reading a trade's time column back as the Unix seconds the order carried.
#include <gtest/gtest.h>

#include "exchange/history.h"

namespace {

TEST(TradeTimeSeconds, DateTimeTextIsSecondsSinceTheEpochInUtc) {
  EXPECT_EQ(trade_time_seconds("1970-01-01 00:00:00"), 0);
  EXPECT_EQ(trade_time_seconds("1970-01-02 00:00:00"), 86400);
  EXPECT_EQ(trade_time_seconds("1970-01-02 00:00:01.750000"), 86401);  // fraction dropped
  EXPECT_EQ(trade_time_seconds("2000-02-29 12:34:56"), 951827696);     // leap day, 400-year rule
  EXPECT_EQ(trade_time_seconds("2038-01-19 03:14:07"), 2147483647);    // FROM_UNIXTIME's last
  EXPECT_EQ(trade_time_seconds("2100-03-01 00:00:00"), 4107542400);    // 2100 is no leap year
  EXPECT_EQ(trade_time_seconds("1969-12-31 23:59:59"), -1);
  EXPECT_EQ(trade_time_seconds("1900-03-01 00:00:00"), -2203891200);
}

TEST(TradeTimeSeconds, OtherTextIsReadByItsDecimalPrefix) {
  EXPECT_EQ(trade_time_seconds("86400"), 86400);
  EXPECT_EQ(trade_time_seconds("1970-01-02"), 1970);           // a date alone is not a DATETIME
  EXPECT_EQ(trade_time_seconds("0000-00-00 00:00:00"), 0);     // the zero date
  EXPECT_EQ(trade_time_seconds("2024-13-01 00:00:00"), 2024);  // no such month
  EXPECT_EQ(trade_time_seconds(nullptr), 0);
}

}  // namespace
