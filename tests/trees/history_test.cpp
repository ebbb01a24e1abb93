#include <gtest/gtest.h>

#include <sstream>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

const secwstring kCompartmentVersion = W(OLESTR("CompartmentVersion"));
const secwstring kContentVersion = W(OLESTR("ContentVersion"));

// A stored counter of an odd form: 'e' empty, 'd' of eight-byte elements,
// 'n' null, else one value.
CScopedSafeArray OddCounter(char kind, UINT uiValue) {
  if (kind == 'n') return CScopedSafeArray();
  CScopedSafeArray counter(SafeArrayCreateVector(kind == 'd' ? VT_R8 : VT_UINT, 0, kind != 'e'));
  if (kind == 'v') *static_cast<UINT*>(counter.Get()->pvData) = uiValue;
  return counter;
}

void Store(const char* pszKey, const secwstring& sName, char kind, UINT uiValue = 0) {
  if (kind == '-') return;
  CScopedSafeArray value = OddCounter(kind, uiValue);
  ASSERT_EQ(gHistoryTree->SetData(U(pszKey), sName, value.Get(), 0, FALSE), S_OK);
}

TEST(History, AChangeAdvancesEveryPrefixAndCountersWrap) {
  struct {
    bool bNearTheTop;               // DS1/1 starts at 0xFFFFFFFF and 0xFFFFFFFE
    const char *changes, *counted;  // changes: key:mode ...
  } const rows[] = {
      {false, "DS1/3/A:-1", "DS1=1,1 DS1/3=1,1 DS1/3/A=1,1"},
      {false, "DS1/3/A:-1 DS1/3/A:1 DS1/4:1", "DS1=1,3 DS1/3=1,2 DS1/3/A=1,2 DS1/4=0,1"},
      {false, "DS1/3/A:0 DS1/3/A:2 DS1/3/A:-2 DS1/3/A:2147483647", ""},
      {true, "DS1/1:1", "DS1=0,1 DS1/1=4294967295,4294967295"},
      {true, "DS1/1:1 DS1/1:-1", "DS1=1,2"},  // DS1/1 wrapped to 0,0
      {true, "DS1/1:1 DS1/1:-1 DS1/1:-1", "DS1=2,3 DS1/1=1,1"},
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    if (row.bNearTheTop) {
      Store("DS1/1", kCompartmentVersion, 'v', 0xFFFFFFFF);
      Store("DS1/1", kContentVersion, 'v', 0xFFFFFFFE);
    }
    std::istringstream changes(row.changes);
    for (std::string change; changes >> change;) {
      const size_t colon = change.find(':');
      EXPECT_EQ(UpdateHistoryTree(U(change.substr(0, colon)), std::stol(change.substr(colon + 1))),
                S_OK);
    }
    EXPECT_EQ(Counted(), row.counted) << row.changes;
    EXPECT_TRUE(*row.counted || AllCompartments(*gHistoryTree).empty()) << "nothing made";
  }
}

TEST(History, CountersAreReadAndAdvancedAsStoredAndOddOnesAreNotReadIntoOne) {
  struct {
    char compartment, content;  // '-' absent, 'v' the value, else an odd form
    UINT uiValue;
    LONG lAdvance;  // the selector of an UpdateVersion first, or -1
    HRESULT hrAdvance;
    CVersions read;
  } const rows[] = {
      {'v', '-', 2, -1, S_OK, CVersions{S_OK, 2, 0}},  // a missing content counter is 0
      {'-', '-', 0, -1, S_OK, CVersions{S_OK, 0, 0}},
      {'v', 'v', 1, -1, S_OK, CVersions{S_OK, 1, 1}},
      // An unreadable counter reads 0; the release of its copy then sets the
      // result. An unreadable compartment counter ends the reading.
      {'e', 'v', 5, -1, S_OK, CVersions{S_OK, 0, 0}},
      {'v', 'e', 4, -1, S_OK, CVersions{S_OK, 4, 0}},
      {'d', 'd', 0, -1, S_OK, CVersions{S_OK, 0, 0}},
      {'n', '-', 0, -1, S_OK, CVersions{E_INVALIDARG, 0, 0}},  // nothing released after it
      // Advancing: an unreadable counter is left as it is.
      {'-', 'e', 0, 1, S_OK, CVersions{S_OK, 0, 0}},
      {'-', 'n', 0, 1, E_INVALIDARG, CVersions{E_INVALIDARG, 0, 0}},
      {'d', '-', 0, 0, S_OK, CVersions{S_OK, 0, 0}},
      {'-', '-', 0, 7, S_OK, CVersions{S_OK, 0, 1}},  // any nonzero selector: content
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    Store("K", kCompartmentVersion, row.compartment, row.uiValue);
    Store("K", kContentVersion, row.content, row.uiValue);
    if (row.lAdvance >= 0) {
      EXPECT_EQ(UpdateVersion(W(OLESTR("K")), static_cast<ULONG>(row.lAdvance)), row.hrAdvance);
    }
    EXPECT_EQ(Versions(OLESTR("K")), row.read) << row.compartment << row.content << row.lAdvance;
  }
  // What an advance stores: a one-element VT_UINT vector.
  CHistoryUse use;
  ASSERT_EQ(UpdateVersion(W(OLESTR("K")), 0), S_OK);
  CScopedSafeArray counter;
  ASSERT_EQ(gHistoryTree->GetData(W(OLESTR("K")), kCompartmentVersion, counter.Receive(), 0), S_OK);
  EXPECT_EQ(VectorLength(counter.Get(), VT_UINT), 1);
}

