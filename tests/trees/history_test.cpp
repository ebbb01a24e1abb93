#include <gtest/gtest.h>

#include <sstream>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

// Stores a counter of any form: 'v' the value, 'e' empty, 'd' of eight-byte
// elements, 'n' null, '-' none.
void Store(const char* pszKey, const char* pszName, char kind, UINT uiValue = 0) {
  if (kind == '-') return;
  CScopedSafeArray value(
      kind == 'n' ? nullptr : SafeArrayCreateVector(kind == 'd' ? VT_R8 : VT_UINT, 0, kind != 'e'));
  if (kind == 'v') *static_cast<UINT*>(value.Get()->pvData) = uiValue;
  ASSERT_EQ(gHistoryTree->SetData(U(pszKey), U(pszName), value.Get(), 0, FALSE), S_OK);
}

TEST(History, AChangeAdvancesEveryPrefixAndCountersWrap) {
  struct {
    bool bNearTheTop;               // DS1/1 starts at 0xFFFFFFFF and 0xFFFFFFFE
    const char *changes, *counted;  // changes: key:mode ...
  } const rows[] = {
      {false, "DS1/3/A:-1 DS1/3/A:1 DS1/4:1", "DS1=1,3 DS1/3=1,2 DS1/3/A=1,2 DS1/4=0,1"},
      {false, "DS1/3/A:0 DS1/3/A:2 DS1/3/A:-2 DS1/3/A:2147483647", ""},
      {true, "DS1/1:1 DS1/1:-1", "DS1=1,2"},  // DS1/1 wrapped to 0,0
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    if (row.bNearTheTop) {
      Store("DS1/1", "CompartmentVersion", 'v', 0xFFFFFFFF);
      Store("DS1/1", "ContentVersion", 'v', 0xFFFFFFFE);
    }
    std::istringstream changes(row.changes);
    for (std::string change; changes >> change;) {
      const size_t colon = change.find(':');
      EXPECT_EQ(UpdateHistoryTree(U(change.substr(0, colon)), std::stol(change.substr(colon + 1))),
                S_OK);
    }
    EXPECT_EQ(Counted(), row.counted) << row.changes;
  }
}

TEST(History, CountersAreReadAndAdvancedAsStoredAndOddOnesAreNotReadIntoOne) {
  struct {
    char compartment, content;  // '-' absent, 'v' the value, else an odd form
    UINT uiValue;
    LONG lAdvance;  // the selector of an UpdateVersion first, or -1
    HRESULT hrAdvance;
    const char* read;
  } const rows[] = {
      {'v', '-', 2, -1, S_OK, "2,0"},  // a missing content counter is 0
      // An unreadable counter reads 0; the release of its copy then sets the
      // result. An unreadable compartment counter ends the reading.
      {'e', 'v', 5, -1, S_OK, "0,0"},
      {'v', 'e', 4, -1, S_OK, "4,0"},
      {'d', 'd', 0, -1, S_OK, "0,0"},
      {'n', '-', 0, -1, S_OK, "0x80070057 0,0"},  // nothing released after it
      // Advancing: an unreadable counter is left as it is.
      {'-', 'e', 0, 1, S_OK, "0,0"},
      {'-', 'n', 0, 1, E_INVALIDARG, "0x80070057 0,0"},
      {'-', '-', 0, 7, S_OK, "0,1"},  // any nonzero selector: content
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    Store("K", "CompartmentVersion", row.compartment, row.uiValue);
    Store("K", "ContentVersion", row.content, row.uiValue);
    if (row.lAdvance >= 0) {
      EXPECT_EQ(UpdateVersion(U("K"), static_cast<ULONG>(row.lAdvance)), row.hrAdvance);
    }
    EXPECT_EQ(Versions("K"), row.read) << row.compartment << row.content << row.lAdvance;
  }
}

