// A session's connection: opening it, waiting for the server's first prompt, and one request's
// exchange, with what the client says when the server is slow or has gone. What a line does with
// the connection is session_run.cc.
#include "korvane/session.h"

#include "base/wire_facts.h"
#include "korvane/outcome.h"

namespace {
constexpr char kCannotSend[] = "korvane: cannot send the request: ";
constexpr char kMayExpectTls[] =
    "korvane: the server closed the connection without a word: if it serves TLS, connect with "
    "--tls";
constexpr char kNoDatabase[] =
    "korvane: the server turned the session away: the exchange's database is unreachable; try "
    "again later";
constexpr char kSlowGreeting[] =
    "korvane: still waiting for the server's first prompt: it may be serving its most sessions "
    "at once (a new one waits for one to end)";
constexpr char kSlowTlsHint[] = ", or expect TLS (--tls)";
constexpr char kWaitingForDatabase[] =
    "korvane: still waiting for the answer: the server is waiting for the exchange's database "
    "(a lock held by another request, or a connection being made again)";
constexpr char kEndedWhileIdle[] =
    "korvane: the server had ended the session before this command, which was not sent: a "
    "session left idle at the prompt ends (after an hour, unless the server was built with "
    "another KORVANE_IDLE_SECONDS), as does one whose server is stopped";

// The reason of a closing line that ends `said`, or nothing.
std::optional<std::string> closing_reason(const std::string& said) {
  const size_t start = said.rfind('\n', said.size() < 2 ? 0 : said.size() - 2);
  const size_t line = start == std::string::npos ? 0 : start + 1;
  if (said.compare(line, sizeof(wire::kClosingLine) - 1, wire::kClosingLine) != 0)
    return std::nullopt;
  std::string reason = said.substr(line + sizeof(wire::kClosingLine) - 1);
  if (!reason.empty() && reason.back() == '\n') reason.pop_back();
  return reason;
}

bool has_line(const std::string& text, const std::string& line) {
  size_t at = 0;
  while ((at = text.find(line, at)) != std::string::npos) {
    const bool starts = at == 0 || text[at - 1] == '\n';
    const size_t end = at + line.size();
    if (starts && (end == text.size() || text[end] == '\n')) return true;
    at = end;
  }
  return false;
}

}  // namespace

bool Session::done(const std::optional<korvane::Outcome>& outcome) {
  return outcome && outcome->outcome() == "done";
}

bool Session::answered_done(const Reply& reply) {
  if (reply.outcome) return done(reply.outcome);
  // A server without the outcome line: a sign-in that succeeded prints nothing, and the views
  // print nothing but their documents.
  return reply.answer.empty() || reply.answer.compare(0, 2, "{\n") == 0;
}

Session::Session(Connect connect, bool human, bool tell_waits, std::ostream& out, std::ostream& err,
                 Prompts prompts)
    : connect_(std::move(connect)),
      human_(human),
      tell_waits_(tell_waits),
      out_(out),
      err_(err),
      prompts_(std::move(prompts)) {}

bool Session::start() {
  signin_spent_ = false;
  std::string error;
  connection_ = connect_(&error);
  if (connection_ == nullptr) {
    err_ << "korvane: " << error << std::endl;
    return false;
  }
  const Connection::Kind kind = connection_->kind();
  if (tell_waits_ && kind != Connection::Kind::kPipes &&
      !connection_->wait_readable(wire::kSlowGreetingMs)) {
    err_ << kSlowGreeting << (kind == Connection::Kind::kTcp ? kSlowTlsHint : "") << std::endl;
  }
  std::string greeting;
  if (connection_->read_answer(&greeting)) {
    out_ << greeting << std::flush;
    return true;
  }
  if (std::optional<std::string> reason = closing_reason(greeting)) {
    err_ << "korvane: the server closed the connection: " << *reason << std::endl;
  } else if (has_line(greeting, wire::kConnectionErrorLine)) {
    out_ << greeting << std::flush;
    err_ << kNoDatabase << std::endl;
  } else {
    out_ << greeting << std::flush;
    err_ << (greeting.empty() && kind == Connection::Kind::kTcp ? kMayExpectTls : kServerEnded)
         << std::endl;
  }
  return false;
}

Session::Reply Session::exchange(const korvane::KorvaneInterface& request) {
  Reply reply;
  // Between requests the server says nothing unless it has ended the session.
  if (connection_->wait_readable(0)) {
    std::string said;
    connection_->read_answer(&said);
    std::optional<std::string> reason = closing_reason(said);
    err_ << (reason ? "korvane: the server closed the connection: " + *reason : kEndedWhileIdle)
         << std::endl;
    return reply;
  }
  korvane::KorvaneInterface asking = request;
  asking.set_ask_outcome(true);
  std::string bytes, error;
  asking.SerializeToString(&bytes);
  if (!connection_->send_request(bytes, &error)) {
    err_ << kCannotSend << error << std::endl;
    return reply;
  }
  if (tell_waits_ && !connection_->wait_readable(wire::kSlowAnswerMs)) {
    err_ << kWaitingForDatabase << std::endl;
  }
  const bool whole = connection_->read_answer(&reply.answer);
  reply.outcome = take_outcome_line(&reply.answer);
  reply.status = whole ? Reply::Status::kAnswered : Reply::Status::kLost;
  return reply;
}
