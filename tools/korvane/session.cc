#include "korvane/session.h"

#include <ctime>

#include "korvane/commands.h"
#include "korvane/human.h"
#include "server/dispatch.h"

namespace {
constexpr char kServerEnded[] = "korvane: the server ended the session";
constexpr char kCannotSend[] = "korvane: cannot send the request: ";
constexpr char kNoOneToAsk[] = "korvane: missing PASSWORD, and no terminal to ask for it";
constexpr char kNoOneToConfirm[] = "korvane: give --yes to do this without being asked";
constexpr char kCancelled[] = "korvane: cancelled, nothing was sent";
constexpr char kNewSession[] =
    "korvane: the server allows one sign-in per connection: opening a new session for this one";
constexpr char kMayExpectTls[] =
    "korvane: the server closed the connection without a word: if it serves TLS, connect with "
    "--tls";
constexpr char kSlowGreeting[] =
    "korvane: still waiting for the server's first prompt: it may be serving its most sessions "
    "at once (a new one waits for one to end)";
constexpr char kSlowTlsHint[] = ", or expect TLS (--tls)";
constexpr char kEndedWhileIdle[] =
    "korvane: the server had ended the session before this command, which was not sent: a "
    "session left idle at the prompt ends (after an hour, unless the server was built with "
    "another KORVANE_IDLE_SECONDS), as does one whose server is stopped";
// The line the serving side (scripts/lib/session) writes when it closes a connection before a
// server starts, and so before any prompt: "closed: REASON".
constexpr char kClosingLine[] = "closed: ";
// How long a person waits for the first prompt before being told what may hold it up.
constexpr int kSlowGreetingMs = 3000;

// The reason of a closing line that ends `said`, or nothing.
std::optional<std::string> closing_reason(const std::string& said) {
  const size_t start = said.rfind('\n', said.size() < 2 ? 0 : said.size() - 2);
  const size_t line = start == std::string::npos ? 0 : start + 1;
  if (said.compare(line, sizeof(kClosingLine) - 1, kClosingLine) != 0) return std::nullopt;
  std::string reason = said.substr(line + sizeof(kClosingLine) - 1);
  if (!reason.empty() && reason.back() == '\n') reason.pop_back();
  return reason;
}
}  // namespace

Session::Session(Connect connect, bool human, bool tell_waits, std::ostream& out, std::ostream& err,
                 Prompts prompts)
    : connect_(std::move(connect)),
      human_(human),
      tell_waits_(tell_waits),
      out_(out),
      err_(err),
      prompts_(std::move(prompts)) {}

bool Session::start() {
  facts_ = SessionFacts();
  signin_spent_ = false;
  std::string error;
  connection_ = connect_(&error);
  if (connection_ == nullptr) {
    err_ << "korvane: " << error << std::endl;
    return false;
  }
  const Connection::Kind kind = connection_->kind();
  if (tell_waits_ && kind != Connection::Kind::kPipes &&
      !connection_->wait_readable(kSlowGreetingMs)) {
    err_ << kSlowGreeting << (kind == Connection::Kind::kTcp ? kSlowTlsHint : "") << std::endl;
  }
  std::string greeting;
  if (connection_->read_answer(&greeting)) {
    out_ << greeting << std::flush;
    return true;
  }
  if (std::optional<std::string> reason = closing_reason(greeting)) {
    err_ << "korvane: the server closed the connection: " << *reason << std::endl;
  } else {
    out_ << greeting << std::flush;
    err_ << (greeting.empty() && kind == Connection::Kind::kTcp ? kMayExpectTls : kServerEnded)
         << std::endl;
  }
  return false;
}

Session::Outcome Session::server_gone(const std::string& why) {
  err_ << why << std::endl;
  return Outcome::kServerGone;
}

