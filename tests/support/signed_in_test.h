// A test fixture with a real server signed in to a fresh account of its own.
#ifndef KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_
#define KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_

#include <gtest/gtest.h>

#include <string>

#include "support/envelopes.h"
#include "support/server_process.h"
#include "support/sign_in.h"
#include "support/test_db.h"

class SignedInTest : public ::testing::Test {
 protected:
  explicit SignedInTest(std::string name_prefix) : name(unique_name(name_prefix)) {}

  void SetUp() override {
    ASSERT_EQ(server.read_until_prompt(), "");
    acc = sign_up_and_in(server, db, name);
    ASSERT_NE(acc, "0");
  }

  TestDb db;
  ServerProcess server;
  const std::string name;  // the signed-in account's user name
  std::string acc;         // its id, as statements print it
};

#endif  // KORVANE_TESTS_SUPPORT_SIGNED_IN_TEST_H_
