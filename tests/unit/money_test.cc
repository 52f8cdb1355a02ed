// Order arithmetic: truncation, refusal instead of wrapping, and negative balances.
#include "account/money.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr uint64_t kMax = UINT64_MAX;

TEST(Money, FeeIsAQuarterOfTheValueTruncated) {
  EXPECT_EQ(money::buy_cost(100, 3), 375u);
  EXPECT_EQ(money::buy_cost(3, 1), 3u);  // 75 / 100 truncates to 0
  EXPECT_EQ(money::sell_proceeds(100, 2), 150u);
  EXPECT_EQ(money::sell_proceeds(3, 1), 3u);
  EXPECT_EQ(money::buy_cost(0, kMax), 0u);
}

TEST(Money, ArithmeticThatWouldWrapIsRefused) {
  // 2^30 * 2^34 is 2^64, which would wrap to a free order.
  EXPECT_EQ(money::trade_value(uint64_t{1} << 30, uint64_t{1} << 34), std::nullopt);
  EXPECT_EQ(money::buy_cost(uint64_t{1} << 30, uint64_t{1} << 34), std::nullopt);
  // The value fits, but 25 times it does not.
  EXPECT_EQ(money::trade_fee(kMax / 25 + 1), std::nullopt);
  EXPECT_EQ(money::sell_proceeds(kMax / 25 + 1, 1), std::nullopt);
  EXPECT_EQ(money::trade_fee(737869762948382064u), 184467440737095516u);  // kMax / 25
}

TEST(Money, NegativeBalanceCoversNothing) {
  EXPECT_TRUE(money::covers(375, 375));
  EXPECT_FALSE(money::covers(374, 375));
  EXPECT_TRUE(money::covers(0, 0));
  EXPECT_FALSE(money::covers(-1, 0));
  EXPECT_FALSE(money::covers(INT64_MIN, 1));
}

}  // namespace
