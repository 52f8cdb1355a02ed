// What the client says about a request after the server's outcome line.
#include <gtest/gtest.h>

#include "base/reasons.h"
#include "korvane/commands.h"
#include "korvane/outcome.h"
#include "korvane/settle.h"

namespace {

constexpr uint64_t kNow = 1700000000;  // 2023-11-14 22:13:20 UTC

korvane::KorvaneInterface request(const std::string& line) {
  ParseResult r = parse_command(line, kNow);
  EXPECT_TRUE(r.ok) << line << ": " << r.error;
  return r.command.request;
}

// The text of the note on `line` whose outcome line is `line_json`, "-" for none, and "!" in
// front of a refusal.
std::string said(const std::string& line, const std::string& answer, const std::string& json) {
  std::string with_line = answer + json + "\n";
  std::optional<korvane::Outcome> outcome = take_outcome_line(&with_line);
  EXPECT_TRUE(outcome.has_value()) << json;
  EXPECT_EQ(with_line, answer);
  if (!outcome) return "?";
  std::optional<Note> note = outcome_note(request(line), answer, *outcome);
  return note ? (note->refused ? "!" : "") + note->text : "-";
}

std::string refused(const std::string& event, const std::string& reason) {
  return R"({"outcome":"refused","event":")" + event + R"(","reason":")" + reason + R"("})";
}

TEST(ClientOutcome, EveryReasonOfTheServerHasItsWords) {
  for (const ReasonRow& row : kReasonTable) {
    EXPECT_TRUE(reason_words(row.code).has_value()) << row.code;
  }
  EXPECT_EQ(reason_words("newer_than_this_client"), std::nullopt);
}

TEST(ClientOutcome, TheLineIsTakenOffTheAnswerOnlyWhenItIsLast) {
  const struct {
    std::string answer;
    std::string left;  // the answer once the line is taken; "=" when there is no line
  } cases[] = {
      {"{\"outcome\":\"done\",\"event\":\"market\",\"reason\":\"ok\"}\n", ""},
      {"100\n50\n{\"outcome\":\"done\",\"event\":\"buy\",\"reason\":\"ok\",\"ids\":[57]}\n",
       "100\n50\n"},
      {"{\"outcome\":\"done\",\"event\":\"market\",\"reason\":\"ok\"}\nmore\n", "="},
      {"{\"outcome\":\"done\",\"event\":\"market\",\"reason\":\"ok\"}", "="},  // no line end
      {"{\"outcome\": broken}\n", "="},
      {"", "="},
      {"\n", "="},
  };
  for (const auto& c : cases) {
    std::string answer = c.answer;
    std::optional<korvane::Outcome> outcome = take_outcome_line(&answer);
    EXPECT_EQ(outcome.has_value(), c.left != "=") << c.answer;
    EXPECT_EQ(answer, c.left == "=" ? c.answer : c.left) << c.answer;
  }
  std::string answer = "{\"outcome\":\"done\",\"event\":\"buy\",\"reason\":\"ok\",\"ids\":[57]}\n";
  EXPECT_EQ(take_outcome_line(&answer)->ids(0), 57u);
}

TEST(ClientOutcome, EachOutcomeAndWhatTheClientSays) {
  const struct {
    const char* line;
    std::string answer;
    std::string json;
    std::string note;
  } cases[] = {
      {"buy xrp 2", "100\n50\n", R"({"outcome":"done","event":"buy","reason":"ok","ids":[5]})",
       "-"},
      {"sell sol 1", "[-] DETECTED Trading Bot\n", refused("sell", "bot_guard"),
       "!not traded: you made an order of this coin and side at this second already (the bot "
       "guard); wait a second or give another --at"},
      {"buy xrp 51", "100\n50\n", refused("buy", "no_stock"),
       "!not traded: the exchange holds fewer coins than the buy asks for"},
      {"buy xrp 50", "100\n50\n", refused("buy", "no_krw"),
       "!not traded: your KRW do not cover the cost with the fee"},
      {"sell xrp 8", "", refused("sell", "no_coins"),
       "!not traded: you hold fewer coins than the sell offers"},
      {"buy xrp 2", "", refused("buy", "not_signed_in"), "!not traded: sign in first"},
      {"balance", "", refused("balances", "not_signed_in"), "!no balances: sign in first"},
      {"me", "", refused("my_info", "not_signed_in"), "!no account shown: sign in first"},
      {"address list", "", refused("list_addresses", "not_signed_in"),
       "!no addresses: sign in first"},
      {"history btc buy", "", R"({"outcome":"done","event":"history","reason":"ok"})",
       "no trades: this account has bought no BTC"},
      {"history sol sell", "", R"({"outcome":"done","event":"history","reason":"ok"})",
       "no trades: this account has sold no SOL"},
      {"address list", "", R"({"outcome":"done","event":"list_addresses","reason":"ok"})",
       "no entries: your address book is empty"},
      {"signin bob pw", "There is no username, password\n", refused("signin", "bad_login"),
       "!not signed in: no account has that name and password"},
      {"signin bob pw", "Do not multi-login!\n", refused("signin", "sign_in_spent"),
       "!not signed in: this session has had its one sign-in"},
      {"signup bob pw", "Duplicate ID\n", refused("signup", "name_taken"),
       "!not signed up: the name is taken"},
      {"address add xrp r1 5", "", refused("add_address", "book_full"),
       "!not added: your address book holds ten entries, the most it keeps"},
      {"address add xrp r1 5", "",
       R"({"outcome":"refused","event":"add_address","reason":"filtered","detail":"'"})",
       "!not added: it holds a single quote ('), which the server refuses in names, addresses "
       "and memos"},
      {"address add xrp r1 5", "",
       R"({"outcome":"refused","event":"add_address","reason":"filtered"})",
       "!not added: it holds a character the server refuses in names, addresses and memos"},
      {"address set 99 x", "99\n", refused("modify_address", "not_your_entry"),
       "!not rewritten: you have no entry of that id"},
      {"address set 3 x", "3\n", refused("modify_address", "same_address"),
       "!not rewritten: the entry holds that address already"},
      {"address overwrite-all x --yes", "-1\n3\n5\n",
       R"({"outcome":"done","event":"modify_address","reason":"ok","ids":[3,5]})",
       "overwrote the address of entries 3, 5 with 'x'"},
      {"address overwrite-all x --yes", "-1\n",
       R"({"outcome":"done","event":"modify_address","reason":"ok"})",
       "nothing overwritten: your address book is empty"},
      {"address delete btc a", "TODO\n", refused("delete_address", "not_offered"),
       "!not deleted: the server does not offer it yet"},
      {"deposit btc a", "Hello handle_sell\n", refused("deposit", "not_offered"),
       "!not deposited: the server does not offer it yet"},
      {"buy btc 1", "", refused("buy", "busy"),
       "!not traded: the exchange's database kept it waiting for locks too long; try again"},
      {"buy btc 1", "", refused("buy", "no_database"),
       "!not traded: the exchange's database could not be reached, and the server ended the "
       "session"},
      {"buy btc 1", "", refused("buy", "from_the_future"),
       "!not traded: the server says 'from_the_future'"},
      {"signup bob pw", "", refused("signup", "bad_name"),
       "!not signed up: the name is empty or longer than 32 bytes, and the server ended the "
       "session"},
      {"buy xrp 2", "", refused("buy", "bad_amount"),
       "!not traded: the amount is 0, or too large for any balance"},
      {"buy xrp 2", "", refused("buy", "bad_coin"), "!not traded: the server knows no such coin"},
      {"address add xrp r1 5", "", refused("add_address", "too_long"),
       "!not added: the address is longer than 255 bytes"},
      {"address add xrp r1 5", "", refused("add_address", "bad_memo"),
       "!not added: the memo is not a number other than 0"},
      {"buy xrp 2", "", refused("buy", "bad_time"),
       "!not traded: the time is after 2038-01-19, which the database cannot store"},
      {"signup bob pw", "", refused("signup", "bad_text"),
       "!not signed up: a text holds a NUL byte, which the database cannot take"},
      {"buy xrp 2", "", refused("buy", "too_large"),
       "!not traded: a balance or the stock would pass the most it can hold"},
      {"sell xrp 2", "", refused("sell", "database"),
       "!not traded: the exchange's database refused it"},
      {"deposit btc a", "", refused("unknown", "unknown_event"),
       "!not deposited: the server knows no such request"},
      {"market", "", refused("malformed", "malformed"),
       "!no market: the server could not read the request"},
      {"market", "", R"({"outcome":"done","event":"market","reason":"ok"})", "-"},
      {"signout", "", R"({"outcome":"done","event":"signout","reason":"ok"})", "-"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(said(c.line, c.answer, c.json), c.note) << c.line << " <- " << c.json;
  }
}

// A request cut off by a lost connection, settled by what a new session reads.
TEST(ClientOutcome, ARequestCutOffIsSettledByTheHistoryOrTheAddressList) {
  const std::string trade_at_now =
      "{\n \"id\": \"57\",\n \"symbol\": \"XRP\",\n \"price\": \"1\",\n \"amount\": \"2\",\n"
      " \"total_price\": \"2\",\n \"type\": true,\n \"trade_time\": \"1700000000\"\n}\n\n";
  const std::string trade_before =
      "{\n \"id\": \"56\",\n \"symbol\": \"XRP\",\n \"price\": \"1\",\n \"amount\": \"2\",\n"
      " \"total_price\": \"2\",\n \"type\": true,\n \"trade_time\": \"1699999999\"\n}\n\n";
  auto entry = [](int id, const char* symbol, const char* address64) {
    return "{\n \"id\": " + std::to_string(id) + ",\n \"symbol\": \"" + symbol +
           "\",\n \"address\": \"" + address64 +
           "\",\n \"memo\": \"NQ==\",\n"
           " \"create_at_ts\": \"9\"\n}\n\n";
  };
  const std::string r1 = entry(3, "XRP", "cjE="), r2 = entry(3, "XRP", "cjI=");
  const std::string s2 = entry(4, "SOL", "cjI=");
  const struct {
    const char* line;
    std::string answer;  // to the check
    std::string said;    // "!" in front when not applied
  } cases[] = {
      {"buy xrp 2", trade_before + trade_at_now,
       "applied: your history holds the buy of XRP at 2023-11-14 22:13:20 UTC (trade 57)"},
      {"buy xrp 2", trade_before,
       "!not applied: your history holds no buy of XRP at 2023-11-14 22:13:20 UTC"},
      {"sell xrp 2", "",
       "!not applied: your history holds no sell of XRP at 2023-11-14 22:13:20 UTC"},
      {"address add xrp r1 5 --at 9", r1, "applied: your address book holds it (entry 3)"},
      {"address add xrp r1 5 --at 8", r1, "!not applied: your address book does not hold it"},
      {"address add sol r1 5", r1, "!not applied: your address book does not hold it"},
      {"address set 3 r2", r2 + s2, "applied: your address book holds the new address"},
      {"address set 3 r2", r1, "!not applied: your address book holds the old address"},
      {"address set 7 r2", r1, "!not applied: you have no entry 7"},
      {"address overwrite-all r2 --yes", r2 + s2,
       "applied: your address book holds the new address"},
      {"address overwrite-all r2 --yes", r1 + s2,
       "!not applied: your address book holds the old address"},
  };
  for (const auto& c : cases) {
    korvane::KorvaneInterface r = request(c.line);
    std::optional<Check> check = check_of(r);
    ASSERT_TRUE(check.has_value()) << c.line;
    Verdict v = verdict(r, c.answer, *check);
    EXPECT_EQ((v.applied ? "" : "!") + v.text, c.said) << c.line;
  }
  const struct {
    const char* line;
    std::string unknown;
  } checks[] = {
      {"buy xrp 2",
       "whether the buy of XRP at 2023-11-14 22:13:20 UTC was applied is not known: sign in and "
       "look with 'history xrp buy'"},
      {"sell sol 1 --at 0",
       "whether the sell of SOL at 1970-01-01 00:00:00 UTC was applied is not known: sign in and "
       "look with 'history sol sell'"},
      {"address add btc b1 5",
       "whether the add of address b1 was applied is not known: sign in and look with 'address "
       "list'"},
      {"address set 3 x",
       "whether the rewrite of entry 3 was applied is not known: sign in and look with 'address "
       "list'"},
      {"address overwrite-all x --yes",
       "whether the overwrite of every entry was applied is not known: sign in and look with "
       "'address list'"},
  };
  for (const auto& c : checks) EXPECT_EQ(unknown_text(*check_of(request(c.line))), c.unknown);
  for (const char* line : {"market", "balance", "me", "signup a pw", "deposit btc a"}) {
    EXPECT_EQ(check_of(request(line)), std::nullopt) << line;
  }
}

TEST(ClientOutcome, AnOrderInWords) {
  EXPECT_EQ(order_words(request("sell sol 1")), "sell of SOL at 2023-11-14 22:13:20 UTC");
  EXPECT_EQ(order_words(request("buy btc 1 --at 0")), "buy of BTC at 1970-01-01 00:00:00 UTC");
}

}  // namespace
