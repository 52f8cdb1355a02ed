#include "server/request_runner.h"

#include <chrono>
#include <optional>

#include "account/session.h"
#include "base/end_process.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/wire_facts.h"
#include "db/error_classes.h"
#include "server/dispatch.h"

namespace {

// Attempts cut off by a lost connection, in all, before the session gives up: a database that
// keeps dropping every connection is as good as gone.
constexpr int kMaxReconnects = 20;

// The restore copies the whole UserRecord; User may add operations to it, never fields.
static_assert(sizeof(User) == sizeof(UserRecord), "every field of User belongs in UserRecord");

// What a request may change in the process besides the database: the sign-in guard and the
// session record, copied whole. Sign-out, the one request that destroys the record, uses no
// database and so never runs twice.
class SessionState {
 public:
  SessionState()
      : login_count_(login_count),
        record_(user != nullptr ? std::optional<UserRecord>(*user) : std::nullopt) {}

  // A request the database undid, whose last attempt stands as a refusal, was refused by no
  // fault of the client: it spends no sign-in.
  void restore_sign_in_guard() const { login_count = login_count_; }

  void restore() const {
    restore_sign_in_guard();
    if (record_ && user != nullptr) static_cast<UserRecord&>(*user) = *record_;
  }

 private:
  int32_t login_count_;
  std::optional<UserRecord> record_;
};

using Clock = std::chrono::steady_clock;

// Whether an attempt undone by `error` stands as the request's answer: the count of attempts
// that waited a whole timeout, or the time for the others, is used up.
bool undone_attempt_stands(unsigned int error, int lock_waits, Clock::time_point first_attempt) {
  if (db_errors::classify(error).waited) return lock_waits >= kMaxAttemptsAfterLockWaits;
  return Clock::now() - first_attempt >= std::chrono::milliseconds(kDeadlockRetryBudgetMs);
}

// Prints the outcome line of a request that asked for it (KorvaneInterface.ask_outcome).
void print_outcome_line(const Dispatched& request) {
  if (!request.asked) return;
  korvane::Outcome line;
  line.set_outcome(request.outcome.done() ? "done" : "refused");
  line.set_event(request.event);
  line.set_reason(reason_row(request.outcome.reason).code);
  if (!request.outcome.detail.empty()) line.set_detail(request.outcome.detail);
  for (uint32_t id : request.outcome.ids) line.add_ids(id);
  print_json_line(line);
}

// Ends the session for a database that will not come back. Whether the request was applied
// cannot be known: its outcome line says so.
[[noreturn]] void give_up(size_t output_mark, Dispatched request) {
  discard_output_since(output_mark);
  request.outcome = refused(Reason::kNoDatabase);
  print_line(wire::kConnectionErrorLine);
  print_outcome_line(request);
  end_process(255);
}

// Ends the request: its outcome line, if asked for, after its output; then the end of the
// session, where the protocol asks for it.
void finish(const Dispatched& request) {
  print_outcome_line(request);
  if (request.outcome.end_session) end_process(255);
}

}  // namespace

void end_without_database() {
  print_line(wire::kConnectionErrorLine);
  end_process(255);
}

void run_request(const char* data, int32_t length) {
  const size_t output_mark = output_size();
  const SessionState before;
  const Clock::time_point first_attempt = Clock::now();
  int undone = 0, lock_waits = 0, reconnects = 0;
  for (;;) {
    client->begin_attempt();
    Dispatched request = parse_handler(data, length);
    const MySQLClient::Attempt attempt = client->attempt();
    const MySQLClient::Outcome outcome = attempt.outcome;
    switch (outcome) {
      case MySQLClient::Outcome::kDone:
        return finish(request);
      case MySQLClient::Outcome::kRetry: {
        ++undone;
        if (db_errors::classify(attempt.error).waited) ++lock_waits;
        if (undone_attempt_stands(attempt.error, lock_waits, first_attempt)) {
          before.restore_sign_in_guard();
          // Refused as it is: the database undid every attempt.
          request.outcome = refused(Reason::kBusy);
          return finish(request);
        }
        break;
      }
      case MySQLClient::Outcome::kLost:
      case MySQLClient::Outcome::kRerun:
        if (++reconnects > kMaxReconnects) give_up(output_mark, request);
        break;
      case MySQLClient::Outcome::kGone:
        give_up(output_mark, request);
    }
    discard_output_since(output_mark);
    before.restore();
    if (outcome == MySQLClient::Outcome::kRetry) client->pause_before_retry(undone);
    if (outcome == MySQLClient::Outcome::kLost) {
      // A node that answered but cannot serve accepts a new connection at once: pause before
      // asking it again, as before a retry.
      if (reconnects > 1) client->pause_before_retry(reconnects);
      if (!client->reconnect()) give_up(output_mark, request);
    }
  }
}
