// A real korvane-server on pipes (or a socket), for end-to-end tests.
//
// An answer ends with the prompt (support/prompt.h). Every read has a deadline: a server that
// hangs fails the test instead of hanging it.
#ifndef KORVANE_TESTS_SUPPORT_SERVER_PROCESS_H_
#define KORVANE_TESTS_SUPPORT_SERVER_PROCESS_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "korvane.pb.h"

class ServerProcess {
 public:
  // kPipes: standard input and output are pipes and standard error is the test's;
  // kPipesAndStderr: standard error too is a pipe, that the test reads with stderr_to_end().
  // kSocket: as a served session's are, standard input and output are one end of a socket pair,
  // and standard error is a pipe as with kPipesAndStderr.
  enum Stdio { kPipes, kPipesAndStderr, kSocket };

  // Starts the server with the test environment plus `env` (which may override it). A non-empty
  // `wrapper` is a command (program and arguments) that is run instead, with the server's path
  // as its last argument: a tool that runs the server, such as valgrind. A non-empty `server` is
  // the path of another build of the server to run instead of this build's (one built for
  // another database host, say).
  explicit ServerProcess(const std::map<std::string, std::string>& env = {},
                         const std::vector<std::string>& wrapper = {},
                         const std::string& server = {}, Stdio stdio = kPipes);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Reads until the output ends with the prompt; returns what came before it. On timeout or end
  // of output, records a test failure and returns what was read.
  std::string read_until_prompt();

  // Writes one request in one write and returns the answer printed before the next prompt.
  std::string send(const std::string& bytes);
  std::string send(const korvane::KorvaneInterface& envelope);

  // Writes bytes without waiting for an answer.
  void write_raw(const std::string& bytes);

  // Closes the server's standard input (end of input).
  void close_input();

  // Reads until the server closes its output; returns everything read.
  std::string read_to_end();

  // Reads the server's standard error until it closes it. REQUIRES: not kPipes
  std::string stderr_to_end();

  // Waits for the process to end; returns its exit status, or 128 + signal number.
  int wait_exit();

  pid_t pid() const { return pid_; }

  // Shrinks the pipe the server writes to, to `bytes` rounded up to whole pages, and returns its
  // new capacity (-1 with a test failure when that fails). A test that then leaves the pipe full
  // makes the server's next write block until the test reads.
  // REQUIRES: the pipe holds no more than the new capacity.
  int shrink_output_pipe(int bytes);

  // Bytes the server has written to the pipe that have not been read from it yet.
  int output_waiting() const;

  // How long read_until_prompt() and read_to_end() wait, 20 s unless set: longer for a session
  // that may wait out a database's fault (a cluster that lost its majority, say).
  void set_answer_timeout_ms(int ms) { answer_timeout_ms_ = ms; }

 private:
  // Reads what is available within the deadline into pending_; false at end of output.
  bool read_some(int timeout_ms);

  pid_t pid_ = -1;
  int to_server_ = -1;
  int from_server_ = -1;
  int stderr_ = -1;
  std::string pending_;
  bool exited_ = false;
  int status_ = 0;
  static constexpr int kAnswerTimeoutMs = 20000;
  int answer_timeout_ms_ = kAnswerTimeoutMs;
};

// True when `text` is what the server prints on a crash: the start of its memory map as
// /proc/PID/maps gives it, whole lines (the last may be cut short) of an address range,
// permissions, offset, device, inode and path, one of them the server's program.
bool is_memory_map(const std::string& text);

#endif  // KORVANE_TESTS_SUPPORT_SERVER_PROCESS_H_
