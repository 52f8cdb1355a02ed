// A client that stops reading must not stop the market. Its server blocks writing the answer,
// and that write may only come once the request's transaction has ended: a session that blocked
// with the coin's market row or the account's vault row locked would hold every other order of
// that coin or that account until its client read again.
//
// The test makes the block certain instead of likely: it shrinks the pipe the server writes to to
// one page and fills it to the last byte with answers of requests that touch no rows, so that the
// server cannot write even the first byte of its next answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kXrp = 2;
constexpr char kPrompt[] = "> ";
// Answers of requests that read and lock no rows, prompt included: 20 and 7 bytes, so that
// some count of each adds up to any size of pipe.
constexpr char kDepositAnswer[] = "Hello handle_sell\n> ";
constexpr char kDeleteAnswer[] = "TODO\n> ";

// A buy of `amount` XRP at 100, paying `krw`, the stock being `stock` before it.
std::string buy_answer(const std::string& acc, long stock, long amount, long krw) {
  return answers::order("XRP", 100, stock, amount, true, krw, acc);
}

// Sends one request and waits until the server has written `answer` (prompt included) after the
// `waiting` bytes already in the pipe, which shows it has read the request: the next one then
// comes in a read of its own instead of joining this one.
void send_unread(ServerProcess& server, const korvane::KorvaneInterface& request, size_t waiting,
                 const std::string& answer) {
  server.write_raw(envelopes::bytes_of(request));
  const int expected = static_cast<int>(waiting + answer.size());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (server.output_waiting() != expected) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the pipe holds " << server.output_waiting() << " bytes, not " << expected;
      return;
    }
    usleep(100);
  }
}

// Reads until at least `size` bytes have come, answer by answer.
std::string read_bytes(ServerProcess& server, size_t size) {
  std::string out;
  while (out.size() < size && !::testing::Test::HasFailure()) {
    out += server.read_until_prompt() + kPrompt;
  }
  return out;
}

class SlowReader : public ::testing::Test {
 protected:
  void SetUp() override { db.set_market("XRP", 100, 50); }

  // A new server process signed in as `name`, signing up first when there is no such account.
  std::unique_ptr<ServerProcess> session(const std::string& name) {
    return signed_in_server(db, name);
  }

  // Shrinks the session's output pipe to one page and fills it without reading; returns what
  // was written into it.
  std::string stop_reading(ServerProcess& server) {
    EXPECT_EQ(server.send(envelopes::deposit(kXrp, "a")) + kPrompt, kDepositAnswer);
    EXPECT_EQ(server.send(envelopes::delete_address(kXrp, "a")) + kPrompt, kDeleteAnswer);
    const int capacity = server.shrink_output_pipe(4096);
    if (capacity <= 0) return "";
    const int deposit_size = sizeof(kDepositAnswer) - 1, delete_size = sizeof(kDeleteAnswer) - 1;
    int deletes = 0;
    while ((capacity - deletes * delete_size) % deposit_size != 0) ++deletes;
    std::string filled;
    for (int i = 0; i < deletes && !HasFailure(); ++i) {
      send_unread(server, envelopes::delete_address(kXrp, "a"), filled.size(), kDeleteAnswer);
      filled += kDeleteAnswer;
    }
    while (static_cast<int>(filled.size()) < capacity && !HasFailure()) {
      send_unread(server, envelopes::deposit(kXrp, "a"), filled.size(), kDepositAnswer);
      filled += kDepositAnswer;
    }
    EXPECT_EQ(server.output_waiting(), capacity);
    return filled;
  }

  std::string acc(const std::string& name) { return std::to_string(db.account_id(name)); }

  TestDb db;
};

TEST_F(SlowReader, AnOrderWhoseAnswerCannotBeWrittenHoldsNoMarketRow) {
  const std::string a = unique_name("slow"), b = unique_name("quick");
  auto slow = session(a);
  auto quick = session(b);
  const std::string filled = stop_reading(*slow);
  ASSERT_FALSE(HasFailure());

  slow->write_raw(envelopes::bytes_of(envelopes::buy(kXrp, 2, 1)));
  // The order commits although its answer waits.
  ASSERT_TRUE(
      wait_for_value(db, "SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc(a), "1"));
  // Another order of the coin locks the same market row, and goes through.
  EXPECT_EQ(quick->send(envelopes::buy(kXrp, 1, 1)), buy_answer(acc(b), 48, 1, 125));
  EXPECT_EQ(slow->output_waiting(), static_cast<int>(filled.size()));  // still waiting

  // Once its client reads, the slow session's answer is whole and comes once.
  const std::string answer = buy_answer(acc(a), 50, 2, 250) + kPrompt;
  EXPECT_EQ(read_bytes(*slow, filled.size() + answer.size()), filled + answer);
  EXPECT_EQ(slow->send(envelopes::deposit(kXrp, "a")) + kPrompt, kDepositAnswer);
  EXPECT_EQ(db.value("SELECT qty FROM kv_coininfo WHERE symbol='XRP'"), "47");
}

TEST_F(SlowReader, AnAddressBookAddWhoseAnswerCannotBeWrittenHoldsNoVaultRow) {
  const std::string name = unique_name("slowbook");
  auto slow = session(name);
  auto other = session(name);
  const std::string filled = stop_reading(*slow);
  ASSERT_FALSE(HasFailure());

  slow->write_raw(envelopes::bytes_of(envelopes::add_address(kXrp, "rSlow", "1", 1)));
  ASSERT_TRUE(
      wait_for_value(db, "SELECT COUNT(*) FROM kv_addressbook WHERE acc_id=" + acc(name), "1"));
  // An order of the same account locks the same vault row, and goes through.
  EXPECT_EQ(other->send(envelopes::buy(kXrp, 1, 1)), buy_answer(acc(name), 50, 1, 125));
  EXPECT_EQ(slow->output_waiting(), static_cast<int>(filled.size()));

  const std::string answer = answers::address_added("XRP", "rSlow", "1") + kPrompt;
  EXPECT_EQ(read_bytes(*slow, filled.size() + answer.size()), filled + answer);
}

}  // namespace
