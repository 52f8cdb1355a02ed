#include "support/shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int run_command(const std::string& command, std::string* output) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    close_range(3, ~0U, 0);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  if (pid < 0) {
    close(out[0]);
    return -1;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) output->append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool namespaces_allowed() {
  if (geteuid() != 0) return false;
  const std::string probe = "kvprobe" + std::to_string(getpid());
  std::string output;
  return run_command("ip netns add " + probe + " && ip netns del " + probe, &output) == 0;
}
