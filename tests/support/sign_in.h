// Signing a real server in, on pipes or as a served session, the way most end-to-end tests start.
#ifndef KORVANE_TESTS_SUPPORT_SIGN_IN_H_
#define KORVANE_TESTS_SUPPORT_SIGN_IN_H_

#include <map>
#include <memory>
#include <string>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

// Signs `server`, which has printed its first prompt, in as `name` with password "pw", signing
// up first when there is no such account, and returns the account's id as statements print it.
// Records a test failure when an answer is not the usual one.
std::string sign_up_and_in(ServerProcess& server, TestDb& db, const std::string& name);

// A new server process (its environment with `env`; another build of the server when `server`
// is not empty) that has printed its first prompt, and nothing before it.
std::unique_ptr<ServerProcess> greeted_server(const std::map<std::string, std::string>& env = {},
                                              const std::string& server = {});

// A greeted_server() signed in as sign_up_and_in() does it.
std::unique_ptr<ServerProcess> signed_in_server(TestDb& db, const std::string& name,
                                                const std::map<std::string, std::string>& env = {},
                                                const std::string& server = {});

// Reads the greeting of `session`, a served session just connected (a NetSession or a
// WsSession), then signs it up and in as `name` with password "pw". False when an answer does
// not come.
template <typename Session>
bool sign_in_served(Session& session, const std::string& name) {
  std::string text;
  return session.read_until_prompt(&text) &&
         session.send(envelopes::bytes_of(envelopes::signup(name, "pw"))) &&
         session.read_until_prompt(&text) &&
         session.send(envelopes::bytes_of(envelopes::signin(name, "pw"))) &&
         session.read_until_prompt(&text);
}

#endif  // KORVANE_TESTS_SUPPORT_SIGN_IN_H_
