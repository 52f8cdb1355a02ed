// Errors the database answers instead of running a statement (a Galera node outside the primary
// component, an interrupted statement, a failed commit, a statement time limit, a killed
// connection), injected by the fault proxy at each round trip of a sign-in and of an order. Each
// is run again as its class says (src/db/error_classes.h): the client sees the usual answer, the
// database holds the request once, and no sign-in is spent on a fault that was not the client's.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>

#include "support/answers.h"
#include "support/envelopes.h"
#include "support/fault_proxy.h"
#include "support/global_setting.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

using Reply = FaultProxy::ErrorReply;

constexpr int kXRP = 2;
constexpr long kPrice = 100, kStock = 50, kStartingKrw = 100000000;
constexpr char kNoSuchLogin[] = "There is no username, password\n";

struct ErrorCase {
  const char* name;
  Reply reply;
};

const ErrorCase kErrors[] = {
    {"NodeNotReady", {1047, "08S01", "WSREP has not yet prepared node for application use", false}},
    {"Interrupted", {1317, "70100", "Query execution was interrupted", false}},
    {"CommitFailed", {1180, "HY000", "Got error 6 \"No such device\" during COMMIT", false}},
    {"StatementTimeout",
     {1969, "70100", "Query execution was interrupted (max_statement_time exceeded)", false}},
    {"Killed", {1927, "70100", "Connection was killed", true}},
};

// Errors that answer a commit's batch after it ran: the proof finds it applied.
const ErrorCase kErrorsAfterCommit[] = {
    {"InterruptedAfterRunning", {1317, "70100", "Query execution was interrupted", false, true}},
    {"CommitFailedAfterRunning",
     {1180, "HY000", "Got error 6 \"No such device\" during COMMIT", false, true}},
    {"KilledAfterRunning", {1927, "70100", "Connection was killed", true, true}},
};

// A round trip of a request, by a piece of its statements no other round trip holds.
struct RoundTrip {
  const char* name;
  bool order;  // else a sign-in
  const char* piece;
};

const RoundTrip kRoundTrips[] = {
    {"SignIn", false, "FROM kv_account WHERE username="},
    {"OrderReads", true, "SELECT KRW_amount, XRP_amount"},
    {"OrderWrites", true, "UPDATE kv_coininfo"},
};

void PrintTo(const ErrorCase& c, std::ostream* out) { *out << c.name; }
void PrintTo(const RoundTrip& c, std::ostream* out) { *out << c.name; }

class InjectedError : public ::testing::TestWithParam<std::tuple<ErrorCase, RoundTrip>> {
 protected:
  TestDb db;
  FaultProxy proxy;
};

TEST_P(InjectedError, IsRunAgainAndAnsweredOnce) {
  const auto& [error, trip] = GetParam();
  const std::string name = unique_name("err");
  if (!trip.order) signed_in_server(db, name);  // the account
  std::unique_ptr<ServerProcess> server = greeted_server(proxy.env());
  if (trip.order) sign_up_and_in(*server, db, name);
  const std::string acc = std::to_string(db.account_id(name));
  db.set_market("XRP", kPrice, kStock);

  proxy.answer_at(trip.piece, error.reply);
  if (trip.order) {
    EXPECT_EQ(server->send(envelopes::buy(kXRP, 2, 1700000000)),
              answers::order("XRP", kPrice, kStock, 2, true, 250, acc));
  } else {
    EXPECT_EQ(server->send(envelopes::signin(name, "pw")), "");
  }
  EXPECT_TRUE(proxy.fired());
  // Signed in either way, and the order is there once.
  const long krw = trip.order ? kStartingKrw - 250 : kStartingKrw;
  EXPECT_EQ(server->send(envelopes::my_info()), answers::my_info(acc, name, krw));
  EXPECT_EQ(
      db.rows("SELECT COUNT(*), COALESCE(SUM(amount), 0) FROM kv_tradehistory "
              "WHERE acc_id=" +
              acc),
      (std::vector<std::vector<std::string>>{{trip.order ? "1" : "0", trip.order ? "2" : "0"}}));
}

