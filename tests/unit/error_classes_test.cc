// The error table of the statement client and the one docs/reliability.md shows are the same,
// row for row, and every number has one class.
#include "db/error_classes.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

using db_errors::Action;
using db_errors::ErrorClass;

// The row the documentation shows for `error` (indented in its list).
std::string doc_row(const ErrorClass& error) {
  const char* action = error.action == Action::kRefuse      ? "refuse"
                       : error.action == Action::kReconnect ? "reconnect"
                       : error.waited                       ? "retry (counted)"
                                                            : "retry";
  const char* commit =
      error.commit == db_errors::Commit::kNotApplied ? "not applied" : "unknown: proof";
  const std::string code = error.code == 0 ? "any other" : std::to_string(error.code);
  return "| " + code + " | `" + error.name + "` | " + action + " | " + commit + " | " +
         error.reason + " |";
}

std::string read_docs() {
  std::ifstream file(std::string(KORVANE_SOURCE_DIR) + "/docs/reliability.md");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(ErrorClasses, TheDocumentationShowsEveryRow) {
  const std::string docs = read_docs();
  ASSERT_FALSE(docs.empty());
  for (const ErrorClass& error : db_errors::kErrorTable) {
    EXPECT_NE(docs.find("  " + doc_row(error) + "\n"), std::string::npos) << doc_row(error);
  }
  EXPECT_NE(docs.find("  " + doc_row(db_errors::kOtherError) + "\n"), std::string::npos)
      << doc_row(db_errors::kOtherError);
}

TEST(ErrorClasses, EachNumberHasOneRowAndUnknownNumbersAreRefused) {
  std::set<unsigned int> codes;
  for (const ErrorClass& error : db_errors::kErrorTable) {
    EXPECT_TRUE(codes.insert(error.code).second) << error.code;
    EXPECT_EQ(&db_errors::classify(error.code), &error);
    EXPECT_TRUE(!error.waited || error.action == Action::kRetry) << error.code;
  }
  EXPECT_EQ(&db_errors::classify(9999), &db_errors::kOtherError);
}

}  // namespace
