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
const char kBalances[] =
    "{\n \"krw\": \"1\",\n \"btc\": \"0\",\n \"eth\": \"0\",\n \"xrp\": \"7\",\n \"sol\": "
    "\"0\"\n}\n\n";

SessionFacts signed_in(std::optional<uint64_t> coins_held = std::nullopt) {
  return SessionFacts{true, coins_held};
}

// The text of a note, "-" for none, and "!" in front of a refusal.
std::string said(const std::string& line, const std::string& answer,
                 const SessionFacts& facts = signed_in()) {
  std::optional<Note> note = outcome_note(request(line), answer, facts);
  return note ? (note->refused ? "!" : "") + note->text : "-";
}

TEST(ClientOutcome, EachAnswerAndWhatTheClientSays) {
  struct Case {
    const char* line;
    std::string answer;
    SessionFacts facts;
    std::string note;
  };
  const Case cases[] = {
      {"buy xrp 2", std::string("100\n50\nUPDATE x\n") + kTrade, signed_in(), "-"},
      {"sell xrp 2", kTrade, signed_in(), "-"},
      {"sell sol 1", "[-] DETECTED Trading Bot\n", signed_in(),
       "!not traded: bot guard: a sell of SOL at 2023-11-14 22:13:20 UTC was made already; wait "
       "a second or give another --at"},
      {"buy btc 1 --at 0", "[-] DETECTED Trading Bot\n", signed_in(),
       "!not traded: bot guard: a buy of BTC at 1970-01-01 00:00:00 UTC was made already; wait a "
       "second or give another --at"},
      {"buy xrp 51", "100\n50\n", signed_in(),
       "!not traded: the exchange has 50 XRP in stock, fewer than 51"},
      // 50 * 100 = 5000, plus 25 % = 6250.
      {"buy xrp 50", "100\n50\n", signed_in(),
       "!not traded: 50 XRP at 100 KRW cost 6250 KRW with the 25 % fee, more than your KRW "
       "balance"},
      {"buy eth 4000000000000000000", "5000000\n9223372036854775807\n", signed_in(),
       "!not traded: 4000000000000000000 ETH at 5000000 KRW cost more than any balance can hold"},
      {"sell xrp 8", "", signed_in(7), "!not traded: you hold 7 XRP, fewer than 8"},
      {"sell xrp 2", "", signed_in(), "!not traded"},
      {"buy xrp 2", "100\nlots\n", signed_in(), "!not traded"},
      {"buy xrp 2", "", SessionFacts(), "!not traded: sign in first"},
      {"balance", "", SessionFacts(), "!no balances: sign in first"},
      {"balance", kBalances, signed_in(), "-"},
      {"me", "", SessionFacts(), "!no account shown: sign in first"},
      {"history btc buy", "", SessionFacts(), "!no history: sign in first"},
      {"history btc buy", "", signed_in(), "no trades: this account has bought no BTC"},
      {"history sol sell", "", signed_in(), "no trades: this account has sold no SOL"},
      {"signin bob pw", "", SessionFacts(), "-"},
      {"signin bob pw", "There is no username, password\n", SessionFacts(),
       "!not signed in: no account has that name and password"},
      {"signup bob pw", "Duplicate ID\n", SessionFacts(),
       "!not signed up: the name 'bob' is taken"},
      {"address add xrp r1 5", "", signed_in(),
       "!not added: your address book holds ten entries, the most it keeps"},
      {"address set 99 x", "99\n", signed_in(),
       "!entry 99 not rewritten: you have no entry 99, or it holds that address already"},
      {"address overwrite-all x --yes", "-1\n3\n5\n", signed_in(),
       "overwrote the address of entries 3, 5 with 'x'"},
      {"address overwrite-all x --yes", "-1\n", signed_in(),
       "nothing overwritten: your address book is empty"},
      {"address delete btc a", "TODO\n", signed_in(),
       "!not deleted: the server does not offer deleting addresses yet"},
      {"deposit btc a", "Hello handle_sell\n", signed_in(),
       "!not deposited: the server does not offer deposits yet"},
      {"market", "", SessionFacts(), "-"},
      {"signout", "", signed_in(), "-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(said(c.line, c.answer, c.facts), c.note) << c.line << " <- " << c.answer;
  }
}

TEST(ClientOutcome, OnlyASellWithoutAShownReasonAsksForTheCoinsHeld) {
  EXPECT_TRUE(needs_holdings(request("sell xrp 2"), ""));
  EXPECT_FALSE(needs_holdings(request("sell xrp 2"), "[-] DETECTED Trading Bot\n"));
  EXPECT_FALSE(needs_holdings(request("sell xrp 2"), kTrade));
  EXPECT_FALSE(needs_holdings(request("buy xrp 2"), ""));
  EXPECT_EQ(coins_in_balances(kBalances, 2), 7u);
  EXPECT_EQ(coins_in_balances("", 2), std::nullopt);
}

}  // namespace