std::string case_name(const ::testing::TestParamInfo<InjectedError::ParamType>& info) {
  return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Faults, InjectedError,
                         ::testing::Combine(::testing::ValuesIn(kErrors),
                                            ::testing::ValuesIn(kRoundTrips)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(FaultsAfterCommit, InjectedError,
                         ::testing::Combine(::testing::ValuesIn(kErrorsAfterCommit),
                                            ::testing::Values(kRoundTrips[2])),
                         case_name);

// A sign-in whose statement times out on every attempt until its attempts are used up is
// refused, but the session may sign in again: the fault was not the client's.
TEST(InjectedErrors, ASignInTheDatabaseKeptRefusingIsNotSpent) {
  TestDb db;
  FaultProxy proxy;
  const std::string name = unique_name("err");
  signed_in_server(db, name);
  ServerProcess server(proxy.env());
  ASSERT_EQ(server.read_until_prompt(), "");
  proxy.answer_at("FROM kv_account WHERE username=", kErrors[3].reply, 5);
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), kNoSuchLogin);
  EXPECT_EQ(proxy.statements_seen(), 5);
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  EXPECT_EQ(server.send(envelopes::my_info()),
            answers::my_info(std::to_string(db.account_id(name)), name, kStartingKrw));
}

// An order's commit whose answer is lost while the database keeps its proof from being read with
// a lock: the proof goes on, within its time bound, until it can tell.
struct ProofCase {
  const char* name;
  const char* setting;  // a global setting of the database while the proof runs
  const char* value;
  // The order's write batch: held and sent on once the proof has been asked `tries` times, or run
  // at once with its answer lost.
  bool delayed;
  int tries;
};

const ProofCase kProofCases[] = {
    // Every locking read gives up at once; the batch lands after more tries than a count of ten.
    {"LockWaitsOutlastTenTries", "innodb_lock_wait_timeout", "0", true, 12},
    // A read-only server refuses locking reads; a plain read finds the trade.
    {"ReadOnlyDatabase", "read_only", "1", false, 0},
};

void PrintTo(const ProofCase& c, std::ostream* out) { *out << c.name; }

class LostCommitProof : public ::testing::TestWithParam<ProofCase> {
 protected:
  TestDb db;
  FaultProxy proxy;
};

TEST_P(LostCommitProof, FindsTheTradeOnce) {
  const ProofCase& c = GetParam();
  const std::string name = unique_name("proof");
  auto server = signed_in_server(db, name, proxy.env());
  const std::string acc = std::to_string(db.account_id(name));
  db.set_market("XRP", kPrice, kStock);
  // Each try of the proof: the connect's two statements, the locking read, its rollback and a
  // plain read.
  constexpr int kStatementsPerTry = 5;

  // The setting holds from before the batch is held (the server reconnects at once) or, for a
  // batch that runs, from after it ran (the proof waits for its connection until then).
  std::optional<GlobalSetting> setting;
  if (c.delayed) {
    setting.emplace(c.setting, c.value);
    proxy.arm_at("UPDATE kv_coininfo", FaultProxy::Cut::kDelayed);
  } else {
    proxy.hold_next_connection();
    proxy.answer_at("UPDATE kv_coininfo", kErrorsAfterCommit[2].reply);
  }
  server->write_raw(envelopes::bytes_of(envelopes::buy(kXRP, 2, 1700000000)));
  ASSERT_TRUE(proxy.wait_until_holding());
  if (c.delayed) {
    ASSERT_TRUE(proxy.wait_until_seen(1 + c.tries * kStatementsPerTry));
  } else {
    setting.emplace(c.setting, c.value);
  }
  proxy.release();
  EXPECT_EQ(server->read_until_prompt(), answers::order("XRP", kPrice, kStock, 2, true, 250, acc));
  setting.reset();
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc), "1");
}

INSTANTIATE_TEST_SUITE_P(Faults, LostCommitProof, ::testing::ValuesIn(kProofCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
