// What a line does in a session: the steps of Session::run, from the parsed command to what
// became of it. The connection itself is session.cc; the looks at the account that some requests
// need, before or after, are session_looks.cc.
#include <ctime>

#include "base/wire_facts.h"
#include "korvane/human.h"
#include "korvane/outcome.h"
#include "korvane/session.h"
#include "korvane/text_rules.h"
#include "server/dispatch.h"

namespace {

constexpr char kNoOneToAsk[] = "korvane: missing PASSWORD, and no terminal to ask for it";
constexpr char kPasswordPrompt[] = "Password: ";
constexpr char kPasswordAgainPrompt[] = "Password again: ";
constexpr char kPasswordsDiffer[] = "korvane: the passwords differ, nothing was sent";
constexpr char kNewSession[] =
    "korvane: the server allows one sign-in per connection: opening a new session for this one";
constexpr char kConnectionLost[] =
    "korvane: the connection to the server was lost during the request";
constexpr char kDoneThenEnded[] =
    "korvane: the request was done, and then the server ended the session";

}  // namespace

Session::Outcome Session::run(const std::string& line) {
  ParseResult parsed = parse_command(line, static_cast<uint64_t>(std::time(nullptr)));
  if (!parsed.ok) {
    err_ << "korvane: " << parsed.error << "\n" << parsed.usage << std::endl;
    return Outcome::kBadCommand;
  }
  Command& command = parsed.command;
  if (command.kind != Command::Kind::kSend) return run_locally(command);
  if (std::optional<Outcome> stopped = prepare(&command)) return *stopped;
  Reply reply = exchange(command.request);
  if (reply.status == Reply::Status::kGone) return Outcome::kServerGone;
  out_ << (human_ ? humanize(reply.answer, command.answer_type, command.human_skips_lines)
                  : reply.answer)
       << std::flush;
  if (reply.status == Reply::Status::kLost) return lost_during(command, reply);
  follow_sign_in(command.request, reply);
  return told(command.request, reply);
}

Session::Outcome Session::run_locally(const Command& command) {
  switch (command.kind) {
    case Command::Kind::kHelp:
      out_ << command.help << std::flush;
      return Outcome::kAnswered;
    case Command::Kind::kQuit:
      return Outcome::kQuit;
    case Command::Kind::kNothing:
    case Command::Kind::kSend:
      break;
  }
  return Outcome::kAnswered;
}

std::optional<Session::Outcome> Session::prepare(Command* command) {
  if (command->password_missing) {
    if (std::optional<Outcome> stopped = ask_password(command)) return stopped;
  }
  // The size the server reads is the envelope's with the outcome asked for.
  command->request.set_ask_outcome(true);
  std::string bytes;
  command->request.SerializeToString(&bytes);
  if (bytes.size() > wire::kMaxRequestBytes) {
    err_ << "korvane: the request takes " << bytes.size() << " bytes; the server reads at most "
         << wire::kMaxRequestBytes << "\n"
         << "usage: shorten the texts it carries" << std::endl;
    return Outcome::kBadCommand;
  }
  if (command->request.event_id() == event::kSignIn && signin_spent_) {
    err_ << kNewSession << std::endl;
    connection_.reset();  // ends the old session before the new one starts
    if (!start()) return Outcome::kServerGone;
  }
  if (!command->confirm.empty()) return confirm_overwrite(*command);
  return std::nullopt;
}

std::optional<Session::Outcome> Session::ask_password(Command* command) {
  // An empty password would be sent as one: a sign-up would open an account anyone can enter,
  // and a sign-in would spend the connection's one attempt.
  PasswordEntry entry = prompts_.password(kPasswordPrompt);
  if (entry.status == PasswordEntry::Status::kTyped &&
      command->request.event_id() == event::kSignUp) {
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
      set_password(command, entry.password);
      return std::nullopt;
    case PasswordEntry::Status::kCancelled:
      err_ << kCancelled << std::endl;
      return Outcome::kCancelled;
    case PasswordEntry::Status::kNoTerminal:
      break;
  }
  err_ << kNoOneToAsk << "\n" << command->usage << std::endl;
  return Outcome::kBadCommand;
}

Session::Outcome Session::lost_during(const Command& command, const Reply& reply) {
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

void Session::follow_sign_in(const korvane::KorvaneInterface& request, const Reply& reply) {
  if (request.event_id() == event::kSignIn) {
    signin_spent_ = true;
    if (answered_done(reply)) {
      login_ = request.event_signin();
    }
  }
  if (request.event_id() == event::kSignOut) {
    signin_spent_ = true;  // the server drops the session's user, and takes no sign-in after
    login_.reset();
  }
}

Session::Outcome Session::told(const korvane::KorvaneInterface& request, const Reply& reply) {
  if (!reply.outcome) return Outcome::kAnswered;
  std::optional<Note> note = outcome_note(request, reply.answer, *reply.outcome);
  if (!note) return Outcome::kAnswered;
  err_ << "korvane: " << note->text << std::endl;
  return note->refused ? Outcome::kRefused : Outcome::kAnswered;
}
