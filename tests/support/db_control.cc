#include "support/db_control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace db_control {

namespace {

void run(const char* verb) {
  std::string command = std::string(std::getenv("KORVANE_DB_CTL")) + " " + verb + " '" +
                        std::getenv("KORVANE_TEST_DB_DIR") + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace

bool available() {
  return std::getenv("KORVANE_DB_CTL") != nullptr && std::getenv("KORVANE_TEST_DB_DIR") != nullptr;
}

const char* unavailable_reason() {
  return "KORVANE_DB_CTL and KORVANE_TEST_DB_DIR are not set; run through scripts/test to let "
         "tests restart the database";
}

void stop() { run("stop"); }

void start() { run("start"); }

}  // namespace db_control
