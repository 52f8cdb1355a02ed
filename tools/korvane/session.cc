#include "korvane/session.h"

#include <ctime>

#include "korvane/commands.h"
#include "korvane/human.h"
#include "korvane/outcome.h"

namespace {
constexpr char kServerEnded[] = "korvane: the server ended the session";
constexpr char kCannotSend[] = "korvane: cannot send the request: ";
constexpr char kNoOneToAsk[] = "korvane: missing PASSWORD, and no terminal to ask for it";
constexpr char kCancelled[] = "korvane: cancelled, nothing was sent";
}  // namespace

Session::Session(Connection* connection, bool human, std::ostream& out, std::ostream& err,
                 PasswordPrompt ask_password)
    : connection_(connection),
      human_(human),
      out_(out),
      err_(err),
      ask_password_(std::move(ask_password)) {}

bool Session::start() {
  std::string greeting;
  bool ok = connection_->read_answer(&greeting);
  out_ << greeting << std::flush;
  if (!ok) err_ << kServerEnded << std::endl;
  return ok;
}

Session::Outcome Session::server_gone(const std::string& why) {
  err_ << why << std::endl;
  return Outcome::kServerGone;
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
    PasswordEntry entry = ask_password_();
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
  std::string bytes;
  command.request.SerializeToString(&bytes);
  if (bytes.size() > kMaxRequestBytes) {
    err_ << "korvane: the request takes " << bytes.size() << " bytes; the server reads at most "
         << kMaxRequestBytes << "\n"
         << "usage: shorten the texts it carries" << std::endl;
    return Outcome::kBadCommand;
  }
  std::string error;
  if (!connection_->send_request(bytes, &error)) return server_gone(kCannotSend + error);
  std::string answer;
  bool ok = connection_->read_answer(&answer);
  out_ << (human_ ? humanize(answer, command.answer_type) : answer) << std::flush;
  if (!ok) return server_gone(kServerEnded);
  if (std::optional<std::string> note = unanswered_note(command.request, answer)) {
    err_ << "korvane: " << *note << std::endl;
  }
  return Outcome::kAnswered;
}
