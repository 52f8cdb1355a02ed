// The looks a session takes at the account beside a request. Before an overwrite of every
// address-book entry: the entries it would change, shown and confirmed. After a request whose
// connection was lost: a new session, a sign-in with the name and password this session was
// given, and the look that settle.h names for the request (its history, or the address list)
// say whether it was applied. Nothing is sent again.
#include "korvane/human.h"
#include "korvane/outcome.h"
#include "korvane/session.h"
#include "korvane/settle.h"
#include "server/dispatch.h"

namespace {

constexpr char kNoOneToConfirm[] = "korvane: give --yes to do this without being asked";
constexpr char kNothingToOverwrite[] = "korvane: nothing to overwrite: your address book is empty";
constexpr char kFindingOut[] =
    "korvane: opening a new session to find out whether the request was applied";

}  // namespace

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
