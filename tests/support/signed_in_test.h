// A test fixture with a real server signed in to a fresh account of its own.
#ifndef KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_
#define KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_

#include <gtest/gtest.h>

#include <string>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/test_db.h"

class SignedInTest : public ::testing::Test {
 protected:
  explicit SignedInTest(std::string name_prefix) : prefix_(std::move(name_prefix)) {}

  void SetUp() override {
    ASSERT_EQ(server.read_until_prompt(), "");
    std::string name = unique_name(prefix_);
    server.send(envelopes::signup(name, "pw"));
    acc = std::to_string(db.account_id(name));
    ASSERT_NE(acc, "0");
    ASSERT_EQ(server.send(envelopes::signin(name, "pw")), "");
  }

  TestDb db;
  ServerProcess server;
  std::string acc;  // the signed-in account's id, as statements print it

 private:
  std::string prefix_;
};

#endif  // KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_
