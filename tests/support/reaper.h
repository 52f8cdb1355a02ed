// Cleanup that happens even when the test process does not get to do it: a crash, an abort, or
// a kill by the test runner's timeout. For what a test starts that would otherwise outlive it (a
// database of its own, a listener with its sessions).
//
// A watcher process, outside the test's process tree and session, holds the read end of a pipe
// whose only write end is this object's. When the object goes away it says so on the pipe and
// the watcher ends quietly; when the test process ends first, the kernel closes the write end,
// the watcher reads the end of the pipe, and runs the command.
#ifndef KORVANE_TESTS_SUPPORT_REAPER_H_
#define KORVANE_TESTS_SUPPORT_REAPER_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

class Reaper {
 public:
  // `command` is a bash command, run with standard input, output and error on /dev/null.
  explicit Reaper(const std::string& command);
  // Dismisses the watcher: the command does not run. The owner cleans up the normal way.
  ~Reaper();
  Reaper(const Reaper&) = delete;
  Reaper& operator=(const Reaper&) = delete;

 private:
  int pipe_ = -1;  // the write end
};

// A process group the test started, led by `leader`. When the object goes away, however its
// owner ends (a constructor that throws half way included), the group gets SIGTERM and the leader
// is waited for; when the test process dies first, a Reaper sends the SIGTERM.
class StartedGroup {
 public:
  // REQUIRES: `leader` is a child of this process and leads its own process group.
  explicit StartedGroup(pid_t leader);
  ~StartedGroup();
  StartedGroup(const StartedGroup&) = delete;
  StartedGroup& operator=(const StartedGroup&) = delete;

  pid_t leader() const { return leader_; }

  // True once the leader has ended; it is then collected, and the rest of the group is still
  // stopped at the end.
  bool leader_ended();

  // The leader's exit status, or 128 + signal number. REQUIRES: leader_ended()
  int exit_status() const { return status_; }

 private:
  pid_t leader_;
  bool collected_ = false;
  int status_ = -1;
  Reaper reaper_;
};

// A status from waitpid() as a shell tells it: the exit status, or 128 + the signal's number.
int exit_status(int wait_status);

// Starts the program `argv[0]` with its arguments and `env` added to the environment, as the
// leader of a process group of its own: standard input from /dev/null, standard output and error
// into the files `out` and `err` (made afresh; one file when they are the same).
std::unique_ptr<StartedGroup> start_group(const std::vector<std::string>& argv,
                                          const std::map<std::string, std::string>& env,
                                          const std::string& out, const std::string& err);

// A folder of its own under /tmp, removed with the object or, should the test process die first,
// by a Reaper: for a page to serve, a certificate, a program's files.
class TempFolder {
 public:
  // The folder is named /tmp/korvane-`what`.XXXXXX; a test failure when it cannot be made.
  explicit TempFolder(const std::string& what = "tmp");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& dir() const { return dir_; }
  // Writes file `name` of the folder, and reads the whole of one ("" when there is none).
  void write(const std::string& name, const std::string& text) const;
  std::string read(const std::string& name) const;

 private:
  std::string dir_;
  std::unique_ptr<Reaper> reaper_;
};

#endif  // KORVANE_TESTS_SUPPORT_REAPER_H_
