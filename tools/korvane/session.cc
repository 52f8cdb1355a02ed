#include "korvane/session.h"

#include <ctime>

#include "base/wire_facts.h"
#include "korvane/human.h"
#include "korvane/outcome.h"
#include "korvane/settle.h"
#include "korvane/text_rules.h"
#include "server/dispatch.h"

namespace {
constexpr char kServerEnded[] = "korvane: the server ended the session";
constexpr char kCannotSend[] = "korvane: cannot send the request: ";
constexpr char kNoOneToAsk[] = "korvane: missing PASSWORD, and no terminal to ask for it";
constexpr char kNoOneToConfirm[] = "korvane: give --yes to do this without being asked";
constexpr char kCancelled[] = "korvane: cancelled, nothing was sent";
constexpr char kPasswordPrompt[] = "Password: ";
constexpr char kPasswordAgainPrompt[] = "Password again: ";
constexpr char kPasswordsDiffer[] = "korvane: the passwords differ, nothing was sent";
constexpr char kNewSession[] =
    "korvane: the server allows one sign-in per connection: opening a new session for this one";
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
constexpr char kConnectionLost[] =
    "korvane: the connection to the server was lost during the request";
constexpr char kDoneThenEnded[] =
    "korvane: the request was done, and then the server ended the session";
constexpr char kFindingOut[] =
    "korvane: opening a new session to find out whether the request was applied";
constexpr char kNothingToOverwrite[] = "korvane: nothing to overwrite: your address book is empty";
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

bool done(const std::optional<korvane::Outcome>& outcome) {
  return outcome && outcome->outcome() == "done";
}

}  // namespace

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

std::optional<Session::Outcome> Session::confirm_overwrite(const Command& command) {
  korvane::KorvaneInterface list;
  list.set_event_id(event::kListAddresses);
  Reply reply = exchange(list);
  if (reply.status != Reply::Status::kAnswered) {
    if (reply.status == Reply::Status::kLost) err_ << kServerEnded << std::endl;
    return Outcome::kServerGone;
  }
  if (reply.outcome && !done(reply.outcome)) {
    err_ << "korvane: " << outcome_note(command.request, "", *reply.outcome)->text << std::endl;
    return Outcome::kRefused;
  }
  std::vector<korvane::AddressBookEntry> entries = address_entries(reply.answer);
  if (entries.empty()) {
    err_ << kNothingToOverwrite << std::endl;
    return Outcome::kAnswered;  // nothing to do, and nothing sent
  }
  std::string what = command.confirm + "\nThe entries it overwrites:";
  for (const korvane::AddressBookEntry& e : entries) what += "\n  " + entry_words(e);
  switch (prompts_.confirm(what)) {
    case Confirmation::kYes:
      return std::nullopt;
    case Confirmation::kNo:
      err_ << kCancelled << std::endl;
      return Outcome::kCancelled;
    case Confirmation::kNoTerminal:
      break;
  }
  err_ << "korvane: " << command.confirm << "\n"
       << kNoOneToConfirm << "\n"
       << command.usage << std::endl;
  return Outcome::kBadCommand;
}

bool Session::sign_in_again() {
  if (!login_) return false;
  korvane::KorvaneInterface signin;
  signin.set_event_id(event::kSignIn);
  *signin.mutable_event_signin() = *login_;
  Reply reply = exchange(signin);
  signin_spent_ = true;
  return reply.status == Reply::Status::kAnswered && answered_done(reply);
}

Session::Outcome Session::settle(const Command& command) {
  std::optional<Check> check = check_of(command.request);
  if (!check) {
    err_ << kServerEnded << std::endl;
    return Outcome::kServerGone;
  }
  const std::string unknown = "korvane: " + unknown_text(*check);
  err_ << kFindingOut << std::endl;
  connection_.reset();  // ends the old session before the new one starts
  if (!start()) {
    err_ << unknown << std::endl;
    return Outcome::kServerGone;
  }
  if (!sign_in_again()) {
    err_ << unknown << std::endl;
    return Outcome::kUnknown;
  }
  Reply reply = exchange(check->query);
  if (reply.status != Reply::Status::kAnswered || !answered_done(reply)) {
    err_ << unknown << std::endl;
    return reply.status == Reply::Status::kAnswered ? Outcome::kUnknown : Outcome::kServerGone;
  }
  const Verdict found = verdict(command.request, reply.answer, *check);
  err_ << "korvane: " << found.text << std::endl;
  return found.applied ? Outcome::kAnswered : Outcome::kRefused;
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
  const int32_t event_id = command.request.event_id();
  if (command.password_missing) {
    // An empty password would be sent as one: a sign-up would open an account anyone can enter,
    // and a sign-in would spend the connection's one attempt.
    PasswordEntry entry = prompts_.password(kPasswordPrompt);
    if (entry.status == PasswordEntry::Status::kTyped && event_id == event::kSignUp) {
      if (std::optional<std::string> problem = signup_password_problem(entry.password)) {
        err_ << "korvane: " << *problem << "\n" << kCancelled << std::endl;
        return Outcome::kCancelled;
      }
      PasswordEntry again = prompts_.password(kPasswordAgainPrompt);
      if (again.status == PasswordEntry::Status::kTyped && again.password != entry.password) {
        err_ << kPasswordsDiffer << std::endl;
        return Outcome::kCancelled;
      }
      if (again.status != PasswordEntry::Status::kTyped) entry.status = again.status;
    }
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
  // The size the server reads is the envelope's with the outcome asked for.
  command.request.set_ask_outcome(true);
  std::string bytes;
  command.request.SerializeToString(&bytes);
  if (bytes.size() > wire::kMaxRequestBytes) {
    err_ << "korvane: the request takes " << bytes.size() << " bytes; the server reads at most "
         << wire::kMaxRequestBytes << "\n"
         << "usage: shorten the texts it carries" << std::endl;
    return Outcome::kBadCommand;
  }
  if (event_id == event::kSignIn && signin_spent_) {
    err_ << kNewSession << std::endl;
    connection_.reset();  // ends the old session before the new one starts
    if (!start()) return Outcome::kServerGone;
  }
  if (!command.confirm.empty()) {
    if (std::optional<Outcome> o = confirm_overwrite(command)) return *o;
  }
  Reply reply = exchange(command.request);
  if (reply.status == Reply::Status::kGone) return Outcome::kServerGone;
  out_ << (human_ ? humanize(reply.answer, command.answer_type, command.human_skips_lines)
                  : reply.answer)
       << std::flush;
  if (reply.status == Reply::Status::kLost) {
    if (done(reply.outcome)) {  // the line came: nothing is left to find out
      err_ << kDoneThenEnded << std::endl;
      return Outcome::kServerGone;
    }
    if (reply.outcome) {  // the server said why it ended the session: the database went
      err_ << "korvane: " << outcome_note(command.request, reply.answer, *reply.outcome)->text
           << std::endl;
    } else {
      err_ << kConnectionLost << std::endl;
    }
    return settle(command);
  }
  if (event_id == event::kSignIn) {
    signin_spent_ = true;
    if (answered_done(reply)) {
      login_ = command.request.event_signin();
    }
  }
  if (event_id == event::kSignOut) {
    signin_spent_ = true;  // the server drops the session's user, and takes no sign-in after
    login_.reset();
  }
  if (!reply.outcome) return Outcome::kAnswered;
  std::optional<Note> note = outcome_note(command.request, reply.answer, *reply.outcome);
  if (!note) return Outcome::kAnswered;
  err_ << "korvane: " << note->text << std::endl;
  return note->refused ? Outcome::kRefused : Outcome::kAnswered;
}
