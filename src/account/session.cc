// The process-wide objects of session.h, null until start-up creates them.
#include "account/session.h"

User* user = nullptr;
MySQLClient* client = nullptr;
int32_t login_count = 0;
