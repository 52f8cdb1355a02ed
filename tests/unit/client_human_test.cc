// The client's --human view of answers.
#include <gtest/gtest.h>

#include "korvane.pb.h"
#include "korvane/human.h"

namespace {

const google::protobuf::Message* kSignUp = &korvane::SignUpResponse::default_instance();

TEST(ClientHuman, JsonBecomesKeyValueLinesWithBytesDecoded) {
  EXPECT_EQ(
      humanize("acc_id: 7\n{\n \"username\": \"YWxpY2U=\",\n \"acc_id\": \"7\"\n}\n\n", kSignUp),
      "username: alice\nacc_id: 7\n");
  EXPECT_EQ(humanize("{\n \"symbol\": \"XRP\",\n \"coin_cur_price\": \"100\",\n \"amount\": "
                     "\"2\",\n \"total_price\": \"200\",\n \"flag\": false\n}\n\n",
                     &korvane::TradeResponse::default_instance()),
            "symbol: XRP\ncoin_cur_price: 100\namount: 2\ntotal_price: 200\nflag: false\n");
  EXPECT_EQ(humanize("{\n \"id\": 3,\n \"origin_addr\": \"\",\n \"new_addr\": \"YQl6\"\n}\n\n",
                     &korvane::ModifyAddressBookResponse::default_instance()),
            "id: 3\norigin_addr: \nnew_addr: a\\x09z\n");  // a tab shows escaped
}

TEST(ClientHuman, OtherTextStaysAsTheServerWroteIt) {
  const std::string plain = "Error parse_handler();\n";
  EXPECT_EQ(humanize(plain, kSignUp), plain);
  const std::string signup = "acc_id: 7\n{\n \"username\": \"YQ==\",\n \"acc_id\": \"7\"\n}\n\n";
  EXPECT_EQ(humanize(signup, nullptr), signup);
  // An echo line "{" before the document does not swallow it.
  EXPECT_EQ(
      humanize("{\nacc_id: 7\n{\n \"username\": \"YQ==\",\n \"acc_id\": \"7\"\n}\n\n", kSignUp),
      "{\nusername: a\nacc_id: 7\n");
  // Braces around something that is not the expected message are left alone.
  const std::string odd = "{\n \"nothing\": 1\n}\n";
  EXPECT_EQ(humanize(odd, kSignUp), odd);
  EXPECT_EQ(humanize("{\nno end", kSignUp), "{\nno end");
}

TEST(ClientHuman, TradeTimesShowAsUtcDateTimes) {
  EXPECT_EQ(humanize("{\n \"id\": \"4\",\n \"symbol\": \"SOL\",\n \"price\": \"1\",\n"
                     " \"amount\": \"3\",\n \"total_price\": \"3\",\n \"type\": true,\n"
                     " \"trade_time\": \"1700000000\"\n}\n\n",
                     &korvane::HistoryResponse::default_instance()),
            "id: 4\nsymbol: SOL\nprice: 1\namount: 3\ntotal_price: 3\ntype: true\n"
            "trade_time: 2023-11-14 22:13:20 UTC\n");
  EXPECT_EQ(utc_time(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(utc_time(2147483647), "2038-01-19 03:14:07 UTC");
  EXPECT_EQ(utc_time(951782400), "2000-02-29 00:00:00 UTC");
  EXPECT_EQ(utc_time(18446744073709551615u), "18446744073709551615");  // beyond the calendar
  // Only times are dates: a price of the same digits stays a number.
  EXPECT_EQ(humanize("{\n \"symbol\": \"BTC\",\n \"price\": \"1700000000\",\n"
                     " \"stock\": \"5\"\n}\n\n",
                     &korvane::MarketResponse::default_instance()),
            "symbol: BTC\nprice: 1700000000\nstock: 5\n");
}

TEST(ClientHuman, TheBotGuardsRefusalIsNamed) {
  EXPECT_EQ(humanize("[-] DETECTED Trading Bot\n", &korvane::TradeResponse::default_instance()),
            "refused by the bot guard: an order of this coin and side at the same second was "
            "already made\n");
  // Only the whole line is the refusal.
  EXPECT_EQ(humanize("[-] DETECTED Trading Bots\n", &korvane::TradeResponse::default_instance()),
            "[-] DETECTED Trading Bots\n");
}

TEST(ClientHuman, CrypticLinesBecomeWords) {
  const struct {
    std::string server;
    std::string human;
  } cases[] = {
      {"Duplicate ID\n", "the name is taken: choose another\n"},
      {"There is no username, password\n", "wrong name or password\n"},
      {"Hello handle_sell\n", "deposits are not offered yet\n"},
      {"TODO\n", "deleting an address is not offered yet\n"},
      // An order's statements become the balance changes they made.
      {"UPDATE kv_uservault SET XRP_amount=XRP_amount+100 WHERE acc_id=1\n"
       "UPDATE kv_uservault SET KRW_amount=KRW_amount-387500 WHERE acc_id=1\n",
       "balance change: XRP +100\nbalance change: KRW -387500\n"},
      {"UPDATE kv_uservault SET XRP_amount=BTC_amount+1 WHERE acc_id=1\n",
       "UPDATE kv_uservault SET XRP_amount=BTC_amount+1 WHERE acc_id=1\n"},
      // The sign-up's id shows once, from its document.
      {"acc_id: 7\n{\n \"username\": \"YQ==\",\n \"acc_id\": \"7\"\n}\n\n",
       "username: a\nacc_id: 7\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(humanize(c.server, kSignUp), c.human) << c.server;
  // Without the view the server's text is untouched.
  EXPECT_EQ(humanize("acc_id: 7\n", nullptr), "acc_id: 7\n");
}

TEST(ClientHuman, RepeatedLinesAreLeftOutAndDocumentsKeptApart) {
  const std::string trade =
      "{\n \"symbol\": \"XRP\",\n \"coin_cur_price\": \"100\",\n \"amount\": \"2\",\n"
      " \"total_price\": \"200\",\n \"flag\": true\n}\n\n";
  const std::string coin = "{\n \"symbol\": \"BTC\",\n \"price\": \"1\",\n \"stock\": \"2\"\n}\n\n";
  const std::string entry =
      "{\n \"id\": 3,\n \"symbol\": \"XRP\",\n \"address\": \"ck9uZQ==\",\n"
      " \"memo\": \"MTIz\",\n \"create_at_ts\": \"1700000000\"\n}\n\n";
  const struct {
    std::string answer;
    const google::protobuf::Message* type;
    size_t skip;
    std::string human;
  } cases[] = {
      // A buy's price and stock, which its trade shows again.
      {"100\n50\n" + trade, &korvane::TradeResponse::default_instance(), 2,
       "symbol: XRP\ncoin_cur_price: 100\namount: 2\ntotal_price: 200\nflag: true\n"},
      // A refused buy prints only them: the note says why.
      {"100\n50\n", &korvane::TradeResponse::default_instance(), 2, ""},
      // A refusal line in their place is no number, and no document shows it again.
      {"[-] DETECTED Trading Bot\n", &korvane::TradeResponse::default_instance(), 2,
       "refused by the bot guard: an order of this coin and side at the same second was already "
       "made\n"},
      {"Detected SQL Injection: '\n", &korvane::AddressBookResponse::default_instance(), 2,
       "Detected SQL Injection: '\n"},
      // Every line of an overwrite of every entry: the note names the entries.
      {"-1\n3\n5\n", nullptr, SIZE_MAX, ""},
      // Lines after a document are not the ones left out.
      {coin + "x\n", &korvane::MarketResponse::default_instance(), 1,
       "symbol: BTC\nprice: 1\nstock: 2\nx\n"},
      {coin + coin, &korvane::MarketResponse::default_instance(), 0,
       "symbol: BTC\nprice: 1\nstock: 2\n\nsymbol: BTC\nprice: 1\nstock: 2\n"},
      {entry + entry, &korvane::AddressBookEntry::default_instance(), 0,
       "entry 3: XRP address rOne memo 123\nentry 3: XRP address rOne memo 123\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(humanize(c.answer, c.type, c.skip), c.human) << c.answer;
}

TEST(ClientHuman, CountsTheDocumentsOfOneMessage) {
  const std::string two =
      "{\n \"symbol\": \"BTC\",\n \"price\": \"1\",\n \"stock\": \"2\"\n}\n\n"
      "{\n \"symbol\": \"ETH\",\n \"price\": \"1\",\n \"stock\": \"2\"\n}\n\n";
  EXPECT_EQ(count_documents(two, korvane::MarketResponse::default_instance()), 2);
  EXPECT_EQ(count_documents(two, korvane::BalanceResponse::default_instance()), 0);
  EXPECT_EQ(count_documents("100\n50\n", korvane::TradeResponse::default_instance()), 0);
}

}  // namespace