TEST(History, FailedReleases) {
  struct {
    char call;  // H: UpdateHistoryTree of DS1/3/A, V: UpdateVersion of K, G: GetVersion of K
    std::vector<int> failing;
    HRESULT hr;
    int cCalls;
    const char* counted;
  } const rows[] = {
      // Releases of DS1's new value (1), then DS1/3's (2): the longer prefix
      // is not advanced, the stored value stays.
      {'H', {2}, CFailingReleases::kFailure, 2, "DS1=0,1 DS1/3=0,1 K=1,1"},
      // Releases of the replaced value (1), the old value's copy (2), the new
      // value (3): the last one is the result.
      {'V', {2}, S_OK, 3, "K=1,2"},
      // GetVersion retries a failed release once and reports a second failure.
      {'G', {2}, S_OK, 3, "K=1,1"},
      {'G', {2, 3}, CFailingReleases::kFailure, 3, "K=1,1"},
      {'G', {1, 2}, S_OK, 3, "K=1,1"},
  };
  for (const auto& row : rows) {
    CHistoryUse use;
    ASSERT_EQ(UpdateHistoryTree(W(OLESTR("K")), -1), S_OK);
    {
      CFailingReleases releases(row.failing);
      EXPECT_EQ(row.call == 'H'   ? UpdateHistoryTree(W(OLESTR("DS1/3/A")), 1)
                : row.call == 'V' ? UpdateVersion(W(OLESTR("K")), 1)
                                  : Versions(OLESTR("K")).hr,
                row.hr)
          << row.counted;
      EXPECT_EQ(releases.Calls(), row.cCalls) << row.counted;
    }
    EXPECT_EQ(Counted(), row.counted);
  }
}

TEST(History, WithoutTheHistoryTreeEverythingFailsAndReadsZero) {
  ASSERT_TRUE(NULL == gHistoryTree);
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), -1), E_FAIL);
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), 1), E_FAIL);
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), 0), S_OK) << "nothing to do, nothing fails";
  EXPECT_EQ(UpdateVersion(W(OLESTR("DS1")), 0), E_FAIL);
  EXPECT_EQ(Versions(OLESTR("DS1")), (CVersions{E_FAIL, 0, 0}));

  CHistoryUse use;
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("K")), -1), S_OK);
  ULONG ulCompartment = 9;
  EXPECT_EQ(GetVersion(W(OLESTR("K")), &ulCompartment, nullptr), S_OK);
  EXPECT_EQ(ulCompartment, 1u);
  ULONG ulContent = 9;
  EXPECT_EQ(GetVersion(W(OLESTR("K")), nullptr, &ulContent), E_FAIL);
  EXPECT_EQ(ulContent, 0u) << "the outputs given are written on every path";
}

TEST(History, TheTreeLivesWhileAnyManagerHoldsAUse) {
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  CAbstractTree* pFirst = gHistoryTree;
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1")), -1), S_OK);
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  EXPECT_EQ(static_cast<CAbstractTree*>(gHistoryTree), pFirst) << "the second use shares it";
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1")), (CVersions{S_OK, 1, 1})) << "one ending breaks nothing";
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  EXPECT_TRUE(NULL == gHistoryTree);

  EXPECT_EQ(ReleaseHistoryTree(), E_FAIL) << "no use held";

  CMemoryTree store(W(OLESTR("History")));
  CHistoryUse fresh;
  EXPECT_EQ(Versions(OLESTR("DS1")), (CVersions{S_OK, 0, 0})) << "a new tree starts at zero";
  secwstring sTreeId;
  EXPECT_EQ(gHistoryTree->GetTreeId(sTreeId), S_OK);
  EXPECT_EQ(U8(sTreeId), "History");
  EXPECT_TRUE(IsHistoryTree(gHistoryTree));
  EXPECT_FALSE(IsHistoryTree(&store)) << "a store named like it is still a store";
}

}  // namespace
