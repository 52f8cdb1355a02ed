// The password prompt on a terminal: Ctrl-D cancels the command and sends nothing.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "support/envelopes.h"
#include "support/test_db.h"

namespace {

constexpr int kDeadlineMs = 60000;
constexpr char kCtrlD = '\x04';

// The client on a pseudo-terminal, on pipes to a real server, with no history file.
class Tty {
 public:
  Tty() {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("KORVANE_HISTFILE", "", 1);
      setenv("TERM", "dumb", 1);
      execl(KORVANE_CLIENT_PATH, "korvane", "--exec", KORVANE_SERVER_PATH,
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Tty() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
  }

  void type(const std::string& keys) {
    EXPECT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Everything the terminal shows up to and including `marker`.
  std::string read_until(const std::string& marker) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    size_t at;
    while ((at = shown_.find(marker)) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      pollfd p{master_, POLLIN, 0};
      char buf[4096];
      ssize_t n = 0;
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0 ||
          (n = read(master_, buf, sizeof(buf))) <= 0) {
        ADD_FAILURE() << "no '" << marker << "' on the terminal; it shows: " << shown_;
        return std::exchange(shown_, {});
      }
      shown_.append(buf, static_cast<size_t>(n));
    }
    std::string out = shown_.substr(0, at + marker.size());
    shown_.erase(0, at + marker.size());
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
  std::string shown_;
};

TEST(ClientPassword, CtrlDAtThePromptCancelsAndSendsNothing) {
  TestDb db;
  std::string name = unique_name("ctrld");
  Tty t;
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
