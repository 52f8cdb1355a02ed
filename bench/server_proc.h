// A korvane-server process on pipes, driven as a client drives it, and the other programs the
// benchmarks start and wait for.
//
// Reads block without a deadline of their own: a poll before each read would add a system call
// to every wake-up of the client, which is part of what the benchmarks measure. The driver
// bounds its whole run instead (see korvane_bench.cc).
#ifndef KORVANE_BENCH_SERVER_PROC_H_
#define KORVANE_BENCH_SERVER_PROC_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

class ServerProc {
 public:
  ServerProc() = default;
  // Ends the process if it still runs.
  ~ServerProc();
  ServerProc(const ServerProc&) = delete;
  ServerProc& operator=(const ServerProc&) = delete;

  // Starts the server at `path` with standard input and output on pipes; standard error is
  // inherited. False when it could not be started.
  bool start(const std::string& path);

  // Reads until the output ends with the prompt "> " and stores what came before it in *answer.
  // False when the output ended first.
  bool read_prompt(std::string* answer);

  // Writes one request in one write, then reads its answer as read_prompt() does.
  bool request(const std::string& bytes, std::string* answer);

  // For a driver that waits on many servers at once (epoll): the server's output, the request
  // written alone, and one read of the output once it is readable. read_some() returns 1 when
  // that completed an answer (stored in *answer as read_prompt() does), 0 when the answer is not
  // complete yet, -1 when the output ended.
  int output_fd() const { return from_server_; }
  bool send(const std::string& bytes);
  int read_some(std::string* answer);

  // Closes the server's input, so that it ends; finish() then only waits.
  void close_input();

  // The process's peak resident set (VmHWM of /proc/PID/status) in KiB; -1 when unreadable.
  // REQUIRES: the process runs.
  long peak_rss_kib() const;

  // Closes the server's input and waits for it to end; returns its exit status (128 + signal
  // number when killed).
  int finish();

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int to_server_ = -1;
  int from_server_ = -1;
  std::string pending_;
};

// Starts `argv` (looked up in PATH) with standard input read from `stdin_path` and standard
// output to `stdout_fd` (-1: /dev/null), and waits for it. Returns its exit status, or -1 when
// it could not be started.
int run_program(const std::vector<std::string>& argv, const std::string& stdin_path,
                int stdout_fd = -1);

// Runs `argv` and returns what it printed on standard output ("" when it failed to start). With
// `quiet`, its standard error goes to /dev/null.
std::string capture_output(const std::vector<std::string>& argv, bool quiet = false);

// VmHWM of /proc/PID/status in KiB, or -1.
long read_peak_rss_kib(pid_t pid);

// The value in KiB of the line starting with `key` (e.g. "VmRSS:", "Pss:") of /proc/PID/`file`
// (e.g. "status", "smaps_rollup"), or -1.
long read_proc_kib(pid_t pid, const std::string& file, const std::string& key);

}  // namespace bench

#endif  // KORVANE_BENCH_SERVER_PROC_H_
