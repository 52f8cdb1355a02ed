// The balance view: what the signed-in account holds.
#ifndef KORVANE_ACCOUNT_BALANCES_H_
#define KORVANE_ACCOUNT_BALANCES_H_

#include "account/user.h"

// Prints the KRW and coin balances of `account` as one BalanceResponse. Prints nothing, and
// returns -1, when the read fails or the account has no vault; else returns 0.
// REQUIRES: `account` is signed in.
int handle_view_balance(const User& account);

#endif  // KORVANE_ACCOUNT_BALANCES_H_
