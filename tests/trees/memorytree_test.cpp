#include <gtest/gtest.h>

#include <tuple>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

// The core of the listings, the items and the removals is compared with a
// model (model_test.cpp); the table pins what the model leaves out: the top
// level, empty names, "/" and the counters.
TEST(MemoryTree, ListingsAndRemovalsOfTheTopLevelAndOfEmptyNames) {
  struct {
    char op;  // C: ListCompartmentIds, D: ListDataIds, R: RemoveCompartment
    // expected: the names listed ("untouched": the output as it was), or the
    // tree left and the history keys counted
    const char *tree, *path, *expected;
  } const rows[] = {
      {'D', "1{b=1,B=1,a=1,=1}", "1", "|B|a|b"},
      {'C', "7/A 7/", "7", "|A"},
      {'C', "7/A/B 70/D 3", "/", "3|7|70"},
      {'C', "7/A/B 70 -70", "/", "7"},  // a removal leaves the top level
      // "/" lists the top level, never the compartment named "/".
      {'C', "/{x=1} a//b{y=2}", "/", "|a"},
      {'C', "/{x=1} a//b{y=2}", "a/", "b"},
      {'C', "/{x=1} a//b{y=2}", "", ""},
      // A removal advances its descendants only.
      {'R', "7/A/B{x=7} 7/A/B/C 7/AB{x=7} 7/A!{x=7} 7/A0", "7/A",
       "7 7/A!{x=7} 7/A0 7/AB{x=7}; DS1/7/A/B=1,1 DS1/7/A/B/C=1,1"},
      {'R', "'' /x a", "", "a; DS1//x=1,1"},
  };
  for (const auto& row : rows) {
    CHistoryUse history;
    CMemoryTree tree(U("DS1"));
    Build(tree, row.tree);
    SCOPED_TRACE(std::string(row.tree) + " " + row.op + " " + row.path);
    CScopedSafeArray sentinel = MakeBytes({0xEE});
    SAFEARRAY* psa = sentinel.Get();
    EXPECT_EQ(row.op == 'C'   ? tree.ListCompartmentIds(U(row.path), &psa, 0)
              : row.op == 'D' ? tree.ListDataIds(U(row.path), &psa, 0)
                              : tree.RemoveCompartment(U(row.path), FALSE, 0),
              S_OK);
    CScopedSafeArray owned(psa == sentinel.Get() ? nullptr : psa);
    const std::string listed = owned.Get() ? Joined(psa, "|") : "untouched";
    EXPECT_EQ(row.op == 'R' ? Dump(tree) + "; " + Counted() : listed, row.expected);
  }
}

// Replacing, null values and IsDataCached are compared with the model.
TEST(MemoryTree, ItemsAreCopiesAndGoDespiteAFailedRelease) {
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  CScopedSafeArray value = MakeBytes({'1', '2', '3'}), first;
  ASSERT_EQ(tree.SetData(U("1/C"), U("x"), value.Get(), 0, TRUE), S_OK);
  static_cast<BYTE*>(value.Get()->pvData)[0] = '9';
  ASSERT_EQ(tree.GetData(U("1/C"), U("x"), first.Receive(), 0), S_OK);
  static_cast<BYTE*>(first.Get()->pvData)[1] = '9';
  EXPECT_EQ(Dump(tree), "1 1/C{x=123}") << "neither the input nor an output is kept";
  {
    CScriptedZuWinExt releases({1});
    EXPECT_EQ(tree.RemoveData(U("1/C"), U("x"), 0), CScriptedZuWinExt::kFailure);
  }
  EXPECT_EQ(Dump(tree), "1 1/C") << "gone despite the failure";

  Build(tree, "1/C{x=1}");
  CRecordingLogSink sink;
  CScriptedZuWinExt releases({1});
  EXPECT_EQ(tree.FlushTree(0), S_OK);
  EXPECT_TRUE(
      sink.Contains(LOG_FAILURE, OLESTR("CNode::~CNode zuSafeArrayDestroy hr = 0x8002000d")));
}

