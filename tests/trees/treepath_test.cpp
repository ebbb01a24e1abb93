#include <gtest/gtest.h>

#include "tree_test_util.h"
#include "trees/treepath.h"

namespace {

std::vector<OleString> Split(const OLECHAR* pszPath) {
  std::vector<secwstring> segments{W(OLESTR("stale"))};
  EXPECT_EQ(SplitCompartmentPath(W(pszPath), segments), S_OK);
  return Strings(segments);
}

std::vector<OleString> Prefixes(const OLECHAR* pszPath) {
  std::vector<secwstring> prefixes{W(OLESTR("stale"))};
  EXPECT_EQ(ListPathPrefixes(W(pszPath), prefixes), S_OK);
  return Strings(prefixes);
}

TEST(TreePath, SplitKeepsEverySegmentEmptyOnesIncluded) {
  EXPECT_EQ(Split(OLESTR("7/A/B")), Strings({OLESTR("7"), OLESTR("A"), OLESTR("B")}));
  EXPECT_EQ(Split(OLESTR("Cards")), Strings({OLESTR("Cards")}));
  EXPECT_EQ(Split(OLESTR("")), Strings({OLESTR("")}));
  EXPECT_EQ(Split(OLESTR("/")), Strings({OLESTR(""), OLESTR("")}));
  EXPECT_EQ(Split(OLESTR("a/")), Strings({OLESTR("a"), OLESTR("")}));
  EXPECT_EQ(Split(OLESTR("/a")), Strings({OLESTR(""), OLESTR("a")}));
  EXPECT_EQ(Split(OLESTR("a//b")), Strings({OLESTR("a"), OLESTR(""), OLESTR("b")}));
  EXPECT_EQ(Split(OLESTR("//")), Strings({OLESTR(""), OLESTR(""), OLESTR("")}));
  // Nothing but "/" separates: backslashes and spaces are segment text.
  EXPECT_EQ(Split(OLESTR(" a\\b / c")), Strings({OLESTR(" a\\b "), OLESTR(" c")}));
}

TEST(TreePath, JoinPutsOneSeparatorBetweenNeighboursAndNoneAtTheEnds) {
  std::vector<secwstring> segments;
  ASSERT_EQ(SplitCompartmentPath(W(OLESTR("3/a//b/")), segments), S_OK);
  secwstring sJoined = W(OLESTR("unchanged"));
  ASSERT_EQ(JoinCompartmentPath(segments, 0, segments.size(), sJoined), S_OK);
  EXPECT_EQ(O(sJoined), OLESTR("3/a//b/")) << "joining a whole split gives the path back";
  ASSERT_EQ(JoinCompartmentPath(segments, 1, segments.size(), sJoined), S_OK);
  EXPECT_EQ(O(sJoined), OLESTR("a//b/"));
  ASSERT_EQ(JoinCompartmentPath(segments, 1, 3, sJoined), S_OK);
  EXPECT_EQ(O(sJoined), OLESTR("a/"));
  ASSERT_EQ(JoinCompartmentPath(segments, 2, 2, sJoined), S_OK);
  EXPECT_EQ(O(sJoined), OLESTR(""));

  sJoined = W(OLESTR("unchanged"));
  EXPECT_EQ(JoinCompartmentPath(segments, 3, 2, sJoined), E_INVALIDARG);
  EXPECT_EQ(JoinCompartmentPath(segments, 0, segments.size() + 1, sJoined), E_INVALIDARG);
  EXPECT_EQ(O(sJoined), OLESTR("unchanged"));
}

TEST(TreePath, PrefixesAreTheJoinsOfTheLeadingSegmentsShortestFirst) {
  EXPECT_EQ(Prefixes(OLESTR("DS1/3/A")),
            Strings({OLESTR("DS1"), OLESTR("DS1/3"), OLESTR("DS1/3/A")}));
  EXPECT_EQ(Prefixes(OLESTR("x")), Strings({OLESTR("x")}));
  EXPECT_EQ(Prefixes(OLESTR("/")), Strings({OLESTR(""), OLESTR("/")}));
  EXPECT_EQ(Prefixes(OLESTR("a//b/")),
            Strings({OLESTR("a"), OLESTR("a/"), OLESTR("a//b"), OLESTR("a//b/")}));

  // The same as joining segments 1..k of the split, for every k.
  for (const OLECHAR* pszPath : {OLESTR("a//b/"), OLESTR("/x/"), OLESTR("1/2/3/4")}) {
    std::vector<secwstring> segments;
    ASSERT_EQ(SplitCompartmentPath(W(pszPath), segments), S_OK);
    const std::vector<OleString> prefixes = Prefixes(pszPath);
    ASSERT_EQ(prefixes.size(), segments.size());
    for (size_t k = 1; k <= segments.size(); ++k) {
      secwstring sJoined;
      ASSERT_EQ(JoinCompartmentPath(segments, 0, k, sJoined), S_OK);
      EXPECT_EQ(prefixes[k - 1], O(sJoined));
    }
  }
}

TEST(TreePath, BelowMeansFollowedBySeparatorNotMerelySharingText) {
  const secwstring s7A = W(OLESTR("7/A"));
  EXPECT_TRUE(IsPathOrBelow(W(OLESTR("7/A")), s7A));
  EXPECT_TRUE(IsPathOrBelow(W(OLESTR("7/A/B")), s7A));
  EXPECT_TRUE(IsPathOrBelow(W(OLESTR("7/A/")), s7A));
  EXPECT_FALSE(IsPathOrBelow(W(OLESTR("7/AB")), s7A));
  EXPECT_FALSE(IsPathOrBelow(W(OLESTR("7/A!")), s7A));
  EXPECT_FALSE(IsPathOrBelow(W(OLESTR("7")), s7A));
  EXPECT_FALSE(IsPathOrBelow(W(OLESTR("7/a/B")), s7A)) << "comparison is case-sensitive";
  // The empty path is the parent of everything that starts with "/".
  EXPECT_TRUE(IsPathOrBelow(W(OLESTR("/x")), W(OLESTR(""))));
  EXPECT_FALSE(IsPathOrBelow(W(OLESTR("x")), W(OLESTR(""))));
}

TEST(TreePath, HistoryKeyIsTreeIdSlashPathAndTheTreeIdForTheRoot) {
  secwstring sKey;
  ASSERT_EQ(MakeHistoryKey(W(OLESTR("DS1")), W(OLESTR("3/Cards")), sKey), S_OK);
  EXPECT_EQ(O(sKey), OLESTR("DS1/3/Cards"));
  ASSERT_EQ(MakeHistoryKey(W(OLESTR("DS1")), W(OLESTR("/")), sKey), S_OK);
  EXPECT_EQ(O(sKey), OLESTR("DS1"));
  ASSERT_EQ(MakeHistoryKey(W(OLESTR("DS1")), W(OLESTR("")), sKey), S_OK);
  EXPECT_EQ(O(sKey), OLESTR("DS1/"));
  ASSERT_EQ(MakeHistoryKey(W(OLESTR("DS1")), W(OLESTR("//")), sKey), S_OK);
  EXPECT_EQ(O(sKey), OLESTR("DS1///"));
}

}  // namespace
