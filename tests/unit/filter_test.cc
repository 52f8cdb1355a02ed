// The character filter and the statement texts, without a database.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/decimal.h"
#include "base/output.h"
#include "base/screen.h"
#include "db/statements.h"

namespace {

// Runs the filter with standard output captured.
std::pair<bool, std::string> screen(const std::string& text) {
  std::fflush(stdout);
  char path[] = "/tmp/korvane-filter.XXXXXX";
  int fd = mkstemp(path);
  int saved = dup(1);
  dup2(fd, 1);
  bool hit = detect_sqli(text);
  flush_output();
  dup2(saved, 1);
  close(saved);
  std::string out(256, '\0');
  out.resize(pread(fd, out.data(), out.size(), 0));
  close(fd);
  unlink(path);
  return {hit, out};
}

TEST(DetectSqli, ReportsTheEarliestCharacterOfTheListNotOfTheText) {
  EXPECT_EQ(screen("a;b'c"), std::make_pair(true, std::string("Detected SQL Injection: '\n")));
  EXPECT_EQ(screen("#-;()$ \"'"), std::make_pair(true, std::string("Detected SQL Injection: '\n")));
  EXPECT_EQ(screen("\\#"), std::make_pair(true, std::string("Detected SQL Injection: #\n")));
}

TEST(DetectSqli, EachFilteredCharacterIsCaughtAnywhere) {
  for (char c : std::string("'\" $)(;-#\\")) {
    EXPECT_EQ(screen(std::string("ab") + c + "cd"),
              std::make_pair(true, std::string("Detected SQL Injection: ") + c + "\n"));
  }
  EXPECT_TRUE(screen("trailing\\").first);
}

TEST(DetectSqli, NulBytesDoNotHideLaterCharacters) {
  EXPECT_EQ(screen(std::string("ok\0'", 4)),
            std::make_pair(true, std::string("Detected SQL Injection: '\n")));
}

TEST(DetectSqli, PlainTextPassesSilently) {
  EXPECT_EQ(screen("abc_DEF.123"), std::make_pair(false, std::string()));
  EXPECT_EQ(screen(""), std::make_pair(false, std::string()));
  EXPECT_EQ(screen("\x80\xff\xc3\xa9"), std::make_pair(false, std::string()));
  EXPECT_EQ(screen(std::string("a\0b", 3)), std::make_pair(false, std::string()));
}

TEST(Statements, RenderValuesInOrder) {
  EXPECT_EQ(fmt::format(sql::kAddCoin, "BTC", "BTC", int64_t{5}, uint32_t{7}),
            "UPDATE kv_uservault SET BTC_amount=BTC_amount+5 WHERE acc_id=7");
  EXPECT_EQ(fmt::format(sql::kSubtractKrw, int64_t{125}, uint32_t{7}),
            "UPDATE kv_uservault SET KRW_amount=KRW_amount-125 WHERE acc_id=7");
  EXPECT_EQ(fmt::format(sql::kInsertTradeAtMarket, 7u, "XRP", uint64_t{3}, uint64_t{3}, true,
                        uint64_t{86400}),
            "INSERT INTO kv_tradehistory VALUES(NULL, 7, 'XRP', @price, 3, @price*3, true, "
            "FROM_UNIXTIME(86400) )");
  EXPECT_EQ(fmt::format(sql::kCountSameTrade, 7u, "ETH", uint64_t{0}, 0),
            "SELECT COUNT(*) from kv_tradehistory where acc_id=7 and symbol='ETH' and "
            "trade_time=FROM_UNIXTIME(0) and type=0;");
  EXPECT_EQ(fmt::format(sql::kInsertAddress, 7u, "SOL", "addr", "12", int64_t{-5}),
            "INSERT INTO kv_addressbook VALUES(NULL, 7, 'SOL', 'addr', '12', -5);");
  // Client text goes in verbatim, NUL bytes included; the library stops at the first one.
  EXPECT_EQ(fmt::format(sql::kSelectAccountIdByName, std::string("a\0b", 3)),
            std::string("SELECT acc_id FROM kv_account where USERNAME='a\0b';", 51));
}

TEST(DecimalPrefix, ReadsLikeAtoiWithoutOverflow) {
  EXPECT_EQ(parse_decimal_prefix32("  42abc"), 42);
  EXPECT_EQ(parse_decimal_prefix32("-17"), -17);
  EXPECT_EQ(parse_decimal_prefix32("+7"), 7);
  EXPECT_EQ(parse_decimal_prefix32("abc"), 0);
  EXPECT_EQ(parse_decimal_prefix32(nullptr), 0);
  EXPECT_EQ(parse_decimal_prefix32("2026-12-07 10:00:00"), 2026);
  EXPECT_EQ(parse_decimal_prefix32("99999999999"), INT32_MAX);
  EXPECT_EQ(parse_decimal_prefix64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(parse_decimal_prefix64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_decimal_prefix64("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(parse_decimal_prefix64("-99999999999999999999"), INT64_MIN);
}

}  // namespace
