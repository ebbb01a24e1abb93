#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"
#include "trees/node.h"

namespace {

TEST(MemoryTree, ListingsInKeyOrder) {
  struct {
    const char* tree;
    char op;  // C: ListCompartmentIds, D: ListDataIds
    const char* path;
    HRESULT hr;
    const char* expected;  // "untouched": the output comes back as it was
  } const rows[] = {
      {"7/A/B{x=01}", 'C', "7/A/B", S_OK, "untouched"},  // a leaf has no child list
      {"7/A/B{x=01}", 'D', "7/A", S_OK, ""},  // an ancestor holds nothing of its descendants
      {"7/A/B{x=01}", 'D', "7/A/B", S_OK, "x"},
      {"1{b=01,B=01,a=01,=01} 1", 'D', "1", S_OK, "|B|a|b"},  // made again, kept
      {"1", 'D', "2", E_FAIL, "untouched"},
      {"7/A!{x=01} 7/AB{x=01}", 'D', "7/A", E_FAIL, "untouched"},  // sharing text is not below
      {"7/A/B 7/C 70/D 7/ 3", 'C', "/", S_OK, "3|7|70"},
      {"7/A/B 7/C 70/D 7/ 3", 'C', "7", S_OK, "|A|C"},
      {"7/A/B 7/C 70 -7/A -70", 'C', "7", S_OK, "C"},  // removals leave the child lists
      {"7/A/B 7/C 70 -7/A -70", 'C', "/", S_OK, "7"},
      // Children sort as their full paths do, around siblings sharing text.
      {"7/A/y/z 7/A!/x 7/A0 7/AB 7/A.", 'C', "7", S_OK, "A|A!|A.|A0|AB"},
      {"7/A/y/z 7/A!/x 7/A0 7/AB 7/A.", 'C', "7/A", S_OK, "y"},
      // "/" lists the top level, never the compartment named "/".
      {"/{x=01} a//b{y=02}", 'C', "/", S_OK, "|a"},
      {"/{x=01} a//b{y=02}", 'C', "a/", S_OK, "b"},
      {"/{x=01} a//b{y=02}", 'C', "", S_OK, ""},
  };
  CHistoryUse history;
  for (const auto& row : rows) {
    CMemoryTree tree(U("DS1"));
    Build(tree, row.tree);
    CScopedSafeArray sentinel = MakeBytes({0xEE});
    SAFEARRAY* psa = sentinel.Get();
    EXPECT_EQ(row.op == 'C' ? tree.ListCompartmentIds(U(row.path), &psa, 0)
                            : tree.ListDataIds(U(row.path), &psa, 0),
              row.hr)
        << row.tree << " " << row.op << " " << row.path;
    CScopedSafeArray owned(psa == sentinel.Get() ? nullptr : psa);
    EXPECT_EQ(owned.Get() ? Joined(psa, "|") : "untouched", row.expected)
        << row.tree << " " << row.op << " " << row.path;
  }
}

TEST(MemoryTree, CompartmentsComeWithTheirAncestorsAndGoWithTheirDescendants) {
  struct {
    const char *tree, *removed;
    HRESULT hr;
    const char *after, *counted;  // the removal advances its descendants only
  } const rows[] = {
      {"7/A/B{x=07} 7/A/B/C 7/AB{x=07} 7/A!{x=07} 7/A0", "7/A", S_OK,
       "7 7/A!{x=07} 7/A0 7/AB{x=07}", "DS1/7/A/B=1,1 DS1/7/A/B/C=1,1"},
      {"", "7", E_INVALIDARG, "", ""},
      {"7/A", "8", S_OK, "7 7/A", ""},
      {"'' /x a", "", S_OK, "a", "DS1//x=1,1"},
  };
  CHistoryUse history;
  for (const auto& row : rows) {
    gHistoryTree->FlushTree(0);
    CMemoryTree tree(U("DS1"));
    Build(tree, row.tree);
    EXPECT_EQ(tree.RemoveCompartment(U(row.removed), FALSE, 0), row.hr) << row.removed;
    EXPECT_EQ(Dump(tree), row.after) << row.removed;
    EXPECT_EQ(Counted(), row.counted) << row.removed;
  }
}

TEST(MemoryTree, TheHistoryTreeAdvancesNothingWhenItRemoves) {
  CHistoryUse history;
  ASSERT_EQ(UpdateHistoryTree(U("DS1/7/A"), -1), S_OK);
  EXPECT_EQ(gHistoryTree->RemoveCompartment(U("DS1/7"), TRUE, 0), S_OK);
  EXPECT_EQ(Counted(), "DS1=1,1") << "DS1/7/A neither kept nor advanced";
}

TEST(MemoryTree, ItemsAreCopiesReplacedAndRemovedWhileTheCompartmentStays) {
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "1/C{x=01,n=null} 1/C{x=0203}");
  EXPECT_EQ(Dump(tree), "1 1/C{n=null,x=0203}");
  BOOL bCached = FALSE;
  EXPECT_EQ(tree.IsDataCached(U("1/C"), U("n"), &bCached, 0), S_OK);
  EXPECT_TRUE(bCached) << "a null value is an item";

