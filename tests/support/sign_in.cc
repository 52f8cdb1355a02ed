#include "support/sign_in.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/answers.h"

std::string sign_up_and_in(ServerProcess& server, TestDb& db, const std::string& name) {
  if (db.account_id(name) == 0) {
    const std::string answer = server.send(envelopes::signup(name, "pw"));
    EXPECT_EQ(answer, answers::signup(name, db.account_id(name)));
  }
  const long id = db.account_id(name);
  EXPECT_NE(id, 0) << "no account " << name;
  EXPECT_EQ(server.send(envelopes::signin(name, "pw")), "");
  return std::to_string(id);
}

std::unique_ptr<ServerProcess> greeted_server(const std::map<std::string, std::string>& env,
                                              const std::string& server_path) {
  auto server = std::make_unique<ServerProcess>(env, std::vector<std::string>{}, server_path);
  EXPECT_EQ(server->read_until_prompt(), "");
  return server;
}

std::unique_ptr<ServerProcess> signed_in_server(TestDb& db, const std::string& name,
                                                const std::map<std::string, std::string>& env,
                                                const std::string& server_path) {
  auto server = greeted_server(env, server_path);
  sign_up_and_in(*server, db, name);
  return server;
}
