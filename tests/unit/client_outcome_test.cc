// What the client says when an answer lacks what its request asked for.
#include <gtest/gtest.h>

#include "korvane/commands.h"
#include "korvane/outcome.h"

namespace {

constexpr uint64_t kNow = 1700000000;  // 2023-11-14 22:13:20 UTC

korvane::KorvaneInterface request(const std::string& line) {
  ParseResult r = parse_command(line, kNow);
  EXPECT_TRUE(r.ok) << line << ": " << r.error;
  return r.command.request;
}

const char kTrade[] =
    "{\n \"symbol\": \"XRP\",\n \"coin_cur_price\": \"100\",\n \"amount\": \"2\",\n"
    " \"total_price\": \"200\",\n \"flag\": true\n}\n\n";

TEST(ClientOutcome, AnOrderThatTradedSaysNothingMore) {
  EXPECT_EQ(unanswered_note(request("buy xrp 2"), std::string("100\n50\nUPDATE x\n") + kTrade),
            std::nullopt);
  EXPECT_EQ(unanswered_note(request("sell xrp 2"), kTrade), std::nullopt);
}

TEST(ClientOutcome, TheBotGuardIsNamedWithTheOrdersTime) {
  const std::string expected =
      "not traded: bot guard: a sell of SOL at 2023-11-14 22:13:20 UTC was made already; wait a "
      "second or give another --at";
  EXPECT_EQ(unanswered_note(request("sell sol 1"), "[-] DETECTED Trading Bot\n"), expected);
  EXPECT_EQ(unanswered_note(request("buy btc 1 --at 0"), "[-] DETECTED Trading Bot\n"),
            "not traded: bot guard: a buy of BTC at 1970-01-01 00:00:00 UTC was made already; "
            "wait a second or give another --at");
}

TEST(ClientOutcome, ABuyExplainsItselfByThePriceAndStockShown) {
  EXPECT_EQ(unanswered_note(request("buy xrp 51"), "100\n50\n"),
            "not traded: the exchange has 50 XRP in stock, fewer than 51");
  // 50 * 100 = 5000, plus 25 % = 6250.
  EXPECT_EQ(unanswered_note(request("buy xrp 50"), "100\n50\n"),
            "not traded: 50 XRP at 100 KRW cost 6250 KRW with the 25 % fee, more than your KRW "
            "balance");
  EXPECT_EQ(
      unanswered_note(request("buy eth 4000000000000000000"), "5000000\n9223372036854775807\n"),
      "not traded: 4000000000000000000 ETH at 5000000 KRW cost more than any balance can "
      "hold");
}

TEST(ClientOutcome, WithoutAReasonItIsJustNotTraded) {
  EXPECT_EQ(unanswered_note(request("sell xrp 2"), ""), "not traded");  // signed out, or no coins
  EXPECT_EQ(unanswered_note(request("buy xrp 2"), ""), "not traded");
  EXPECT_EQ(unanswered_note(request("buy xrp 2"), "100\nlots\n"), "not traded");
  EXPECT_EQ(unanswered_note(request("buy xrp 2"), "Error parse_handler();\n"), "not traded");
}

TEST(ClientOutcome, BalancesNotShownMeanNotSignedIn) {
  EXPECT_EQ(unanswered_note(request("balance"), ""), "no balances: sign in first");
  EXPECT_EQ(unanswered_note(request("balance"),
                            "{\n \"krw\": \"1\",\n \"btc\": \"0\",\n \"eth\": \"0\",\n"
                            " \"xrp\": \"0\",\n \"sol\": \"0\"\n}\n\n"),
            std::nullopt);
}

TEST(ClientOutcome, OtherRequestsAskForNothingInParticular) {
  for (const char* line : {"me", "market", "history xrp buy", "signout", "deposit btc a"}) {
    EXPECT_EQ(unanswered_note(request(line), ""), std::nullopt) << line;
  }
}

}  // namespace
