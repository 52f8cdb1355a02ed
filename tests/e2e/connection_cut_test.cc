// A request whose database connection is cut at each of its statements, end to end: cut before
// the statement reaches the database, or after it ran with its answer lost (a COMMIT applied
// without the server knowing). The server reconnects, the client sees the request's normal
// answer exactly once, the database holds the request exactly once, and the session goes on.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/fault_proxy.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

// Names the cut in the parameters gtest prints.
static void PrintTo(FaultProxy::Cut how, std::ostream* out) {
  *out << (how == FaultProxy::Cut::kBeforeSending ? "BeforeSending" : "AfterReply");
}

namespace {

// True when a cut request is, or ends with, a COMMIT: statements may travel in batches, each
// ended by its semicolon.
bool ends_with_commit(const std::string& request) {
  for (const char* end : {"COMMIT", "COMMIT;"}) {
    const std::string tail(end);
    if (request.size() >= tail.size() &&
        request.compare(request.size() - tail.size(), tail.size(), tail) == 0) {
      return true;
    }
  }
  return false;
}

using Cut = FaultProxy::Cut;
using Rows = std::vector<std::vector<std::string>>;

constexpr int kBTC = 0, kXRP = 2;
constexpr long kPrice = 100, kStock = 50;
// A step no request reaches: arming at it only counts statements.
constexpr int kOnlyCount = 1 << 30;
// More steps than any order has; a cut that still fires there never stops firing.
constexpr int kMaxSteps = 40;

std::string mode_name(Cut how) { return ::testing::PrintToString(how); }

std::string added(const std::string& address) {
  return answers::address_added("XRP", address, "1");
}

class ConnectionCut : public ::testing::Test {
 protected:
  // A server whose connections go through the proxy, signed in to a fresh account.
  std::unique_ptr<ServerProcess> start_session() {
    const std::string name = unique_name("cut");
    auto server = signed_in_server(db, name, proxy.env());
    acc = std::to_string(db.account_id(name));
    return server;
  }

  TestDb db;
  FaultProxy proxy;
  std::string acc;
};

// Buy or sell, and the way each step is cut.
class OrderCut : public ConnectionCut, public ::testing::WithParamInterface<std::tuple<bool, Cut>> {
 protected:
  bool buy() const { return std::get<0>(GetParam()); }

  korvane::KorvaneInterface order(long amount, uint64_t at) const {
    return buy() ? envelopes::buy(kBTC, amount, at) : envelopes::sell(kBTC, amount, at);
  }

  // What an executed order of `amount` BTC prints when the stock before it is `stock`, moving
  // `krw` KRW.
  std::string answer(long amount, long stock, long krw) const {
    return answers::order("BTC", kPrice, stock, amount, buy(), krw, acc);
  }

