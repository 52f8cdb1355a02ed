// The balance view: what the signed-in account holds.
#ifndef KORVANE_ACCOUNT_BALANCES_H_
#define KORVANE_ACCOUNT_BALANCES_H_

#include <cstdint>

#include "account/user.h"

// A balance from its column text. Balances are INT columns that the bootstrap keeps at zero or
// above: read with a 32-bit parse, with their sign, as the order checks and the view read them.
int64_t balance_value(const char* text);

// Prints the KRW and coin balances of `account` as one BalanceResponse. Prints nothing, and
// returns -1, when the read fails or the account has no vault; else returns 0.
// REQUIRES: `account` is signed in.
int handle_view_balance(const User& account);

#endif  // KORVANE_ACCOUNT_BALANCES_H_
