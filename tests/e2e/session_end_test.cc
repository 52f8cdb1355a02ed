// How a session ends when something other than its client's end of input ends it: a stop signal
// from the service manager, a client that stops reading, a crash. Whatever ends it, it ends at a
// request boundary and closes its database connection, so the database counts no aborted client
// and no lock of the session outlives it.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "support/answers.h"
#include "support/db_watch.h"
#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

namespace {

constexpr int kXrp = 2;

class SessionEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    db.set_market("XRP", 100, 50);
    aborted_before = aborted_clients(db);
  }

  // The session's connection was closed, not dropped, and nothing of it is left.
  void expect_closed_cleanly() {
    EXPECT_TRUE(wait_for_no_server_connections(db));
    EXPECT_EQ(aborted_clients(db), aborted_before);
    EXPECT_TRUE(wait_for_value(root, "SELECT COUNT(*) FROM information_schema.INNODB_TRX", "0"));
  }

  // A new account with a long trade history (several pages of answer); returns its name.
  std::string account_with_long_history() {
    const std::string name = unique_name("stalled");
    signed_in_server(db, name).reset();
    db.add_history(db.account_id(name), 3);
    return name;
  }

  // A server (this build's, or `path`) signed in as `name`, its output pipe shrunk to one page,
  // that has been asked for the history, which it then blocks writing.
  std::unique_ptr<ServerProcess> stalled(const std::string& name, const std::string& path = {}) {
    auto server = signed_in_server(db, name, {}, path);
    EXPECT_EQ(server->shrink_output_pipe(4096), 4096);
    server->write_raw(envelopes::bytes_of(envelopes::history(kXrp, 1)));
    return server;
  }

  TestDb db;
  TestDb root{TestDb::kRoot};
  std::string aborted_before;
};

class StopAtThePrompt : public SessionEnd, public ::testing::WithParamInterface<int> {};

TEST_P(StopAtThePrompt, EndsAtOnceWithStatusZero) {
  ServerProcess server;
  server.read_until_prompt();
  kill(server.pid(), GetParam());
  EXPECT_EQ(server.read_to_end(), "");
  EXPECT_EQ(server.wait_exit(), 0);
  expect_closed_cleanly();
}

INSTANTIATE_TEST_SUITE_P(Signals, StopAtThePrompt, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// The order waits for a market row that the test holds when the signal comes: it still commits,
// its whole answer and prompt reach the client, and only then does the session end.
TEST_F(SessionEnd, StopSignalMidOrderEndsAfterTheOrderIsAnswered) {
  const std::string name = unique_name("stopped");
  auto server = signed_in_server(db, name);
  const std::string acc = std::to_string(db.account_id(name));
  {
    TestDb holder;
    holder.exec("START TRANSACTION");
    holder.rows("SELECT symbol FROM kv_coininfo WHERE symbol='XRP' FOR UPDATE");
    server->write_raw(envelopes::bytes_of(envelopes::buy(kXrp, 2, 1)));
    ASSERT_TRUE(wait_for_lock_waits(root, 1));
    kill(server->pid(), SIGTERM);
    holder.exec("COMMIT");
  }
  EXPECT_EQ(server->read_until_prompt(), answers::order("XRP", 100, 50, 2, true, 250, acc));
  EXPECT_EQ(server->read_to_end(), "");
  EXPECT_EQ(server->wait_exit(), 0);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc), "1");
  expect_closed_cleanly();
}

// The short-idle build's writes give up after its idle limit. The pipe to the test holds one page
// and the history answer is several, so the server blocks writing it and the test never reads.
TEST_F(SessionEnd, ClientThatStopsReadingEndsItsSessionAtTheIdleLimit) {
  const std::string name = account_with_long_history();
  auto server = stalled(name, KORVANE_SHORT_IDLE_SERVER_PATH);
  const std::string acc = std::to_string(db.account_id(name));
  EXPECT_EQ(server->wait_exit(), 0);
  EXPECT_EQ(server->output_waiting(), 4096);  // the answer stopped where the pipe was full
  expect_closed_cleanly();
  EXPECT_EQ(
      db.try_exec("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + acc + " FOR UPDATE NOWAIT"),
      0u);
}

// With the idle limit of an hour, a stop signal cuts the wait for a client that does not read.
TEST_F(SessionEnd, StopSignalEndsAWriteTheClientDoesNotTake) {
  auto server = stalled(account_with_long_history());
  kill(server->pid(), SIGTERM);
  EXPECT_EQ(server->wait_exit(), 0);
  expect_closed_cleanly();
}

// Standard output on a pipe keeps the memory map there (FrontEnd's crash test); a served
// session's socket is a network client, so the map goes to standard error, the journal.
TEST(SessionCrash, OnASocketTheMemoryMapGoesToStandardErrorNotTheClient) {
  ServerProcess server({}, {}, {}, ServerProcess::kSocket);
  ASSERT_EQ(server.read_until_prompt(), "");
  kill(server.pid(), SIGSEGV);
  EXPECT_EQ(server.read_to_end(), "");
  const std::string map = server.stderr_to_end();
  EXPECT_EQ(server.wait_exit(), 255);
  EXPECT_TRUE(is_memory_map(map)) << map;
}

}  // namespace