  CScopedSafeArray value = MakeBytes({1, 2, 3});
  ASSERT_EQ(tree.SetData(U("1/C"), U("x"), value.Get(), 0, TRUE), S_OK);
  static_cast<BYTE*>(value.Get()->pvData)[0] = 99;
  CScopedSafeArray first;
  ASSERT_EQ(tree.GetData(U("1/C"), U("x"), first.Receive(), 0), S_OK);
  static_cast<BYTE*>(first.Get()->pvData)[1] = 99;
  EXPECT_EQ(Dump(tree), "1 1/C{n=null,x=010203}") << "neither the input nor an output is kept";

  EXPECT_EQ(tree.RemoveData(U("1/C"), U("x"), 0), S_OK);
  EXPECT_EQ(tree.RemoveData(U("1/C"), U("x"), 0), E_INVALIDARG);
  EXPECT_EQ(tree.RemoveData(U("1/D"), U("x"), 0), E_INVALIDARG);
  EXPECT_EQ(tree.RemoveData(U("1/C"), U("n"), 0), S_OK);
  EXPECT_EQ(tree.IsDataCached(U("1/C"), U("n"), &bCached, 0), S_OK);
  EXPECT_FALSE(bCached);
  SAFEARRAY* psa = nullptr;
  EXPECT_EQ(tree.GetData(U("1"), U("x"), &psa, 0), E_INVALIDARG);
  EXPECT_EQ(Dump(tree), "1 1/C");
}

TEST(MemoryTree, IsCompartmentCachedReadsTheHistoryKeyOfThePath) {
  struct {
    bool bHistoryTree;
    const char* path;
    BOOL bCached;
    const char* versions;
  } const rows[] = {
      {false, "3/C", TRUE, "1,2"},    {false, "/", FALSE, "2,4"}, {false, "3/D", FALSE, "0,0"},
      {false, "3/X", FALSE, "1,2"},  // removed, and its counters are still there
      {true, "DS1/3/C", TRUE, "1,2"}, {true, "/", FALSE, "0,0"},  // no "History" prefix
  };
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "3/C 3/X");
  for (const char* pszKey : {"DS1/3/C", "DS1/3/X"}) {
    ASSERT_EQ(UpdateHistoryTree(U(pszKey), -1), S_OK);
    ASSERT_EQ(UpdateHistoryTree(U(pszKey), 1), S_OK);
  }
  ASSERT_EQ(tree.RemoveCompartment(U("3/X"), TRUE, 0), S_OK);
  for (const auto& row : rows) {
    CAbstractTree& asked = row.bHistoryTree ? static_cast<CAbstractTree&>(*gHistoryTree) : tree;
    ULONG ulCompartment = 7;
    ULONG ulContent = 7;
    BOOL bCached = 7;
    // The history tree's own question re-enters its lock through GetVersion.
    const HRESULT hr =
        asked.IsCompartmentCached(U(row.path), &ulCompartment, &ulContent, &bCached, 0);
    EXPECT_EQ(VersionText(hr, ulCompartment, ulContent), row.versions) << row.path;
    EXPECT_EQ(bCached, row.bCached) << row.path;
  }
}

