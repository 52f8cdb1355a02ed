#include "korvane/terminal.h"

#include <editline/readline.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "korvane/commands.h"

namespace {

constexpr char kPrompt[] = "korvane> ";
constexpr char kPasswordPrompt[] = "Password: ";
constexpr int kHistoryLines = 1000;

std::string history_path() {
  if (const char* file = std::getenv("KORVANE_HISTFILE")) return file;
  const char* home = std::getenv("HOME");
  return home == nullptr ? "" : std::string(home) + "/.korvane_history";
}

}  // namespace

int run_interactive(Session* session) {
  std::string history = history_path();
  using_history();
  stifle_history(kHistoryLines);
  if (!history.empty()) read_history(history.c_str());
  int status = 0;
  for (;;) {
    char* raw = readline(kPrompt);
    if (raw == nullptr) {  // end of input (Ctrl-D)
      std::cout << std::endl;
      break;
    }
    std::string line(raw);
    std::free(raw);
    if (line.find_first_not_of(" \t") != std::string::npos && !line_carries_password(line)) {
      add_history(line.c_str());
    }
    Session::Outcome outcome = session->run(line);
    if (outcome == Session::Outcome::kQuit) break;
    if (outcome == Session::Outcome::kServerGone) {
      status = 1;
      break;
    }
  }
  if (!history.empty()) write_history(history.c_str());
  return status;
}

Session::PasswordEntry ask_password() {
  using Status = Session::PasswordEntry::Status;
  Session::PasswordEntry entry;
  if (!isatty(STDIN_FILENO)) return entry;
  int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (fd < 0) return entry;
  termios normal;
  if (tcgetattr(fd, &normal) != 0) {
    close(fd);
    return entry;
  }
  termios quiet = normal;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;  // the Enter still moves to the next line
  // Echo goes off before the prompt shows, so nothing typed in answer to it is ever echoed; and
  // nothing typed is discarded, so a quick typist loses no keys.
  tcsetattr(fd, TCSANOW, &quiet);
  ssize_t unused = write(fd, kPasswordPrompt, sizeof(kPasswordPrompt) - 1);
  (void)unused;
  // The line ends with the Enter; a read of nothing is the end of input (Ctrl-D on an empty
  // line, or twice after some keys), which cancels.
  entry.status = Status::kCancelled;
  for (char c;;) {
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n != 1) break;
    if (c == '\n') {
      entry.status = Status::kTyped;
      break;
    }
    entry.password += c;
  }
  tcsetattr(fd, TCSANOW, &normal);
  if (entry.status == Status::kCancelled) {
    entry.password.clear();
    unused = write(fd, "\n", 1);  // no Enter moved on to the next line
  }
  close(fd);
  return entry;
}
