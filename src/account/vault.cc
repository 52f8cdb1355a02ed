// Balance checks and moves of the signed-in account. Built with order execution.
#include "server/user.h"

bool User::validate_user_krw(int64_t, int64_t) { return false; }
bool User::validate_user_qty(std::string, int64_t) { return false; }
bool User::update_user_vault_coin(std::string, int64_t, bool) { return false; }
bool User::update_user_vault_krw(std::string, int64_t, bool) { return false; }
