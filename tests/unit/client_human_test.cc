// The client's --human view of answers.
#include <gtest/gtest.h>

#include "korvane.pb.h"
#include "korvane/human.h"

namespace {

const google::protobuf::Message* kSignUp = &korvane::SignUpResponse::default_instance();

TEST(ClientHuman, JsonBecomesKeyValueLinesWithBytesDecoded) {
  EXPECT_EQ(
      humanize("acc_id: 7\n{\n \"username\": \"YWxpY2U=\",\n \"acc_id\": \"7\"\n}\n\n", kSignUp),
      "acc_id: 7\nusername: alice\nacc_id: 7\n");
  EXPECT_EQ(humanize("{\n \"symbol\": \"XRP\",\n \"coin_cur_price\": \"100\",\n \"amount\": "
                     "\"2\",\n \"total_price\": \"200\",\n \"flag\": false\n}\n\n",
                     &korvane::TradeResponse::default_instance()),
            "symbol: XRP\ncoin_cur_price: 100\namount: 2\ntotal_price: 200\nflag: false\n");
  EXPECT_EQ(humanize("{\n \"id\": 3,\n \"origin_addr\": \"\",\n \"new_addr\": \"YQl6\"\n}\n\n",
                     &korvane::ModifyAddressBookResponse::default_instance()),
            "id: 3\norigin_addr: \nnew_addr: a\\x09z\n");  // a tab shows escaped
}

TEST(ClientHuman, OtherTextStaysAsTheServerWroteIt) {
  const std::string plain = "There is no username, password\n";
  EXPECT_EQ(humanize(plain, kSignUp), plain);
  const std::string signup = "acc_id: 7\n{\n \"username\": \"YQ==\",\n \"acc_id\": \"7\"\n}\n\n";
  EXPECT_EQ(humanize(signup, nullptr), signup);
  // An echo line "{" before the document does not swallow it.
  EXPECT_EQ(
      humanize("{\nacc_id: 7\n{\n \"username\": \"YQ==\",\n \"acc_id\": \"7\"\n}\n\n", kSignUp),
      "{\nacc_id: 7\nusername: a\nacc_id: 7\n");
  // Braces around something that is not the expected message are left alone.
  const std::string odd = "{\n \"nothing\": 1\n}\n";
  EXPECT_EQ(humanize(odd, kSignUp), odd);
  EXPECT_EQ(humanize("{\nno end", kSignUp), "{\nno end");
}

}  // namespace
