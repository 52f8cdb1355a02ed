#include "korvane/terminal.h"

#include <editline/readline.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "korvane/commands.h"

namespace {

constexpr char kPrompt[] = "korvane> ";
constexpr char kConfirmPrompt[] = "Go on? Type yes (in any case) to go on, anything else cancels: ";
constexpr int kHistoryLines = 1000;
constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The last of kCaughtSignals that came, or 0.
volatile sig_atomic_t caught = 0;

void on_signal(int signal) { caught = signal; }

// While it lives, kCaughtSignals only set `caught` and interrupt a blocked read (no SA_RESTART),
// so that whoever reads can restore the terminal and decide what the signal means.
class CatchSignals {
 public:
  CatchSignals() {
    struct sigaction on {};
    on.sa_handler = on_signal;
    sigemptyset(&on.sa_mask);
    for (size_t i = 0; i < std::size(kCaughtSignals); ++i) {
      sigaction(kCaughtSignals[i], &on, &saved_[i]);
    }
  }
  ~CatchSignals() {
    for (size_t i = 0; i < std::size(kCaughtSignals); ++i) {
      sigaction(kCaughtSignals[i], &saved_[i], nullptr);
    }
  }
  CatchSignals(const CatchSignals&) = delete;
  CatchSignals& operator=(const CatchSignals&) = delete;

 private:
  struct sigaction saved_[std::size(kCaughtSignals)];
};

// Waits until `fd` has input; false when a caught signal came first. The signals are let in only
// while it waits, so that one cannot slip in between the check of `caught` and the wait and be
// left unseen until the next key.
bool wait_for_input(int fd) {
  sigset_t catching, before;
  sigemptyset(&catching);
  for (int s : kCaughtSignals) sigaddset(&catching, s);
  sigprocmask(SIG_BLOCK, &catching, &before);
  pollfd input{fd, POLLIN, 0};
  while (caught == 0 && ppoll(&input, 1, nullptr, &before) < 0 && errno == EINTR) {
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
  return caught == 0;
}

// libedit's key reader: a caught signal ends the line as the end of input would.
int read_key(FILE*) {
  unsigned char c;
  ssize_t n;
  do {
    if (!wait_for_input(STDIN_FILENO)) return EOF;
    n = read(STDIN_FILENO, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? c : EOF;
}

std::string history_path() {
  if (const char* file = std::getenv("KORVANE_HISTFILE")) return file;
  const char* home = std::getenv("HOME");
  return home == nullptr ? "" : std::string(home) + "/.korvane_history";
}

enum class LineStatus { kTyped, kCancelled, kNoTerminal };

// Reads one line from the terminal after `prompt`, with echo or without. Ctrl-D or Ctrl-C
// cancel. A SIGTERM or SIGHUP cancels as well and, once the terminal is restored, is raised again
// for whoever handled it before.
LineStatus read_terminal_line(const std::string& prompt, bool echo, std::string* line) {
  line->clear();
  if (!isatty(STDIN_FILENO)) return LineStatus::kNoTerminal;
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return LineStatus::kNoTerminal;
  termios normal;
  if (tcgetattr(fd, &normal) != 0) {
    close(fd);
    return LineStatus::kNoTerminal;
  }
  termios asking = normal;
  asking.c_lflag |= ICANON | ISIG;
  if (!echo) {
    asking.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    asking.c_lflag |= ECHONL;  // the Enter still moves to the next line
  }
  int signal = 0;
  LineStatus status = LineStatus::kCancelled;
  {
    CatchSignals catching;
    const int before = caught;
    caught = 0;
    // Echo goes off before the prompt shows, so nothing typed in answer to it is ever echoed;
    // and nothing typed is discarded, so a quick typist loses no keys.
    tcsetattr(fd, TCSANOW, &asking);
    ssize_t unused = write(fd, prompt.data(), prompt.size());
    // The line ends with the Enter; a read of nothing is the end of input (Ctrl-D on an empty
    // line, or twice after some keys), which cancels.
    for (char c;;) {
      if (!wait_for_input(fd)) break;
      ssize_t n = read(fd, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n != 1) break;
      if (c == '\n') {
        status = LineStatus::kTyped;
        break;
      }
      *line += c;
    }
    tcsetattr(fd, TCSANOW, &normal);
    if (status == LineStatus::kCancelled) {
      line->clear();
      unused = write(fd, "\n", 1);  // no Enter moved on to the next line
    }
    (void)unused;
    signal = caught;
    caught = before;
  }
  close(fd);
  if (signal == SIGTERM || signal == SIGHUP) raise(signal);
  return status;
}

}  // namespace

int run_interactive(Session* session) {
  // libedit's own signal handling retries a read that a signal interrupted, so a Ctrl-C or
  // SIGTERM would wait for the next key; the reader below turns a caught signal into the end of
  // the line instead. libedit takes both settings once, when it starts: before any other call.
  rl_catch_signals = 0;
  rl_getc_function = read_key;
  rl_initialize();
  std::string history = history_path();
  using_history();
  stifle_history(kHistoryLines);
  if (!history.empty()) read_history(history.c_str());
  auto save_history = [&] {
    if (!history.empty()) write_history(history.c_str());
  };
  CatchSignals catching;
  int status = 0;
  for (;;) {
    char* raw = readline(kPrompt);
    if (caught == SIGINT) {  // what was typed is dropped, as in a shell
      caught = 0;
      std::free(raw);
      std::cout << "^C" << std::endl;
      continue;
    }
    if (caught != 0) {
      std::free(raw);
      std::cout << std::endl;
      status = 128 + caught;
      break;
    }
    if (raw == nullptr) {  // end of input (Ctrl-D)
      std::cout << std::endl;
      break;
    }
    std::string line(raw);
    std::free(raw);
    if (line_may_be_kept(line)) {
      add_history(line.c_str());
      save_history();
    }
    Session::Outcome outcome = session->run(line);
    // A Ctrl-C while the request was under way did not stop it (it was sent), and is no Ctrl-C
    // at the next prompt either.
    if (caught == SIGINT) caught = 0;
    if (outcome == Session::Outcome::kQuit) break;
    if (outcome == Session::Outcome::kServerGone) {
      status = 1;
      break;
    }
  }
  save_history();
  return status;
}

Session::PasswordEntry ask_password(const std::string& prompt) {
  using Status = Session::PasswordEntry::Status;
  Session::PasswordEntry entry;
  switch (read_terminal_line(prompt, false, &entry.password)) {
    case LineStatus::kTyped:
      entry.status = Status::kTyped;
      break;
    case LineStatus::kCancelled:
      entry.status = Status::kCancelled;
      break;
    case LineStatus::kNoTerminal:
      entry.status = Status::kNoTerminal;
      break;
  }
  return entry;
}

Session::Confirmation ask_confirmation(const std::string& what) {
  std::string answer;
  switch (read_terminal_line(what + "\n" + kConfirmPrompt, true, &answer)) {
    case LineStatus::kTyped:
      for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return answer == "yes" ? Session::Confirmation::kYes : Session::Confirmation::kNo;
    case LineStatus::kCancelled:
      return Session::Confirmation::kNo;
    case LineStatus::kNoTerminal:
      break;
  }
  return Session::Confirmation::kNoTerminal;
}
