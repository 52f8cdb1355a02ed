// How a session ends when something other than its client's end of input ends it: a stop signal
// from the service manager, a client that stops reading, a crash. Whatever ends it, it ends at a
// request boundary and closes its database connection, so the database counts no aborted client
// and no lock of the session outlives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

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
  EXPECT_EQ(server->read_until_prompt(), answers::order("XRP", 100, 50, 2, true, acc));
  EXPECT_EQ(server->read_to_end(), "");
  EXPECT_EQ(server->wait_exit(), 0);
  EXPECT_EQ(db.value("SELECT COUNT(*) FROM kv_tradehistory WHERE acc_id=" + acc), "1");
  expect_closed_cleanly();
}

// The short-idle build's writes give up after its idle limit. The pipe to the test holds one page
// and the history answer is several, so the server blocks writing it and the test never reads.
TEST_F(SessionEnd, ClientThatStopsReadingEndsItsSessionAtTheIdleLimit) {
  const std::string name = unique_name("stalled");
  signed_in_server(db, name).reset();
  const std::string acc = std::to_string(db.account_id(name));
  std::string trades = "INSERT INTO kv_tradehistory VALUES";
  for (int i = 0; i < 200; ++i) {
    trades += std::string(i == 0 ? "" : ",") + "(NULL, " + acc + ", 'XRP', 7, 3, 21, true, NULL)";
  }
  db.exec(trades);

  ServerProcess server({}, {}, KORVANE_SHORT_IDLE_SERVER_PATH);
  server.read_until_prompt();
  sign_up_and_in(server, db, name);
  const int capacity = server.shrink_output_pipe(4096);
  server.write_raw(envelopes::bytes_of(envelopes::history(kXrp, 1)));
  EXPECT_EQ(server.wait_exit(), 0);
  EXPECT_EQ(server.output_waiting(), capacity);  // the answer stopped where the pipe was full
  expect_closed_cleanly();
  EXPECT_EQ(
      db.try_exec("SELECT KRW_amount FROM kv_uservault WHERE acc_id=" + acc + " FOR UPDATE NOWAIT"),
      0u);
}

// A server whose standard input and output are one end of a socket pair, as a served session's
// are, with its standard error on a pipe; killed when the test is done with it.
class ServerOnSocket {
 public:
  ServerOnSocket() {
    int sockets[2], err[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0 ||
        pipe2(err, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "socketpair or pipe failed";
      return;
    }
    char* argv[] = {const_cast<char*>("korvane-server"), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
      dup2(sockets[1], 0);
      dup2(sockets[1], 1);
      dup2(err[1], 2);
      execv(KORVANE_SERVER_PATH, argv);
      _exit(127);
    }
    close(sockets[1]);
    close(err[1]);
    client_ = sockets[0];
    stderr_ = err[0];
  }
  ~ServerOnSocket() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(client_);
    close(stderr_);
  }
  ServerOnSocket(const ServerOnSocket&) = delete;
  ServerOnSocket& operator=(const ServerOnSocket&) = delete;

  pid_t pid() const { return pid_; }
  // Reads the first prompt; false when something else or nothing came.
  bool read_prompt() {
    char prompt[2];
    return recv(client_, prompt, sizeof(prompt), MSG_WAITALL) == 2 && prompt[0] == '>';
  }
  // Everything `fd` gives until it ends (or nothing comes for a generous while).
  static std::string read_to_end(int fd) {
    std::string all;
    char buf[4096];
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 20000) > 0;) {
      ssize_t n = read(fd, buf, sizeof(buf));
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }
  std::string client_reads_to_end() { return read_to_end(client_); }
  std::string stderr_to_end() { return read_to_end(stderr_); }
  int wait_exit() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int client_ = -1;
  int stderr_ = -1;
};

// Standard output on a pipe keeps the memory map there (FrontEnd's crash test); a served
// session's socket is a network client, so the map goes to standard error, the journal.
TEST(SessionCrash, OnASocketTheMemoryMapGoesToStandardErrorNotTheClient) {
  ServerOnSocket server;
  ASSERT_GT(server.pid(), 0);
  ASSERT_TRUE(server.read_prompt());
  kill(server.pid(), SIGSEGV);
  EXPECT_EQ(server.client_reads_to_end(), "");
  const std::string map = server.stderr_to_end();
  EXPECT_EQ(server.wait_exit(), 255);
  EXPECT_NE(map.find("korvane-server"), std::string::npos) << map;
  EXPECT_LE(map.size(), 10240u);
}

}  // namespace
