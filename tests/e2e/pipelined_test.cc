// Requests written back to back, without waiting for the prompt in between, arrive in one read:
// each runs and is answered with its own prompt, exactly as if it had come alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/signed_in_test.h"

namespace {

constexpr int kXRP = 2, kSOL = 3;
constexpr char kParseError[] = "Error parse_handler();\n";
constexpr char kPrompt[] = "> ";
// What the server takes in one read.
constexpr size_t kReadSize = 10240;

// Reads `count` answers, each up to its prompt. Answers written together may come in one read,
// so the output is cut at each prompt; none of the answers used here holds "> ".
std::vector<std::string> read_answers(ServerProcess& server, size_t count) {
  const bool failed_before = ::testing::Test::HasFailure();
  std::vector<std::string> answers;
  while (answers.size() < count) {
    const std::string read = server.read_until_prompt() + kPrompt;
    for (size_t start = 0, end; (end = read.find(kPrompt, start)) != std::string::npos;
         start = end + 2) {
      answers.push_back(read.substr(start, end - start));
    }
    if (::testing::Test::HasFailure() != failed_before) break;  // no answer came in time
  }
  return answers;
}

class Pipelined : public SignedInTest {
 protected:
  Pipelined() : SignedInTest("pipe") {}

  // Writes the pieces in one write and reads `count` answers.
  std::vector<std::string> answers_of(const std::vector<std::string>& pieces, size_t count) {
    std::string bytes;
    for (const std::string& piece : pieces) bytes += piece;
    server.write_raw(bytes);
    return read_answers(server, count);
  }

  std::string trades() {
    return db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc);
  }
};

using envelopes::bytes_of;

TEST_F(Pipelined, EachEnvelopeOfOneWriteRunsInTurn) {
  db.set_market("XRP", 100, 50);
  db.set_market("SOL", 300, 70);
  EXPECT_EQ(
      answers_of({bytes_of(envelopes::buy(kXRP, 2, 1)), bytes_of(envelopes::buy(kSOL, 1, 1))}, 2),
      (std::vector<std::string>{answers::order("XRP", 100, 50, 2, true, 250, acc),
                                answers::order("SOL", 300, 70, 1, true, 375, acc)}));

  const std::string market = bytes_of(envelopes::view_market());
  const std::string before = server.send(market);
  std::vector<std::string> three =
      answers_of({market, bytes_of(envelopes::sell(kXRP, 1, 2)), market}, 3);
  EXPECT_EQ(three[0], before);
  EXPECT_EQ(three[1], answers::order("XRP", 100, 0, 1, false, 75, acc));
  const std::string after = server.send(market);
  EXPECT_EQ(three[2], after);
  EXPECT_EQ(trades(), "3");

  EXPECT_EQ(answers_of(std::vector<std::string>(100, market), 100),
            std::vector<std::string>(100, after));
  // One answer per request: the next request gets its own, not one left over.
  EXPECT_EQ(server.send(market), after);
}

// A sign-in and a view in one write: the sign-in is not lost, and a failed one is not either.
TEST(PipelinedSignIn, EachOfASignInAndAViewIsAnswered) {
  TestDb db;
  db.set_known_market();
  const std::string name = unique_name("pipein");
  ServerProcess server;
  server.read_until_prompt();
  server.send(envelopes::signup(name, "pw"));
  server.write_raw(bytes_of(envelopes::view_market()) +
                   bytes_of(envelopes::signin("nobody_here", "pw")));
  EXPECT_EQ(
      read_answers(server, 2),
      (std::vector<std::string>{answers::known_market(), "There is no username, password\n"}));

  ServerProcess second;
  second.read_until_prompt();
  second.write_raw(bytes_of(envelopes::signin(name, "pw")) + bytes_of(envelopes::view_balance()));
  EXPECT_EQ(read_answers(second, 2),
            (std::vector<std::string>{"", answers::balances(100000000, 0, 0, 0, 0)}));
}

// Where an envelope ends is told by the next one's event code. Bytes after an envelope that are
// no envelope leave no way to tell where it ended: the read is refused as a whole, as it always
// was, and nothing of it runs. A code after it starts a piece of its own, refused alone.
TEST_F(Pipelined, BytesThatAreNoEnvelopeAreRefusedAndRunNothing) {
  db.set_market("XRP", 100, 50);
  const std::string buy = bytes_of(envelopes::buy(kXRP, 2, 1));
  EXPECT_EQ(answers_of({buy, "\xff\xff"}, 1), (std::vector<std::string>{kParseError}));
  EXPECT_EQ(trades(), "0");
  EXPECT_EQ(
      answers_of({buy, std::string("\x08\xff", 2)}, 2),
      (std::vector<std::string>{answers::order("XRP", 100, 50, 2, true, 250, acc), kParseError}));
  EXPECT_EQ(trades(), "1");
}

// An encoder may write the event code after the nested message: such an envelope is one request
// alone, and after another in the same write.
TEST_F(Pipelined, AnEnvelopeWithItsCodeLastIsOneRequest) {
  db.set_market("XRP", 100, 50);
  db.set_market("SOL", 300, 70);
  EXPECT_EQ(answers_of({envelopes::bytes_code_last(envelopes::buy(kXRP, 2, 1))}, 1),
            (std::vector<std::string>{answers::order("XRP", 100, 50, 2, true, 250, acc)}));
  EXPECT_EQ(answers_of({bytes_of(envelopes::buy(kXRP, 1, 2)),
                        envelopes::bytes_code_last(envelopes::buy(kSOL, 2, 2))},
                       2),
            (std::vector<std::string>{answers::order("XRP", 100, 48, 1, true, 125, acc),
                                      answers::order("SOL", 300, 70, 2, true, 750, acc)}));
  EXPECT_EQ(trades(), "3");
  // No further answer comes before the next request's own.
  EXPECT_EQ(server.send(envelopes::my_info()), answers::my_info(acc, name, 99998875));
}

// A write longer than one read comes in several, cut wherever the reads end: an envelope cut at
// the end of one read is completed by the next, and each request gets exactly one answer. The
// write fits in the pipe at once, so every read but the last is full.
TEST_F(Pipelined, AWriteOverManyReadsGetsOneAnswerPerRequestInOrder) {
  const std::string market = bytes_of(envelopes::view_market());
  const std::string balance = bytes_of(envelopes::view_balance());
  ASSERT_NE(kReadSize % market.size(), 0u);  // a read ends inside an envelope
  const std::string market_answer = server.send(market), balance_answer = server.send(balance);
  ASSERT_NE(market_answer, balance_answer);
  std::vector<std::string> pieces, expected;
  for (int i = 0; pieces.size() * market.size() < 3 * kReadSize; ++i) {
    pieces.push_back(i % 2 == 0 ? market : balance);
    expected.push_back(i % 2 == 0 ? market_answer : balance_answer);
  }
  EXPECT_EQ(answers_of(pieces, pieces.size()), expected);
  EXPECT_EQ(server.send(market), market_answer);
}

}  // namespace
