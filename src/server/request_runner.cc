#include "server/request_runner.h"

#include <chrono>
#include <string>

#include "db/error_classes.h"
#include "server/dispatch.h"
#include "server/end_process.h"
#include "server/output.h"
#include "server/session.h"

namespace {

constexpr char kConnectionError[] = "[MySQL] Connection Error";

// Attempts cut off by a lost connection, in all, before the session gives up: a database that
// keeps dropping every connection is as good as gone.
constexpr int kMaxReconnects = 20;

// What a request may change in the process besides the database: the sign-in guard and the
// session record. Sign-out, the one request that destroys the record, uses no database and so
// never runs twice.
class SessionState {
 public:
  SessionState()
      : login_count_(login_count),
        has_user_(user != nullptr),
        idx_(has_user_ ? user->idx : 0),
        username_(has_user_ ? user->username : std::string()),
        signed_in_(has_user_ ? user->signed_in : 0),
        amount_(has_user_ ? user->amount : 0) {}

  // A request the database undid, whose last attempt stands as a refusal, was refused by no
  // fault of the client: it spends no sign-in.
  void restore_sign_in_guard() const { login_count = login_count_; }

  void restore() const {
    restore_sign_in_guard();
    if (!has_user_ || user == nullptr) return;
    user->idx = idx_;
    user->username = username_;
    user->signed_in = signed_in_;
    user->amount = amount_;
  }

 private:
  int32_t login_count_;
  bool has_user_;
  uint32_t idx_;
  std::string username_;
  int32_t signed_in_;
  uint32_t amount_;
};

using Clock = std::chrono::steady_clock;

// Whether an attempt undone by `error` stands as the request's answer: the count of attempts
// that waited a whole timeout, or the time for the others, is used up.
bool undone_attempt_stands(unsigned int error, int lock_waits, Clock::time_point first_attempt) {
  if (db_errors::classify(error).waited) return lock_waits >= kMaxAttemptsAfterLockWaits;
  return Clock::now() - first_attempt >= std::chrono::milliseconds(kDeadlockRetryBudgetMs);
}

[[noreturn]] void give_up(size_t output_mark) {
  discard_output_since(output_mark);
  print_line(kConnectionError);
  end_process(255);
}

}  // namespace

void run_request(const char* data, int32_t length) {
  const size_t output_mark = output_size();
  const SessionState before;
  const Clock::time_point first_attempt = Clock::now();
  int undone = 0, lock_waits = 0, reconnects = 0;
  for (;;) {
    client->begin_attempt();
    parse_handler(data, length);
    const MySQLClient::Outcome outcome = client->attempt_outcome();
    switch (outcome) {
      case MySQLClient::Outcome::kDone:
        return;
      case MySQLClient::Outcome::kRetry: {
        const unsigned int error = client->outcome_error();
        ++undone;
        if (db_errors::classify(error).waited) ++lock_waits;
        if (undone_attempt_stands(error, lock_waits, first_attempt)) {
          before.restore_sign_in_guard();
          return;  // refused as it is
        }
        break;
      }
      case MySQLClient::Outcome::kLost:
      case MySQLClient::Outcome::kRerun:
        if (++reconnects > kMaxReconnects) give_up(output_mark);
        break;
      case MySQLClient::Outcome::kGone:
        give_up(output_mark);
    }
    discard_output_since(output_mark);
    before.restore();
    if (outcome == MySQLClient::Outcome::kRetry) client->pause_before_retry(undone);
    if (outcome == MySQLClient::Outcome::kLost) {
      // A node that answered but cannot serve accepts a new connection at once: pause before
      // asking it again, as before a retry.
      if (reconnects > 1) client->pause_before_retry(reconnects);
      if (!client->reconnect()) give_up(output_mark);
    }
  }
}
