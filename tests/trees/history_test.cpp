#include <gtest/gtest.h>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

const secwstring kCompartmentVersion = W(OLESTR("CompartmentVersion"));
const secwstring kContentVersion = W(OLESTR("ContentVersion"));

void StoreCounter(const OLECHAR* pszKey, const secwstring& sName, SAFEARRAY* psa) {
  ASSERT_EQ(gHistoryTree->SetData(W(pszKey), sName, psa, 0, FALSE), S_OK);
}

TEST(History, AChangeAdvancesEveryPrefixShortestFirst) {
  CHistoryUse use;
  CRecordingLogSink sink;
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/A")), -1), S_OK);
  for (const OLECHAR* pszKey : {OLESTR("DS1"), OLESTR("DS1/3"), OLESTR("DS1/3/A")}) {
    EXPECT_EQ(Versions(pszKey), Counters(S_OK, 1, 1)) << ToUtf8(pszKey);
  }
  // Shortest prefix first: the store's counters are stored before the
  // session's, and those before the compartment's.
  std::vector<OleString> order;
  for (const auto& text : sink.Texts()) {
    if (text.rfind(OLESTR("CMemoryTree::SetData sCompartmentId = "), 0) == 0 &&
        text.find(OLESTR("hr = ")) != OleString::npos) {
      order.push_back(text);
    }
  }
  EXPECT_EQ(order,
            Strings({OLESTR("CMemoryTree::SetData sCompartmentId = DS1 sDataId = "
                            "CompartmentVersion hr = 0x0"),
                     OLESTR("CMemoryTree::SetData sCompartmentId = DS1 sDataId = ContentVersion "
                            "hr = 0x0"),
                     OLESTR("CMemoryTree::SetData sCompartmentId = DS1/3 sDataId = "
                            "CompartmentVersion hr = 0x0"),
                     OLESTR("CMemoryTree::SetData sCompartmentId = DS1/3 sDataId = "
                            "ContentVersion hr = 0x0"),
                     OLESTR("CMemoryTree::SetData sCompartmentId = DS1/3/A sDataId = "
                            "CompartmentVersion hr = 0x0"),
                     OLESTR("CMemoryTree::SetData sCompartmentId = DS1/3/A sDataId = "
                            "ContentVersion hr = 0x0")}));

  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/A")), 1), S_OK);
  for (const OLECHAR* pszKey : {OLESTR("DS1"), OLESTR("DS1/3"), OLESTR("DS1/3/A")}) {
    EXPECT_EQ(Versions(pszKey), Counters(S_OK, 1, 2)) << ToUtf8(pszKey);
  }
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/4")), 1), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(S_OK, 1, 3));
  EXPECT_EQ(Versions(OLESTR("DS1/4")), Counters(S_OK, 0, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/3")), Counters(S_OK, 1, 2));
}

TEST(History, OtherModesChangeNothing) {
  CHistoryUse use;
  for (LONG lMode : {0L, 2L, -2L, 0x7FFFFFFFL}) {
    EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/A")), lMode), S_OK);
  }
  EXPECT_EQ(AllCompartments(*gHistoryTree), std::vector<OleString>{});
}

TEST(History, CountersAreOneElementUintVectors) {
  CHistoryUse use;
  ASSERT_EQ(UpdateVersion(W(OLESTR("DS1")), 7), S_OK) << "any nonzero selector is the content";
  CScopedSafeArray counter;
  ASSERT_EQ(gHistoryTree->GetData(W(OLESTR("DS1")), kContentVersion, counter.Receive(), 0), S_OK);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(counter.Get(), &vt), S_OK);
  EXPECT_EQ(vt, VT_UINT);
  EXPECT_EQ(SafeArrayGetDim(counter.Get()), 1u);
  EXPECT_EQ(counter.Get()->rgsabound[0].cElements, 1u);
  EXPECT_EQ(counter.Get()->rgsabound[0].lLbound, 0);
  SAFEARRAY* psa = nullptr;
  EXPECT_EQ(gHistoryTree->GetData(W(OLESTR("DS1")), kCompartmentVersion, &psa, 0), E_INVALIDARG);
}

TEST(History, CountersWrapAroundAfterTheLargestValue) {
  CHistoryUse use;
  StoreCounter(OLESTR("DS1/1"), kContentVersion, MakeUints({0xFFFFFFFEu}).Get());
  StoreCounter(OLESTR("DS1/1"), kCompartmentVersion, MakeUints({0xFFFFFFFFu}).Get());
  EXPECT_EQ(UpdateVersion(W(OLESTR("DS1/1")), 1), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1/1")), Counters(S_OK, 0xFFFFFFFFu, 0xFFFFFFFFu));
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/1")), -1), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1/1")), Counters(S_OK, 0, 0));
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/1")), -1), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1/1")), Counters(S_OK, 1, 1));
}

