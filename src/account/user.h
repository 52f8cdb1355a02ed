// User is the one account session of the process, reached through the process-wide `user`.
//
// Start-up creates it signed out; a successful sign-in fills all four fields; sign-out clears
// `signed_in`, after which dispatch destroys the object and leaves `user` null for the rest of
// the process. While signed in, `idx` is the account every trading and address-book statement
// is about.
//
// Every field of the session lives in UserRecord, and User adds only operations: the request
// runner saves the whole record before a request and puts it back before it runs the request
// again (server/request_runner.h), so a new field is covered without a word there.
#ifndef KORVANE_ACCOUNT_USER_H_
#define KORVANE_ACCOUNT_USER_H_

#include <cstdint>
#include <string>

#include "base/reasons.h"
#include "korvane.pb.h"

// The session's state, all of it: what a request may change and a new attempt puts back.
struct UserRecord {
  uint32_t idx = 0;
  std::string username;
  int32_t signed_in = 0;
  uint32_t amount = 0;
};

class User final : public UserRecord {
 public:
  User() = default;
  User(const User&) = delete;
  User& operator=(const User&) = delete;

  // Balance checks and moves for the signed-in account, used by order execution inside the
  // order's transaction: the checks take the balance the order read with its vault row locked,
  // and the moves give the statement that the order runs with its other writes. A negative
  // stored balance, a negative argument or a cost that does not fit 64 bits never passes a check.

  // True when `krw_balance` covers amount * price plus the 25 % fee.
  bool validate_user_krw(int64_t amount, int64_t price, int64_t krw_balance);
  // True when `coin_balance`, the balance of the coin traded, covers `amount`.
  bool validate_user_qty(int64_t amount, int64_t coin_balance);
  // The statement that adds (buy) or subtracts (sell) coins of `symbol`. The order prints it as
  // its own output once it has committed: a client never sees a statement the database undid.
  std::string update_user_vault_coin(const std::string& symbol, int64_t amount, bool buy);
  // The statement that subtracts (buy) or adds (sell) KRW, printed as the coin statement is.
  std::string update_user_vault_krw(int64_t amount, bool buy);

  // Account operations. Each returns its outcome: done, or refused and why (base/reasons.h).

  // Creates an account with a starting balance and prints its id and a SignUpResponse; done with
  // the account id. A name that is empty, longer than 32 bytes or filtered ends the session: the
  // outcome says so (end_session), and the request runner ends the process with status 255.
  Outcome handle_signup(const korvane::SignUp& request);
  // Signs the account in; prints "There is no username, password" when nothing matches.
  Outcome handle_signin(const korvane::SignIn& request);
  // Clears the signed-in flag; prints nothing.
  Outcome handle_signout();
  // Prints the account id, name and KRW balance of the signed-in account.
  Outcome handle_my_info();
};

#endif  // KORVANE_ACCOUNT_USER_H_