  // Stock, the trader's KRW and BTC, and the number of its trades.
  std::vector<std::string> state() {
    return {db.value("SELECT qty FROM kv_coininfo WHERE symbol='BTC'"),
            db.value("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + acc),
            db.value("SELECT BTC_amount FROM kv_uservault WHERE acc_id=" + acc),
            db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc)};
  }
};

TEST_P(OrderCut, AtEachStepTheOrderIsAnsweredAndAppliedOnce) {
  const Cut how = std::get<1>(GetParam());
  // A fresh buyer holds 100000000 KRW; a seller is given 3 BTC. Orders of 2, then of 1.
  const std::vector<std::string> after_first =
      buy() ? std::vector<std::string>{"48", "99999750", "2", "1"}
            : std::vector<std::string>{"52", "100000150", "1", "1"};
  const std::vector<std::string> after_second =
      buy() ? std::vector<std::string>{"47", "99999625", "3", "2"}
            : std::vector<std::string>{"53", "100000225", "0", "2"};
  bool cut_commit = false;
  int step = 1;
  for (;; ++step) {
    ASSERT_LE(step, kMaxSteps) << "the cut still fires at step " << step;
    db.set_market("BTC", kPrice, kStock);
    auto server = start_session();
    if (!buy()) db.exec("UPDATE kv_uservault SET BTC_amount=3 WHERE acc_id=" + acc);

    proxy.arm(step, how);
    const std::string first = server->send(order(2, 1000));
    const bool fired = proxy.fired();
    proxy.disarm();
    SCOPED_TRACE(fired ? "step " + std::to_string(step) + " cut " + mode_name(how) +
                             " at: " + proxy.cut_statement()
                       : "step " + std::to_string(step) + ": the order ran whole, uncut");
    EXPECT_EQ(first, answer(2, kStock, buy() ? 250 : 150));
    EXPECT_EQ(state(), after_first);
    // The same session goes on with the next order.
    EXPECT_EQ(server->send(order(1, 1001)), answer(1, kStock - 2, buy() ? 125 : 75));
    EXPECT_EQ(state(), after_second);
    if (!fired) break;
    cut_commit = cut_commit || ends_with_commit(proxy.cut_statement());
  }
  EXPECT_TRUE(cut_commit) << "no step cut the order's COMMIT";
  // At least the reads that begin it and the writes that end it.
  EXPECT_GE(step - 1, 2) << "an order has fewer round trips than expected";
}

INSTANTIATE_TEST_SUITE_P(
    ConnectionCut, OrderCut,
    ::testing::Combine(::testing::Bool(), ::testing::Values(Cut::kBeforeSending, Cut::kAfterReply)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) ? "Buy" : "Sell") + "Cut" +
             mode_name(std::get<1>(info.param));
    });

TEST_F(ConnectionCut, AddressAddWhoseCommitAnswerIsLostIsStoredAndAnsweredOnce) {
  auto server = start_session();
  // A whole add counts an add's statements; the last is its COMMIT.
  proxy.arm(kOnlyCount, Cut::kAfterReply);
  ASSERT_EQ(server->send(envelopes::add_address(kXRP, "rFirst", "1", 1)), added("rFirst"));
  proxy.arm(proxy.statements_seen(), Cut::kAfterReply);

  EXPECT_EQ(server->send(envelopes::add_address(kXRP, "rCut", "1", 1)), added("rCut"));
  EXPECT_TRUE(proxy.fired());
  EXPECT_TRUE(ends_with_commit(proxy.cut_statement())) << proxy.cut_statement();
  EXPECT_EQ(server->send(envelopes::add_address(kXRP, "rAfter", "1", 1)), added("rAfter"));
  EXPECT_EQ(db.rows("SELECT address FROM kv_addressbook WHERE acc_id=" + acc + " ORDER BY id"),
            (Rows{{"rFirst"}, {"rCut"}, {"rAfter"}}));
}

TEST_F(ConnectionCut, SignUpWhoseCommitAnswerIsLostMakesOneAccountAndAnswersOnce) {
  ServerProcess server(proxy.env());
  ASSERT_EQ(server.read_until_prompt(), "");
  const std::string counted = unique_name("cut"), name = unique_name("cut");
  proxy.arm(kOnlyCount, Cut::kAfterReply);
  const std::string whole = server.send(envelopes::signup(counted, "pw"));
  ASSERT_EQ(whole, answers::signup(counted, db.account_id(counted)));
  proxy.arm(proxy.statements_seen(), Cut::kAfterReply);
  const std::string accounts = db.value("SELECT COUNT(*) FROM kv_account");

  const std::string answer = server.send(envelopes::signup(name, "pw"));
  EXPECT_TRUE(proxy.fired());
  EXPECT_TRUE(ends_with_commit(proxy.cut_statement())) << proxy.cut_statement();
  const long id = db.account_id(name);
  ASSERT_NE(id, 0);
  EXPECT_EQ(answer, answers::signup(name, id));
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_account"), std::to_string(std::stol(accounts) + 1));
  EXPECT_EQ(db.rows("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + std::to_string(id)),
            (Rows{{"100000000"}}));
  // The session goes on: the new account signs in and trades.
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  db.set_market("BTC", kPrice, kStock);
  EXPECT_EQ(server.send(envelopes::buy(kBTC, 1, 1)),
            answers::order("BTC", kPrice, kStock, 1, true, 125, std::to_string(id)));
}

}  // namespace
