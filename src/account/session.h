// The process-wide objects (defined in session.cc; start-up, server/startup.cc, creates them and
// connects the client). One thread serves one client, so none of them needs locking.
#ifndef KORVANE_ACCOUNT_SESSION_H_
#define KORVANE_ACCOUNT_SESSION_H_

#include <cstdint>

#include "account/user.h"
#include "base/reasons.h"
#include "db/error_classes.h"
#include "db/mysql_client.h"

// The client's session. Null once sign-out has torn it down; a null session counts as a
// signed-out one everywhere.
extern User* user;

// The database connection. Set by start-up before the first request and never replaced.
extern MySQLClient* client;

// Sign-in attempts so far, capped at 1: a process accepts one sign-in attempt in all.
extern int32_t login_count;

// True when a session exists and is signed in.
inline bool session_signed_in() { return user != nullptr && user->signed_in != 0; }

// The refusal of a request whose statement failed, for the reason its error gives. (Should the
// attempt be undone instead, the request runner decides what the request's outcome is.)
inline Outcome refused_by_database() { return refused(db_errors::reason_of(client->last_error())); }

#endif  // KORVANE_ACCOUNT_SESSION_H_
