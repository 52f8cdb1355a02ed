#include "support/reaper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

constexpr char kDismissed[] = "dismissed\n";

}  // namespace

Reaper::Reaper(const std::string& command) {
  signal(SIGPIPE, SIG_IGN);  // a watcher that is gone already must not end the test
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  // Made before fork: the child of a threaded test may not allocate.
  const std::string script =
      "read -r word; [ \"$word\" = dismissed ] && exit 0; exec </dev/null; " + command;
  const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t child = fork();
  if (child == 0) {
    // A session of its own, and a grandchild that init adopts: neither the runner's kill of the
    // test's process tree or group nor a Ctrl-C at the terminal reaches the watcher.
    setsid();
    if (fork() != 0) _exit(0);
    dup2(ends[0], 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execl("/bin/bash", "bash", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ends[0]);
  if (devnull >= 0) close(devnull);
  if (child > 0) waitpid(child, nullptr, 0);
  pipe_ = ends[1];
}

Reaper::~Reaper() {
  if (pipe_ < 0) return;
  ssize_t unused = write(pipe_, kDismissed, sizeof(kDismissed) - 1);
  (void)unused;
  close(pipe_);
}

StartedGroup::StartedGroup(pid_t leader)
    : leader_(leader), reaper_("kill -TERM -- -" + std::to_string(leader)) {}

StartedGroup::~StartedGroup() {
  kill(-leader_, SIGTERM);
  if (!collected_) waitpid(leader_, nullptr, 0);
}

bool StartedGroup::leader_ended() {
  int st = 0;
  if (!collected_ && waitpid(leader_, &st, WNOHANG) == leader_) {
    collected_ = true;
    status_ = ::exit_status(st);
  }
  return collected_;
}

int exit_status(int wait_status) {
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

std::unique_ptr<StartedGroup> start_group(const std::vector<std::string>& argv,
                                          const std::map<std::string, std::string>& env,
                                          const std::string& out, const std::string& err) {
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // its children too, so that all of them can be stopped at the end
    const int devnull = open("/dev/null", O_RDONLY);
    const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = err == out ? out_fd : open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(devnull, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  if (pid < 0) {
    ADD_FAILURE() << "fork failed";
    return nullptr;
  }
  setpgid(pid, pid);
  return std::make_unique<StartedGroup>(pid);
}

TempFolder::TempFolder(const std::string& what) {
  std::string tmpl = "/tmp/korvane-" + what + ".XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  reaper_ = std::make_unique<Reaper>("rm -rf " + dir_);
}

TempFolder::~TempFolder() {
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

void TempFolder::write(const std::string& name, const std::string& text) const {
  std::ofstream(dir_ + "/" + name) << text;
}

std::string TempFolder::read(const std::string& name) const {
  std::ifstream in(dir_ + "/" + name);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
