#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

// Each row stores counters of any form, makes calls with chosen releases
// failing, and reads every counter left. S:key:C|N:form stores the
// compartment (C) or content (N) counter, of form vN (the value N), e
// (empty), d (of eight-byte elements) or n (null); H:key:mode calls
// UpdateHistoryTree, V:key:selector UpdateVersion, G:key GetVersion.
TEST(History, CountersAdvanceWrapAndSurviveOddFormsAndFailedReleases) {
  struct {
    const char *script, *counted;
    std::vector<int> failing;  // releases numbered from 1 over the calls
    HRESULT hr;                // of the last call; the others succeed
  } const rows[] = {
      // A change advances every prefix; a structural change both counters.
      {"H:DS1/3/A:-1 H:DS1/3/A:1 H:DS1/4:1", "DS1=1,3 DS1/3=1,2 DS1/3/A=1,2 DS1/4=0,1", {}, S_OK},
      {"H:DS1/3/A:0 H:DS1/3/A:2 H:DS1/3/A:-2 H:DS1/3/A:2147483647", "", {}, S_OK},
      {"S:DS1/1:C:v4294967295 S:DS1/1:N:v4294967294 H:DS1/1:1 H:DS1/1:-1", "DS1=1,2", {}, S_OK},
      {"V:K:7", "K=0,1", {}, S_OK},         // any nonzero selector: content
      {"S:K:C:v2 G:K", "K=2,0", {}, S_OK},  // a missing content counter is 0
      // An unreadable counter reads 0; the release of its copy then sets the
      // result. An unreadable compartment counter ends the reading.
      {"S:K:C:e S:K:N:v5 G:K", "", {}, S_OK},
      {"S:K:C:v4 S:K:N:e G:K", "K=4,0", {}, S_OK},
      {"S:K:C:d S:K:N:d G:K", "", {}, S_OK},
      {"S:K:C:n G:K", "K=0x80070057 0,0", {}, E_INVALIDARG},  // nothing released after it
      // Advancing: an unreadable counter is left as it is.
      {"S:K:N:e V:K:1", "", {}, S_OK},
      {"S:K:N:n V:K:1", "K=0x80070057 0,0", {}, E_INVALIDARG},
      // Releases of DS1's new value (1), then DS1/3's (2): the longer prefix
      // is not advanced, the stored value stays.
      {"S:K:C:v1 S:K:N:v1 H:DS1/3/A:1",
       "DS1=0,1 DS1/3=0,1 K=1,1",
       {2},
       CScriptedZuWinExt::kFailure},
      // Releases of the replaced value (1), the old value's copy (2), the new
      // value (3): the last one is the result.
      {"S:K:C:v1 S:K:N:v1 V:K:1", "K=1,2", {2}, S_OK},
      // GetVersion retries a failed release once and reports a second failure.
      {"S:K:C:v1 S:K:N:v1 G:K", "K=1,1", {2}, S_OK},
      {"S:K:C:v1 S:K:N:v1 G:K", "K=1,1", {2, 3}, CScriptedZuWinExt::kFailure},
      {"S:K:C:v1 S:K:N:v1 G:K", "K=1,1", {1, 2}, S_OK},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.script);
    CHistoryUse use;
    std::optional<CScriptedZuWinExt> releases;  // from the first call on
    std::istringstream script(row.script);
    for (std::string token; script >> token;) {
      char szKey[32] = "", cCounter = 0, cForm = 0;
      unsigned long ulValue = 0;
      if (std::sscanf(token.c_str(), "S:%31[^:]:%c:%c%lu", szKey, &cCounter, &cForm, &ulValue) >=
          3) {
        CScopedSafeArray value(
            cForm == 'n' ? nullptr
                         : SafeArrayCreateVector(cForm == 'd' ? VT_R8 : VT_UINT, 0, cForm != 'e'));
        if (cForm == 'v') *static_cast<UINT*>(value.Get()->pvData) = static_cast<UINT>(ulValue);
        const char* pszName = cCounter == 'C' ? "CompartmentVersion" : "ContentVersion";
        ASSERT_EQ(gHistoryTree->SetData(U(szKey), U(pszName), value.Get(), 0, FALSE), S_OK);
        continue;
      }
      long lArgument = 0;
      std::sscanf(token.c_str() + 2, "%31[^:]:%ld", szKey, &lArgument);
      if (!releases) releases.emplace(row.failing);
      ULONG ul = 0;
      const HRESULT hr = token[0] == 'H'   ? UpdateHistoryTree(U(szKey), lArgument)
                         : token[0] == 'V' ? UpdateVersion(U(szKey), static_cast<ULONG>(lArgument))
                                           : GetVersion(U(szKey), &ul, &ul);
      EXPECT_EQ(hr, script.eof() ? row.hr : S_OK) << token;
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
  EXPECT_EQ(ReleaseHistoryTree(), E_FAIL) << "no use held";

  EXPECT_EQ(UpdateHistoryTree(U("DS1/3"), -1), E_FAIL);
  EXPECT_EQ(UpdateHistoryTree(U("DS1/3"), 0), S_OK) << "nothing to do, nothing fails";
  EXPECT_EQ(Versions("DS1"), "0x80004005 0,0");
  // A store still removes, reporting the advances it could not make, and
  // answers no versions.
  CMemoryTree store(U("History"));
  Build(store, "7/A/B{x=1} 8{x=1}");
  EXPECT_EQ(store.RemoveCompartment(U("7"), TRUE, 0), E_FAIL);
  EXPECT_EQ(store.RemoveCompartment(U("8"), TRUE, 0), S_OK) << "no descendant, no advance";
  EXPECT_EQ(Dump(store), "");
  ULONG ulCompartment = 5, ulContent = 6;
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
