// Result sets held in memory read the way the client library's own do.
#include "db/result_set.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz/stored_rows.h"

namespace {

ResultSet two_rows() {
  std::vector<StoredRows::Row> rows = {{"7", std::nullopt, std::string("a\0b", 3)}, {"", "x", "y"}};
  return ResultSet(std::make_unique<StoredRows>(3, std::move(rows)));
}

TEST(StoredRows, ServeTextsNullsAndLengthsRowByRow) {
  ResultSet result = two_rows();
  ASSERT_TRUE(result);
  EXPECT_EQ(result.num_fields(), 3u);
  MYSQL_ROW row = result.first_row();
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row[0], "7");
  EXPECT_EQ(row[1], nullptr);
  EXPECT_EQ(std::memcmp(row[2], "a\0b", 4), 0);  // NUL-terminated like the library's texts
  EXPECT_EQ(result.fetch_lengths()[2], 3u);
  row = result.fetch_row();
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row[0], "");
  EXPECT_EQ(result.fetch_lengths()[1], 1u);
  EXPECT_EQ(result.fetch_row(), nullptr);
}

TEST(StoredRows, EmptyResultHasNoRowAndMovesLikeAnyResultSet) {
  ResultSet none(std::make_unique<StoredRows>(1, std::vector<StoredRows::Row>{}));
  EXPECT_TRUE(none);
  EXPECT_EQ(none.first_row(), nullptr);

  ResultSet moved = two_rows();
  ResultSet target;
  target = std::move(moved);
  EXPECT_TRUE(target);
  EXPECT_STREQ(target.first_row()[0], "7");
  EXPECT_FALSE(ResultSet().first_row());
}

}  // namespace
