// The reason table of the outcome line and the one docs/protocol.md shows are the same, row for
// row, and every reason has one row and one code.
#include "base/reasons.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string read_docs() {
  std::ifstream file(std::string(KORVANE_SOURCE_DIR) + "/docs/protocol.md");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST(Reasons, TheDocumentationShowsEveryRowAndEachReasonHasOne) {
  const std::string docs = read_docs();
  ASSERT_FALSE(docs.empty());
  std::set<std::string> codes;
  std::set<Reason> reasons;
  for (const ReasonRow& row : kReasonTable) {
    const std::string line = std::string("| `") + row.code + "` | " + row.meaning + " |\n";
    EXPECT_NE(docs.find(line), std::string::npos) << line;
    EXPECT_TRUE(codes.insert(row.code).second) << row.code;
    EXPECT_TRUE(reasons.insert(row.reason).second) << row.code;
    EXPECT_EQ(&reason_row(row.reason), &row);
  }
  // Every enumerator up to the last has its row.
  EXPECT_EQ(reasons.size(), static_cast<size_t>(Reason::kMalformed) + 1);
}

}  // namespace