TEST(MemoryTree, IsCompartmentCachedReadsTheHistoryKeyOfThePath) {
  struct {
    bool bHistoryTree;
    const char *path, *expected;  // cached, then the counters
  } const rows[] = {
      {false, "3/C", "1 1,2"},    {false, "/", "0 2,4"}, {false, "3/D", "0 0,0"},
      {false, "3/X", "0 1,2"},  // removed, and its counters are still there
      {true, "DS1/3/C", "1 1,2"}, {true, "/", "0 0,0"},  // no "History" prefix
  };
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "3/C 3/X -3/X");
  for (const char* pszKey : {"DS1/3/C", "DS1/3/X"}) {
    for (const LONG lMode : {-1, 1}) ASSERT_EQ(UpdateHistoryTree(U(pszKey), lMode), S_OK);
  }
  for (const auto& row : rows) {
    // Counters are read in place unless the trace is logged (then they are
    // copied, and the copies released, as GetVersion does); the answer is
    // the same. The history tree's own question re-enters its lock.
    for (const uint32_t mask : {1u << LOG_FAILURE, 1u << LOG_NOTABLE}) {
      CScriptedZuWinExt releases;
      CRecordingLogSink sink(mask);
      CAbstractTree& asked = row.bHistoryTree ? static_cast<CAbstractTree&>(*gHistoryTree) : tree;
      ULONG ulCompartment = 7, ulContent = 7;
      BOOL bCached = 7;
      const HRESULT hr =
          asked.IsCompartmentCached(U(row.path), &ulCompartment, &ulContent, &bCached, 0);
      EXPECT_EQ(std::to_string(bCached) + " " + VersionText(hr, ulCompartment, ulContent),
                row.expected)
          << row.path << mask;
      EXPECT_EQ(releases.cDestroys > 0,
                mask == 1u << LOG_NOTABLE && std::string(row.expected).substr(2) != "0,0")
          << row.path << mask;
    }
  }
}

TEST(MemoryTree, QuickAnswersStepAsideWhileTheTraceIsLogged) {
  // A path is looked up rather than found in the listing, except while the
  // trace is logged or the tree holds "", which the listing cannot carry (so
  // that the failure is logged).
  CMemoryTree tree(U("DS1"));
  for (const auto& [pszAdded, mask, bListed] :
       {std::tuple{"3/C", 1u << LOG_FAILURE, false}, std::tuple{"", 1u << LOG_ENTRY, true},
        std::tuple{"''", 1u << LOG_FAILURE, true}}) {
    Build(tree, pszAdded);
    CScriptedZuWinExt releases;
    CRecordingLogSink sink(mask);
    secwstring sFound;
    bool bFound = false;
    EXPECT_EQ(tree.FindCompartmentId(U("3"), U("C"), sFound, bFound), S_OK);
    EXPECT_TRUE(bFound) << pszAdded;
    EXPECT_EQ(releases.cDestroys > 0, bListed) << pszAdded;
  }
}

TEST(MemoryTree, NullOutputsAreRefusedAndNothingIsWritten) {
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "1{x=1}");  // so that nothing fails for want of content
  const secwstring k1 = U("1");
  ULONG ul = 5;
  BOOL b = 5;
  EXPECT_EQ(tree.IsDataCached(k1, U("x"), nullptr, 0), E_FAIL);
  EXPECT_EQ(tree.ListDataIds(k1, nullptr, 0), E_FAIL);
  EXPECT_EQ(tree.ListCompartmentIds(k1, nullptr, 0), E_FAIL);
  EXPECT_EQ(tree.ListAllCompartmentIds(nullptr), E_FAIL);
  // Every output of IsCompartmentCached is checked before any is written.
  EXPECT_EQ(tree.IsCompartmentCached(k1, nullptr, nullptr, nullptr, 0), E_FAIL);
  EXPECT_EQ(tree.IsCompartmentCached(k1, nullptr, nullptr, &b, 0), E_FAIL);
  EXPECT_EQ(tree.IsCompartmentCached(k1, &ul, nullptr, &b, 0), E_FAIL);
  EXPECT_EQ(ul + static_cast<ULONG>(b), 10u) << "no output written";
}

}  // namespace