TEST(History, FailedReleases) {
  struct {
    char call;  // H: UpdateHistoryTree of DS1/3/A, V: UpdateVersion of K, G: GetVersion of K
    std::vector<int> failing;
    HRESULT hr;
    const char* counted;
  } const rows[] = {
      // Releases of DS1's new value (1), then DS1/3's (2): the longer prefix
      // is not advanced, the stored value stays.
      {'H', {2}, CScriptedZuWinExt::kFailure, "DS1=0,1 DS1/3=0,1 K=1,1"},
      // Releases of the replaced value (1), the old value's copy (2), the new
      // value (3): the last one is the result.
      {'V', {2}, S_OK, "K=1,2"},
      // GetVersion retries a failed release once and reports a second failure.
      {'G', {2}, S_OK, "K=1,1"},
      {'G', {2, 3}, CScriptedZuWinExt::kFailure, "K=1,1"},
      {'G', {1, 2}, S_OK, "K=1,1"},
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    ASSERT_EQ(UpdateHistoryTree(U("K"), -1), S_OK);
    {
      ULONG ul = 0;
      CScriptedZuWinExt releases(row.failing);
      SCOPED_TRACE(row.counted);
      EXPECT_EQ(row.call == 'H'   ? UpdateHistoryTree(U("DS1/3/A"), 1)
                : row.call == 'V' ? UpdateVersion(U("K"), 1)
                                  : GetVersion(U("K"), &ul, &ul),
                row.hr);
    }
    EXPECT_EQ(Counted(), row.counted);
  }
}

TEST(History, TheTreeLivesWhileAnyManagerHoldsAUseAndWithoutOneEverythingFails) {
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  ASSERT_EQ(UpdateHistoryTree(U("DS1"), -1), S_OK);
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  EXPECT_EQ(Versions("DS1"), "1,1") << "the second use shared the tree; its end broke nothing";
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  ASSERT_TRUE(NULL == gHistoryTree);
  EXPECT_EQ(ReleaseHistoryTree(), E_FAIL) << "no use held";

  EXPECT_EQ(UpdateHistoryTree(U("DS1/3"), -1), E_FAIL);
  EXPECT_EQ(UpdateHistoryTree(U("DS1/3"), 0), S_OK) << "nothing to do, nothing fails";
  EXPECT_EQ(UpdateVersion(U("DS1"), 0), E_FAIL);
  EXPECT_EQ(Versions("DS1"), "0x80004005 0,0");
  // A store still removes, reporting the advances it could not make, and
  // answers no versions.
  CMemoryTree store(U("History"));
  Build(store, "7/A/B{x=1} 8{x=1}");
  EXPECT_EQ(store.RemoveCompartment(U("7"), TRUE, 0), E_FAIL);
  EXPECT_EQ(store.RemoveCompartment(U("8"), TRUE, 0), S_OK) << "no descendant, no advance";
  EXPECT_EQ(Dump(store), "");
  ULONG ulCompartment = 5;
  ULONG ulContent = 6;
  BOOL bCached = 7;
  EXPECT_EQ(store.IsCompartmentCached(U("8"), &ulCompartment, &ulContent, &bCached, 0), E_FAIL);
  EXPECT_EQ(ulCompartment + ulContent + static_cast<ULONG>(bCached), 18u) << "nothing written";

  CHistoryUse fresh;
  EXPECT_EQ(Versions("DS1"), "0,0") << "a new tree starts at zero";
  EXPECT_FALSE(IsHistoryTree(&store)) << "a store named like it is still a store";
  ASSERT_EQ(UpdateHistoryTree(U("DS1"), -1), S_OK);
  EXPECT_EQ(GetVersion(U("DS1"), &ulCompartment, nullptr), S_OK);
  EXPECT_EQ(ulCompartment, 1u);
  EXPECT_EQ(GetVersion(U("DS1"), nullptr, &ulContent), E_FAIL);
  EXPECT_EQ(ulContent, 0u) << "the outputs given are written on every path";
}

}  // namespace