TEST(History, GetVersionTreatsTheTwoCountersDifferently) {
  CHistoryUse use;
  ASSERT_EQ(UpdateVersion(W(OLESTR("K")), 0), S_OK);
  ASSERT_EQ(UpdateVersion(W(OLESTR("K")), 0), S_OK);
  EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 2, 0)) << "a missing content counter is 0";
  EXPECT_EQ(Versions(OLESTR("never")), Counters(S_OK, 0, 0));

  ULONG ulCompartment = 9;
  EXPECT_EQ(GetVersion(W(OLESTR("K")), &ulCompartment, nullptr), S_OK);
  EXPECT_EQ(ulCompartment, 2u);

  ASSERT_EQ(UpdateVersion(W(OLESTR("K")), 1), S_OK);
  ULONG ulContent = 9;
  CRecordingLogSink sink;
  EXPECT_EQ(GetVersion(W(OLESTR("K")), nullptr, &ulContent), E_FAIL);
  EXPECT_EQ(ulContent, 0u) << "the outputs given are written on every path";
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("GetVersion NULL == pulCompartmentVersion")));
  EXPECT_TRUE(sink.Contains(LOG_NOTABLE, OLESTR("GetVersion uiContentVersion = 0")));
}

TEST(History, WithoutTheHistoryTreeEverythingFailsAndReadsZero) {
  ASSERT_EQ(gHistoryTree.Locking(), nullptr);
  ASSERT_TRUE(NULL == gHistoryTree);
  CRecordingLogSink sink;
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), -1), E_FAIL);
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), 1), E_FAIL);
  EXPECT_EQ(UpdateVersion(W(OLESTR("DS1")), 0), E_FAIL);
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(E_FAIL, 0, 0));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("UpdateHistoryTree UpdateVersion failed")));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("UpdateVersion NULL == gHistoryTree")));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("GetVersion NULL == gHistoryTree")));
  EXPECT_TRUE(sink.Contains(LOG_EXIT, OLESTR("GetVersion hr = 0x80004005")));
  EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3")), 0), S_OK) << "nothing to do, nothing fails";
}

TEST(History, AFailedAdvanceStopsTheLongerPrefixes) {
  CHistoryUse use;
  CRecordingLogSink sink;
  {
    // Releases of the first change: DS1's new value (1), DS1/3's (2).
    CFailingReleases releases({2});
    EXPECT_EQ(UpdateHistoryTree(W(OLESTR("DS1/3/A")), 1), CFailingReleases::kFailure);
  }
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(S_OK, 0, 1));
  EXPECT_EQ(Versions(OLESTR("DS1/3")), Counters(S_OK, 0, 1))
      << "the value was stored; only its temporary could not be released";
  EXPECT_EQ(Versions(OLESTR("DS1/3/A")), Counters(S_OK, 0, 0));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("UpdateVersion zuSafeArrayDestroy failed")));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("UpdateHistoryTree UpdateVersion failed")));
}

TEST(History, UpdateVersionReportsTheLastRelease) {
  CHistoryUse use;
  ASSERT_EQ(UpdateVersion(W(OLESTR("K")), 1), S_OK);
  {
    // The old value's copy (1) fails, the new value's (2) succeeds.
    CFailingReleases releases({1});
    EXPECT_EQ(UpdateVersion(W(OLESTR("K")), 1), S_OK);
  }
  EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 0, 2));
}

TEST(History, AnUnreadableCounterIsLeftAsItIs) {
  CHistoryUse use;
  StoreCounter(OLESTR("K"), kContentVersion, MakeUints({}).Get());
  StoreCounter(OLESTR("Null"), kContentVersion, nullptr);
  CRecordingLogSink sink;
  EXPECT_EQ(UpdateVersion(W(OLESTR("K")), 1), S_OK) << "logged, then the release's result";
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("UpdateVersion SafeArrayGetElement failed")));
  CScopedSafeArray counter;
  ASSERT_EQ(gHistoryTree->GetData(W(OLESTR("K")), kContentVersion, counter.Receive(), 0), S_OK);
  EXPECT_EQ(counter.Get()->rgsabound[0].cElements, 0u) << "nothing was stored";
  EXPECT_EQ(UpdateVersion(W(OLESTR("Null")), 1), E_INVALIDARG)
      << "with nothing to release, the failed read is the last step";
}

