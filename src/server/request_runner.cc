#include "server/request_runner.h"

#include <chrono>
#include <optional>

#include "account/session.h"
#include "base/end_process.h"
#include "base/json_print.h"
#include "base/output.h"
#include "base/wire_facts.h"
#include "db/error_classes.h"
#include "db/exactly_once.h"
#include "server/dispatch.h"

namespace {

using exactly_once::kDeadlockRetryBudgetMs;
using exactly_once::kMaxAttemptsAfterLockWaits;
using exactly_once::kMaxReconnects;
using Outcome = MySQLClient::Outcome;

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

// What follows an attempt.
enum class Next {
  kAnswer,      // it counts
  kAnswerBusy,  // undone, and it stands: refused as busy
  kRunAgain,    // undone or cut off: the request starts over
  kGiveUp,      // the session ends without a database
};

// The attempts at one request so far, and the bounds on them (db/exactly_once.h).
class Attempts {
 public:
  // Counts the attempt that ended with `attempt` and says what follows it.
  Next after(const MySQLClient::Attempt& attempt) {
    switch (attempt.outcome) {
      case Outcome::kDone:
        return Next::kAnswer;
      case Outcome::kRetry:
        ++undone_;
        if (db_errors::classify(attempt.error).waited) ++lock_waits_;
        return undone_attempt_stands(attempt.error) ? Next::kAnswerBusy : Next::kRunAgain;
      case Outcome::kLost:
      case Outcome::kRerun:
        return ++reconnects_ > kMaxReconnects ? Next::kGiveUp : Next::kRunAgain;
      case Outcome::kGone:
        break;
    }
    return Next::kGiveUp;
  }

  // Readies the connection for the next attempt after one that ended with `outcome`: pauses
  // after an undone attempt, reconnects after a lost connection. False when that failed.
  bool ready_next(Outcome outcome) const {
    if (outcome == Outcome::kRetry) client->pause_before_retry(undone_);
    if (outcome != Outcome::kLost) return true;
    // A node that answered but cannot serve accepts a new connection at once: pause before
    // asking it again, as before a retry.
    if (reconnects_ > 1) client->pause_before_retry(reconnects_);
    return client->reconnect();
  }

 private:
  // Whether an attempt undone by `error` stands as the request's answer: the count of attempts
  // that waited a whole timeout, or the time for the others, is used up.
  bool undone_attempt_stands(unsigned int error) const {
    if (db_errors::classify(error).waited) return lock_waits_ >= kMaxAttemptsAfterLockWaits;
    return Clock::now() - first_ >= std::chrono::milliseconds(kDeadlockRetryBudgetMs);
  }

  const Clock::time_point first_ = Clock::now();
  int undone_ = 0, lock_waits_ = 0, reconnects_ = 0;
};

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
  Attempts attempts;
  for (;;) {
    client->begin_attempt();
    Dispatched request = parse_handler(data, length);
    const MySQLClient::Attempt attempt = client->attempt();
    switch (attempts.after(attempt)) {
      case Next::kAnswer:
        return finish(request);
      case Next::kAnswerBusy:
        before.restore_sign_in_guard();
        // Refused as it is: the database undid every attempt.
        request.outcome = refused(Reason::kBusy);
        return finish(request);
      case Next::kGiveUp:
        give_up(output_mark, request);
      case Next::kRunAgain:
        // The one way back to the start: the attempt leaves no trace in the output or the session.
        discard_output_since(output_mark);
        before.restore();
        if (!attempts.ready_next(attempt.outcome)) give_up(output_mark, request);
        break;
    }
  }
}