TEST(MemoryTree, QuickAnswersStepAsideWhileTheTraceIsLogged) {
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "3/C");
  ASSERT_EQ(UpdateHistoryTree(U("DS1/3/C"), -1), S_OK);
  // Whether an answer took the full path (which copies or lists), and
  // whether a line of that path was logged; the answer is the same.
  const auto full = [&](uint32_t mask, bool bFind) {
    CFailingReleases releases({});
    CRecordingLogSink sink(mask);
    ULONG ul = 0;
    BOOL b = FALSE;
    secwstring sFound;
    bool bFound = false;
    EXPECT_EQ(bFind ? tree.FindCompartmentId(U("3"), U("C"), sFound, bFound)
                    : tree.IsCompartmentCached(U("3/C"), &ul, &ul, &b, 0),
              S_OK);
    EXPECT_TRUE(bFind ? bFound : b && ul == 1) << mask;
    return std::pair(
        releases.Calls() > 0,
        bFind ? sink.Contains(LOG_DETAIL, OLESTR("CAbstractTree::FindCompartmentId "
                                                 "sCompartmentId = 3/C"))
              : sink.Contains(LOG_NOTABLE, OLESTR("GetVersion sCompartmentIdGlobal = DS1/3/C")));
  };
  for (const bool bFind : {false, true}) {
    EXPECT_EQ(full(kLogAllLevels, bFind), std::pair(true, true)) << bFind;
    for (const LONG lLevel : {LOG_DETAIL, LOG_FAILURE, LOG_NOTABLE, LOG_ENTRY, LOG_EXIT}) {
      EXPECT_EQ(full(1u << lLevel, bFind).first, lLevel != LOG_FAILURE) << bFind << lLevel;
    }
  }
  // The empty path cannot be read from the listing: a tree holding it is
  // searched through the listing, so that the failure is logged.
  Build(tree, "''");
  EXPECT_TRUE(full(1u << LOG_FAILURE, true).first);
}

TEST(MemoryTree, NullOutputsAreRefusedAndNothingIsWritten) {
  const secwstring k1 = U("1");
  const secwstring kx = U("x");
  ULONG ul = 5;
  BOOL b = 5;
  const std::function<HRESULT(CMemoryTree&)> calls[] = {
      [&](CMemoryTree& t) { return t.IsDataCached(k1, kx, nullptr, 0); },
      [&](CMemoryTree& t) { return t.ListDataIds(k1, nullptr, 0); },
      [&](CMemoryTree& t) { return t.ListCompartmentIds(k1, nullptr, 0); },
      [&](CMemoryTree& t) { return t.ListAllCompartmentIds(nullptr); },
      // Every output of IsCompartmentCached is checked before any is written.
      [&](CMemoryTree& t) { return t.IsCompartmentCached(k1, nullptr, nullptr, nullptr, 0); },
      [&](CMemoryTree& t) { return t.IsCompartmentCached(k1, nullptr, nullptr, &b, 0); },
      [&](CMemoryTree& t) { return t.IsCompartmentCached(k1, &ul, nullptr, &b, 0); },
  };
  CHistoryUse history;
  for (size_t i = 0; i < std::size(calls); ++i) {
    CMemoryTree tree(U("DS1"));
    EXPECT_EQ(calls[i](tree), E_FAIL) << i;
  }
  EXPECT_EQ(ul + static_cast<ULONG>(b), 10u) << "no output written";
}

TEST(Node, AFailedReleaseIsReportedAndTheItemStillGoes) {
  CScopedSafeArray value = MakeBytes({1});
  CRecordingLogSink sink;
  auto pNode = std::make_unique<CNode>();
  ASSERT_EQ(pNode->AddDataItem(U("x"), value.Get()), S_OK);
  ASSERT_EQ(pNode->AddDataItem(U("y"), value.Get()), S_OK);
  CFailingReleases releases({1, 2});
  EXPECT_EQ(pNode->RemoveDataItem(U("x")), CFailingReleases::kFailure);
  std::vector<secwstring> ids;
  ASSERT_EQ(pNode->ListDataItems(ids), S_OK);
  EXPECT_EQ(ids, std::vector<secwstring>{U("y")});
  pNode.reset();
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CNode::~CNode zuSafeArrayDestroy hr = 0x8002000d")));
}

}  // namespace