TEST(History, ACounterOfAnotherElementSizeIsNotReadIntoOne) {
  CHistoryUse use;
  // Eight-byte elements: reading one into a 32-bit counter would overrun it.
  CScopedSafeArray wide(SafeArrayCreateVector(VT_R8, 0, 1));
  ASSERT_NE(wide.Get(), nullptr);
  StoreCounter(OLESTR("K"), kCompartmentVersion, wide.Get());
  StoreCounter(OLESTR("K"), kContentVersion, wide.Get());
  EXPECT_EQ(UpdateVersion(W(OLESTR("K")), 0), S_OK);
  EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 0, 0));
}

TEST(History, AnUnreadableCompartmentCounterEndsTheReading) {
  CHistoryUse use;
  StoreCounter(OLESTR("K"), kCompartmentVersion, MakeUints({}).Get());
  StoreCounter(OLESTR("K"), kContentVersion, MakeUints({5}).Get());
  CRecordingLogSink sink;
  // The failed read is the result only until the copy is released.
  EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 0, 0));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("GetVersion SafeArrayGetElement failed")));

  StoreCounter(OLESTR("L"), kCompartmentVersion, MakeUints({4}).Get());
  StoreCounter(OLESTR("L"), kContentVersion, MakeUints({}).Get());
  EXPECT_EQ(Versions(OLESTR("L")), Counters(S_OK, 4, 0));
}

TEST(History, GetVersionRetriesAFailedReleaseOnce) {
  CHistoryUse use;
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("K")), -1), S_OK);
  {
    CRecordingLogSink sink;
    CFailingReleases releases({2});
    EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 1, 1));
    EXPECT_EQ(releases.Calls(), 3);
    size_t cFailures = 0;
    for (const auto& text : sink.Texts()) {
      cFailures += text == OLESTR("GetVersion zuSafeArrayDestroy failed");
    }
    EXPECT_EQ(cFailures, 1u);
  }
  {
    CRecordingLogSink sink;
    CFailingReleases releases({2, 3});
    EXPECT_EQ(Versions(OLESTR("K")), Counters(CFailingReleases::kFailure, 1, 1))
        << "a second failure is reported, and nothing is tried a third time";
    EXPECT_EQ(releases.Calls(), 3);
  }
  {
    CFailingReleases releases({1, 2});
    EXPECT_EQ(Versions(OLESTR("K")), Counters(S_OK, 1, 1))
        << "the later release of the other copy sets the result";
  }
}

TEST(History, TheTreeLivesWhileAnyManagerHoldsAUse) {
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  CAbstractTree* pFirst = gHistoryTree;
  ASSERT_NE(pFirst, nullptr);
  ASSERT_EQ(UpdateHistoryTree(W(OLESTR("DS1")), -1), S_OK);
  ASSERT_EQ(AcquireHistoryTree(), S_OK);
  EXPECT_EQ(static_cast<CAbstractTree*>(gHistoryTree), pFirst) << "the second use shares it";

  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(S_OK, 1, 1)) << "one ending breaks nothing";
  ASSERT_EQ(ReleaseHistoryTree(), S_OK);
  EXPECT_TRUE(NULL == gHistoryTree);
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(E_FAIL, 0, 0));

  CRecordingLogSink sink;
  EXPECT_EQ(ReleaseHistoryTree(), E_FAIL);
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("ReleaseHistoryTree no use held")));

  CHistoryUse fresh;
  EXPECT_EQ(Versions(OLESTR("DS1")), Counters(S_OK, 0, 0)) << "a new tree starts at zero";
  secwstring sTreeId;
  EXPECT_EQ(gHistoryTree->GetTreeId(sTreeId), S_OK);
  EXPECT_EQ(O(sTreeId), OLESTR("History"));
}

TEST(History, OnlyTheHistoryTreeIsTheHistoryTree) {
  CMemoryTree store(W(OLESTR("History")));
  EXPECT_FALSE(IsHistoryTree(&store));
  CHistoryUse use;
  EXPECT_TRUE(IsHistoryTree(gHistoryTree));
  EXPECT_TRUE(IsHistoryTree(gHistoryTree.Locking()->Inner()));
  EXPECT_FALSE(IsHistoryTree(&store)) << "a store named like it is still a store";
  EXPECT_FALSE(IsHistoryTree(nullptr));
}

}  // namespace
