#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

using namespace std::string_literals;

namespace {

// The core of the listings, the items and the removals is compared with a
// model (model_test.cpp); the tables here pin what the model leaves out: the
// top level, empty names, "/", the counters and the failures.
TEST(MemoryTree, ListingsOfTheTopLevelAndOfEmptyNames) {
  struct {
    const char* tree;
    char op;  // C: ListCompartmentIds, D: ListDataIds
    const char* path;
    HRESULT hr;
    const char* expected;  // "untouched": the output comes back as it was
  } const rows[] = {
      {"1{b=1,B=1,a=1,=1}", 'D', "1", S_OK, "|B|a|b"},
      {"7/A 7/", 'C', "7", S_OK, "|A"},
      {"7/A/B 70/D 3", 'C', "/", S_OK, "3|7|70"},
      {"7/A/B 70 -70", 'C', "/", S_OK, "7"},  // a removal leaves the top level
      // "/" lists the top level, never the compartment named "/".
      {"/{x=1} a//b{y=2}", 'C', "/", S_OK, "|a"},
      {"/{x=1} a//b{y=2}", 'C', "a/", S_OK, "b"},
      {"/{x=1} a//b{y=2}", 'C', "", S_OK, ""},
  };
  CHistoryUse history;
  for (const auto& row : rows) {
    CMemoryTree tree(U("DS1"));
    Build(tree, row.tree);
    SCOPED_TRACE(std::string(row.tree) + " " + row.op + " " + row.path);
    CScopedSafeArray sentinel = MakeBytes({0xEE});
    SAFEARRAY* psa = sentinel.Get();
    EXPECT_EQ(row.op == 'C' ? tree.ListCompartmentIds(U(row.path), &psa, 0)
                            : tree.ListDataIds(U(row.path), &psa, 0),
              row.hr);
    CScopedSafeArray owned(psa == sentinel.Get() ? nullptr : psa);
    EXPECT_EQ(owned.Get() ? Joined(psa, "|") : "untouched", row.expected);
  }
}

TEST(MemoryTree, ARemovalAdvancesItsDescendantsOnly) {
  struct {
    const char *tree, *removed, *after, *counted;
  } const rows[] = {
      {"7/A/B{x=7} 7/A/B/C 7/AB{x=7} 7/A!{x=7} 7/A0", "7/A", "7 7/A!{x=7} 7/A0 7/AB{x=7}",
       "DS1/7/A/B=1,1 DS1/7/A/B/C=1,1"},
      {"'' /x a", "", "a", "DS1//x=1,1"},
  };
  CHistoryUse history;
  for (const auto& row : rows) {
    gHistoryTree->FlushTree(0);
    CMemoryTree tree(U("DS1"));
    Build(tree, row.tree);
    EXPECT_EQ(tree.RemoveCompartment(U(row.removed), FALSE, 0), S_OK) << row.removed;
    EXPECT_EQ(Dump(tree), row.after) << row.removed;
    EXPECT_EQ(Counted(), row.counted) << row.removed;
  }
}

TEST(MemoryTree, ItemsAreCopiesReplacedAndRemovedWhileTheCompartmentStays) {
  CHistoryUse history;
  CMemoryTree tree(U("DS1"));
  Build(tree, "1/C{x=1,n=null} 1/C{x=23}");
  EXPECT_EQ(Dump(tree), "1 1/C{n=null,x=23}");
  BOOL bCached = FALSE;
  EXPECT_EQ(tree.IsDataCached(U("1/C"), U("n"), &bCached, 0), S_OK);
  EXPECT_TRUE(bCached) << "a null value is an item";

  CScopedSafeArray value = MakeBytes({'1', '2', '3'});
  ASSERT_EQ(tree.SetData(U("1/C"), U("x"), value.Get(), 0, TRUE), S_OK);
  static_cast<BYTE*>(value.Get()->pvData)[0] = '9';
  CScopedSafeArray first;
  ASSERT_EQ(tree.GetData(U("1/C"), U("x"), first.Receive(), 0), S_OK);
  static_cast<BYTE*>(first.Get()->pvData)[1] = '9';
  EXPECT_EQ(Dump(tree), "1 1/C{n=null,x=123}") << "neither the input nor an output is kept";

  {
    CScriptedZuWinExt releases({1});
    EXPECT_EQ(tree.RemoveData(U("1/C"), U("x"), 0), CScriptedZuWinExt::kFailure);
  }
  EXPECT_EQ(tree.RemoveData(U("1/C"), U("x"), 0), E_INVALIDARG) << "gone despite the failure";
  EXPECT_EQ(tree.RemoveData(U("1/C"), U("n"), 0), S_OK);
  EXPECT_EQ(tree.IsDataCached(U("1/C"), U("n"), &bCached, 0), S_OK);
  EXPECT_FALSE(bCached);
  EXPECT_EQ(Dump(tree), "1 1/C");

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
    // Counters are read in place unless the trace is logged (then they are
    // copied, and the copies released, as GetVersion does); the answer is
    // the same.
    for (const uint32_t mask : {1u << LOG_FAILURE, 1u << LOG_NOTABLE}) {
      CScriptedZuWinExt releases;
      CRecordingLogSink sink(mask);
      CAbstractTree& asked = row.bHistoryTree ? static_cast<CAbstractTree&>(*gHistoryTree) : tree;
      ULONG ulCompartment = 7;
      ULONG ulContent = 7;
      BOOL bCached = 7;
      // The history tree's own question re-enters its lock through GetVersion.
      const HRESULT hr =
          asked.IsCompartmentCached(U(row.path), &ulCompartment, &ulContent, &bCached, 0);
      EXPECT_EQ(VersionText(hr, ulCompartment, ulContent), row.versions) << row.path << mask;
      EXPECT_EQ(bCached, row.bCached) << row.path;
      EXPECT_EQ(releases.cDestroys > 0, mask == 1u << LOG_NOTABLE && row.versions != "0,0"s)
          << row.path << mask;
    }
  }
}

TEST(MemoryTree, QuickAnswersStepAsideWhileTheTraceIsLogged) {
  for (const LONG lLevel : {LOG_DETAIL, LOG_FAILURE, LOG_NOTABLE, LOG_ENTRY, LOG_EXIT}) {
    CRecordingLogSink sink(1u << lLevel);
    EXPECT_EQ(CAbstractTree::TraceIsLogged(), lLevel != LOG_FAILURE) << lLevel;
  }
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
  CMemoryTree tree(U("DS1"));
  for (size_t i = 0; i < std::size(calls); ++i) EXPECT_EQ(calls[i](tree), E_FAIL) << i;
  EXPECT_EQ(ul + static_cast<ULONG>(b), 10u) << "no output written";
}

}  // namespace
