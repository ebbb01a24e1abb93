// The shared history tree reached from the threads of several stores at once,
// as the stores of one or two managers reach it: every advance must count,
// readers must never see a counter go back, and the re-entrant read of the
// history tree's own IsCompartmentCached must not block.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tree_test_util.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 300;

// One store's worth of work on its own tree, named like every other store
// (two managers in one process hold stores of the same names).
void StoreThread(int t, std::atomic<int>& failures) {
  CMemoryTree tree(U("DS1"));
  const std::string sSession = std::to_string(t + 1);
  const secwstring sMine = U("DS1/shared/" + sSession);
  const secwstring sShared = U("DS1/shared");
  const secwstring sLeaf = U(sSession + "/C/D");
  const secwstring sParent = U(sSession + "/C");
  CScopedSafeArray value = MakeBytes({1, 2, 3});
  ULONG ulLastSeen = 0;
  for (int round = 0; round < kRounds; ++round) {
    // Uses come and go while the test's own is held: the tree stays.
    bool bOk = AcquireHistoryTree() == S_OK;
    bOk &= UpdateHistoryTree(sMine, 1) == S_OK;
    bOk &= UpdateHistoryTree(sShared, -1) == S_OK;
    bOk &= tree.SetData(sLeaf, U("x"), value.Get(), 0, FALSE) == S_OK;
    bOk &= tree.RemoveCompartment(sParent, TRUE, 0) == S_OK;

    ULONG ulCompartment = 0;
    ULONG ulContent = 0;
    BOOL bCached = TRUE;
    bOk &= tree.IsCompartmentCached(sParent, &ulCompartment, &ulContent, &bCached, 0) == S_OK;
    bOk &= bCached == FALSE;
    bOk &=
        gHistoryTree->IsCompartmentCached(sShared, &ulCompartment, &ulContent, &bCached, 0) == S_OK;
    bOk &= bCached == TRUE && ulContent >= ulLastSeen && ulCompartment <= ulContent;
    ulLastSeen = ulContent;
    bOk &= ReleaseHistoryTree() == S_OK;
    if (!bOk) ++failures;
  }
}

TEST(HistoryConcurrency, EveryAdvanceFromEveryThreadCounts) {
  CHistoryUse use;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(StoreThread, t, std::ref(failures));
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  const ULONG ulAll = kThreads * kRounds;
  EXPECT_EQ(Versions("DS1/shared"), VersionText(S_OK, ulAll, 2 * ulAll));
  for (int t = 0; t < kThreads; ++t) {
    const std::string sSession = std::to_string(t + 1);
    EXPECT_EQ(Versions("DS1/shared/" + sSession), VersionText(S_OK, 0, kRounds)) << t;
    EXPECT_EQ(Versions("DS1/" + sSession + "/C/D"), VersionText(S_OK, kRounds, kRounds))
        << "each removal advanced the removed descendant";
  }
}

}  // namespace
