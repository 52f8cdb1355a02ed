// The front end end to end: start-up, the request loop, decoding and routing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "server/dispatch.h"
#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

namespace {

constexpr char kParseError[] = "Error parse_handler();\n";

class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server.read_until_prompt(), ""); }
  TestDb db;
  ServerProcess server;
};

TEST_F(FrontEnd, EnvelopeWithOnlyACodeIsRoutedSilently) {
  EXPECT_EQ(server.send(envelopes::event(event::kMyInfo)), "");
}

TEST_F(FrontEnd, UndecodableRequestsArePrintedAsParseErrors) {
  EXPECT_EQ(server.send(std::string("\xff\xff\xff\xff\xff", 5)), kParseError);
  // Wire-valid, but the envelope's own code is missing.
  korvane::KorvaneInterface no_code;
  no_code.mutable_event_signin()->set_username("a");
  no_code.mutable_event_signin()->set_password("b");
  EXPECT_EQ(server.send(envelopes::bytes_of(no_code)), kParseError);
  // A nested message that is present must be complete, even when the code does not use it.
  auto signin = envelopes::signin("someone", "pw");
  signin.mutable_event_buy()->set_symbol(0);  // amount missing
  EXPECT_EQ(server.send(envelopes::bytes_of(signin)), kParseError);
  // That rejected sign-in did not use up the one attempt of the process.
  EXPECT_EQ(server.send(envelopes::signin("nobody_here_at_all", "pw")),
            "There is no username, password\n");
}

TEST_F(FrontEnd, SellWithASymbolOutsideTheEnumDoesNotDecode) {
  for (uint64_t symbol : {uint64_t{4}, ~uint64_t{0}}) {
    // field 6 (event_sell), length-delimited: symbol (field 1 varint), amount (field 2)
    std::string sell;
    sell.push_back(0x08);
    for (uint64_t v = symbol;; v >>= 7) {
      if (v < 0x80) {
        sell.push_back(static_cast<char>(v));
        break;
      }
      sell.push_back(static_cast<char>((v & 0x7f) | 0x80));
    }
    sell += std::string("\x10\x01", 2);
    std::string bytes = envelopes::bytes_of(envelopes::event(event::kSell));
    bytes.push_back(0x32);
    bytes.push_back(static_cast<char>(sell.size()));
    bytes += sell;
    EXPECT_EQ(server.send(bytes), kParseError) << symbol;
  }
}

TEST_F(FrontEnd, UnknownCodesAndGroupsAreSilent) {
  for (int32_t code : {0x10000004, 0x20000007, 0x30000000, 0, -1, INT32_MIN}) {
    EXPECT_EQ(server.send(envelopes::event(code)), "") << code;
  }
}

TEST_F(FrontEnd, ExchangeEventsWhileSignedOutAreSilent) {
  EXPECT_EQ(server.send(envelopes::buy(0, 1, 1)), "");
  EXPECT_EQ(server.send(envelopes::deposit(0, "addr")), "");
  EXPECT_EQ(server.send(envelopes::delete_address(0, "addr")), "");
  EXPECT_EQ(server.send(envelopes::history(0, 1)), "");
}

TEST_F(FrontEnd, EndOfInputEndsTheProcessWithStatusZero) {
  server.close_input();
  EXPECT_EQ(server.read_to_end(), "");
  EXPECT_EQ(server.wait_exit(), 0);
}

TEST_F(FrontEnd, SegmentationFaultPrintsTheMemoryMapAndExits255) {
  kill(server.pid(), SIGSEGV);
  std::string map = server.read_to_end();
  EXPECT_EQ(server.wait_exit(), 255);
  EXPECT_TRUE(is_memory_map(map)) << map;
}

TEST(FrontEndStartup, UnreachableDatabaseEndsBeforeThePrompt) {
  char dir[] = "/tmp/korvane-nodb.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  ServerProcess server({{"MYSQL_UNIX_PORT", std::string(dir) + "/none.sock"}, {"MYSQL_HOME", dir}});
  EXPECT_EQ(server.read_to_end(), "[MySQL] Connection Error\n");
  EXPECT_EQ(server.wait_exit(), 255);
  rmdir(dir);
}

TEST(FrontEndStartup, AnotherStartKeepsEveryRow) {
  TestDb db;
  std::string name = unique_name("keep");
  {
    ServerProcess first;
    first.read_until_prompt();
    first.send(envelopes::signup(name, "pw"));
  }
  db.exec("UPDATE kv_coininfo SET qty=qty+7 WHERE symbol='XRP'");
  auto before = db.rows("SELECT * FROM kv_coininfo ORDER BY symbol");
  long accounts = std::stol(db.value("SELECT COUNT(*) FROM kv_account"));
  ServerProcess second;
  EXPECT_EQ(second.read_until_prompt(), "");
  EXPECT_EQ(db.rows("SELECT * FROM kv_coininfo ORDER BY symbol"), before);
  EXPECT_EQ(std::stol(db.value("SELECT COUNT(*) FROM kv_account")), accounts);
  EXPECT_NE(db.account_id(name), 0);
}

}  // namespace