Session::Outcome Session::exchange(const korvane::KorvaneInterface& request, std::string* answer) {
  // Between requests the server says nothing unless it has ended the session.
  if (connection_->wait_readable(0)) {
    std::string said;
    connection_->read_answer(&said);
    std::optional<std::string> reason = closing_reason(said);
    return server_gone(reason ? "korvane: the server closed the connection: " + *reason
                              : kEndedWhileIdle);
  }
  std::string bytes, error;
  request.SerializeToString(&bytes);
  if (!connection_->send_request(bytes, &error)) return server_gone(kCannotSend + error);
  if (!connection_->read_answer(answer)) {
    out_ << *answer << std::flush;
    return server_gone(kServerEnded);
  }
  return Outcome::kAnswered;
}

std::optional<uint64_t> Session::coins_held(int symbol) {
  korvane::KorvaneInterface balance;
  balance.set_event_id(event::kViewBalance);
  std::string answer;
  if (exchange(balance, &answer) != Outcome::kAnswered) return std::nullopt;
  return coins_in_balances(answer, symbol);
}

Session::Outcome Session::run(const std::string& line) {
  ParseResult parsed = parse_command(line, static_cast<uint64_t>(std::time(nullptr)));
  if (!parsed.ok) {
    err_ << "korvane: " << parsed.error << "\n" << parsed.usage << std::endl;
    return Outcome::kBadCommand;
  }
  Command& command = parsed.command;
  switch (command.kind) {
    case Command::Kind::kNothing:
      return Outcome::kAnswered;
    case Command::Kind::kHelp:
      out_ << command.help << std::flush;
      return Outcome::kAnswered;
    case Command::Kind::kQuit:
      return Outcome::kQuit;
    case Command::Kind::kSend:
      break;
  }
  if (command.password_missing) {
    // An empty password would be sent as one: a sign-up would open an account anyone can enter,
    // and a sign-in would spend the connection's one attempt.
    PasswordEntry entry = prompts_.password();
    switch (entry.status) {
      case PasswordEntry::Status::kTyped:
        set_password(&command, entry.password);
        break;
      case PasswordEntry::Status::kCancelled:
        err_ << kCancelled << std::endl;
        return Outcome::kCancelled;
      case PasswordEntry::Status::kNoTerminal:
        err_ << kNoOneToAsk << "\n" << command.usage << std::endl;
        return Outcome::kBadCommand;
    }
  }
  if (!command.confirm.empty()) {
    switch (prompts_.confirm(command.confirm)) {
      case Confirmation::kYes:
        break;
      case Confirmation::kNo:
        err_ << kCancelled << std::endl;
        return Outcome::kCancelled;
      case Confirmation::kNoTerminal:
        err_ << "korvane: " << command.confirm << "\n"
             << kNoOneToConfirm << "\n"
             << command.usage << std::endl;
        return Outcome::kBadCommand;
    }
  }
  std::string bytes;
  command.request.SerializeToString(&bytes);
  if (bytes.size() > kMaxRequestBytes) {
    err_ << "korvane: the request takes " << bytes.size() << " bytes; the server reads at most "
         << kMaxRequestBytes << "\n"
         << "usage: shorten the texts it carries" << std::endl;
    return Outcome::kBadCommand;
  }
  const int32_t event_id = command.request.event_id();
  if (event_id == event::kSignIn && signin_spent_) {
    err_ << kNewSession << std::endl;
    connection_.reset();  // ends the old session before the new one starts
    if (!start()) return Outcome::kServerGone;
  }
  std::string answer;
  if (Outcome o = exchange(command.request, &answer); o != Outcome::kAnswered) return o;
  out_ << (human_ ? humanize(answer, command.answer_type) : answer) << std::flush;
  if (event_id == event::kSignIn) {
    signin_spent_ = true;
    facts_.signed_in = signin_succeeded(answer);
  }
  if (event_id == event::kSignOut) {
    signin_spent_ = true;  // the server drops the session's user, and takes no sign-in after
    facts_.signed_in = false;
  }
  facts_.coins_held.reset();
  if (facts_.signed_in && needs_holdings(command.request, answer)) {
    facts_.coins_held = coins_held(command.request.event_sell().symbol());
  }
  std::optional<Note> note = outcome_note(command.request, answer, facts_);
  if (!note) return Outcome::kAnswered;
  err_ << "korvane: " << note->text << std::endl;
  return note->refused ? Outcome::kRefused : Outcome::kAnswered;
}
