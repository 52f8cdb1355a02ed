// The client on a terminal: its prompt, password entry without echo (and Ctrl-D there, which
// cancels the command and sends nothing), and the history file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "support/envelopes.h"
#include "support/test_db.h"

namespace {

constexpr int kDeadlineMs = 60000;
constexpr char kCtrlD = '\x04';

// The client under a pseudo-terminal, started on pipes to a real server.
class Terminal {
 public:
  explicit Terminal(const std::string& histfile) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("KORVANE_HISTFILE", histfile.c_str(), 1);
      setenv("TERM", "dumb", 1);
      execl(KORVANE_CLIENT_PATH, "korvane", "--exec", KORVANE_SERVER_PATH,
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }

  void type(const std::string& keys) {
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until the screen output so far holds `marker`; returns everything read up to and
  // including it.
  std::string read_until(const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    size_t at;
    while ((at = pending_.find(marker)) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      ssize_t n = 0;
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 ||
          (n = read(master_, buf, sizeof(buf))) <= 0) {
        ADD_FAILURE() << "no '" << marker << "' on the terminal; it shows: " << pending_;
        return std::exchange(pending_, {});
      }
      pending_.append(buf, static_cast<size_t>(n));
    }
    std::string out = pending_.substr(0, at + marker.size());
    pending_.erase(0, at + marker.size());
    return out;
  }

  int wait_exit() {
    int st = 0;
    waitpid(pid_, &st, 0);
    exited_ = true;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string pending_;
};

TEST(ClientTerminal, AsksForPasswordsWithoutEchoAndKeepsThemOutOfHistory) {
  TestDb db;
  std::string histfile = testing::TempDir() + "korvane_history_" + std::to_string(getpid());
  std::string name = unique_name("tty");
  std::string other = unique_name("tty");
  {
    Terminal t(histfile);
    t.read_until("korvane> ");
    t.type("signup " + name + "\r");
    t.read_until("Password: ");
    t.type("hunter2secret\r");
    std::string answer = t.read_until("korvane> ");
    EXPECT_EQ(answer.find("hunter2secret"), std::string::npos) << answer;
    EXPECT_NE(answer.find("acc_id: " + std::to_string(db.account_id(name))), std::string::npos)
        << answer;

    t.type("signin " + name + "\r");
    t.read_until("Password: ");
    t.type("hunter2secret\r");
    t.read_until("korvane> ");
    t.type("me\r");
    EXPECT_NE(t.read_until("korvane> ").find("Username: " + name), std::string::npos);

    t.type("signup " + other + " inlinesecret\r");
    t.read_until("korvane> ");
    t.type("buy doge 1\r");
    EXPECT_NE(t.read_until("korvane> ").find("korvane: unknown symbol 'doge'"), std::string::npos);
    t.type("quit\r");
    EXPECT_EQ(t.wait_exit(), 0);
  }
  EXPECT_NE(db.account_id(other), 0);
  std::ifstream in(histfile);
  std::stringstream history;
  history << in.rdbuf();
  EXPECT_NE(history.str().find("buy\\040doge"), std::string::npos) << history.str();
  EXPECT_EQ(history.str().find("secret"), std::string::npos) << history.str();
  unlink(histfile.c_str());
}

TEST(ClientPassword, CtrlDAtThePromptCancelsAndSendsNothing) {
  TestDb db;
  std::string name = unique_name("ctrld");
  Terminal t("");  // no history file
  t.read_until("korvane> ");
  t.type("signup " + name + "\r");
  t.read_until("Password: ");
  t.type(std::string(1, kCtrlD));
  EXPECT_NE(t.read_until("korvane> ").find("korvane: cancelled, nothing was sent"),
            std::string::npos);
  EXPECT_EQ(db.account_id(name), 0);

  // The sign-in attempt of the connection is not spent by a cancelled one.
  t.type("signup " + name + " pw\r");
  t.read_until("korvane> ");
  t.type("signin " + name + "\r");
  t.read_until("Password: ");
  t.type(std::string(1, kCtrlD));
  t.read_until("korvane> ");
  t.type("signin " + name + "\r");
  t.read_until("Password: ");
  t.type("pw\r");
  t.read_until("korvane> ");
  t.type("me\r");
  EXPECT_NE(t.read_until("korvane> ").find("Username: " + name), std::string::npos);
  t.type("quit\r");
  EXPECT_EQ(t.wait_exit(), 0);
}

}  // namespace
