#include <gtest/gtest.h>

#include "tree_test_util.h"
#include "trees/treepath.h"

namespace {

TEST(TreePath, SplitJoinAndPrefixes) {
  struct {
    const char *path, *segments, *prefixes;  // the lists joined by "|"
  } const rows[] = {
      {"7/A/B", "7|A|B", "7|7/A|7/A/B"},
      {"", "", ""},
      {"/", "|", "|/"},
      {"a//b/", "a||b|", "a|a/|a//b|a//b/"},
      {" a\\b / c", " a\\b | c", " a\\b | a\\b / c"},  // only "/" separates
  };
  for (const auto& row : rows) {
    std::vector<secwstring> segments{U("stale")};
    std::vector<secwstring> prefixes{U("stale")};
    ASSERT_EQ(SplitCompartmentPath(U(row.path), segments), S_OK);
    ASSERT_EQ(ListPathPrefixes(U(row.path), prefixes), S_OK);
    std::string split;
    std::string listed;
    for (size_t i = 0; i < segments.size(); ++i) {
      split += (i ? "|" : "") + U8(segments[i]);
      listed += (i ? "|" : "") + U8(prefixes[i]);
      // Prefix k is the join of the first k segments; the last is the path.
      secwstring sJoined;
      ASSERT_EQ(JoinCompartmentPath(segments, 0, i + 1, sJoined), S_OK);
      EXPECT_EQ(U8(sJoined), U8(prefixes[i])) << row.path;
    }
    EXPECT_EQ(split, row.segments) << row.path;
    EXPECT_EQ(listed, row.prefixes) << row.path;
    EXPECT_EQ(segments.size(), prefixes.size()) << row.path;
  }
}

TEST(TreePath, BelowMeansFollowedBySeparator) {
  struct {
    const char *key, *path;
    bool bBelow;
  } const rows[] = {
      {"7/A", "7/A", true}, {"7/A/B", "7/A", true}, {"7/AB", "7/A", false},  {"7", "7/A", false},
      {"/x", "", true},     {"x", "", false},       {"7/a/B", "7/A", false},  // case-sensitive
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsPathOrBelow(U(row.key), U(row.path)), row.bBelow) << row.key << " " << row.path;
  }
}

}  // namespace
