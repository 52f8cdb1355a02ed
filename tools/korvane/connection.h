// The byte streams to one server session: a TCP connection, or the pipes of a korvane-server
// that the client started itself. The server reads each request with one read and prints the
// prompt "> " when it is ready for the next, so the client writes a request with one write and
// reads the answer up to the prompt before it writes again: requests are never merged or split.
#ifndef KORVANE_TOOLS_KORVANE_CONNECTION_H_
#define KORVANE_TOOLS_KORVANE_CONNECTION_H_

#include <sys/types.h>

#include <memory>
#include <string>

class Connection {
 public:
  // Connects to a server at host:port. Null, with *error set, when that fails.
  static std::unique_ptr<Connection> connect_tcp(const std::string& host, const std::string& port,
                                                 std::string* error);

  // Starts the program at `path` with its standard input and output on pipes (standard error
  // stays the client's). Null, with *error set, when it cannot be started.
  static std::unique_ptr<Connection> start_server(const std::string& path, std::string* error);

  // Ends the session: closes the streams, so a server on pipes sees the end of its input, and
  // waits for that server to exit.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Reads until the server's prompt and stores what it printed before it in *answer. False when
  // the server closed its side first; *answer then holds whatever it printed.
  bool read_answer(std::string* answer);

  // Writes one request with one write. False, with *error set, when it cannot be written whole.
  bool send_request(const std::string& bytes, std::string* error);

 private:
  Connection(int to_server, int from_server, pid_t child)
      : to_server_(to_server), from_server_(from_server), child_(child) {}

  int to_server_;
  int from_server_;  // the same descriptor as to_server_ for TCP
  pid_t child_;      // the server started on pipes, or -1
  std::string pending_;
};

#endif  // KORVANE_TOOLS_KORVANE_CONNECTION_H_
