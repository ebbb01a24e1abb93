// Clients of a per-session memory store and of a registry store, one thread
// per terminal session, while the session monitor's calls flush sessions and
// take them away and back. Afterwards every write that no flush can have
// removed reads back: on the per-session store, a write no flush of its own
// session started after; on the registry store, shared by all sessions, a
// write no flush at all started after.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "common/scripted_call_context.h"
#include "common/scripted_machine.h"
#include "datastore/datastore.h"
#include "datastore/storeownership.h"
#include "support/scopedbstr.h"
#include "trees/tree_test_util.h"

namespace {

constexpr DWORD kSessions = 3;
constexpr int kFlushRounds = 24;
constexpr int kWritesAfterFlushes = 16;

std::vector<BYTE> Value(DWORD dwSession, int i) {
  return {static_cast<BYTE>(dwSession), static_cast<BYTE>(i), static_cast<BYTE>(i >> 8)};
}

struct SStore {
  ULONG nType;
  BOOL bShared;
  CDataStore* p = new CDataStore;
  // Flushes started and returned, per session (index 0 for a shared store,
  // which every session's flush empties).
  std::array<std::atomic<int>, kSessions + 1> started{}, completed{};
  std::atomic<int>& Started(DWORD s) { return started[bShared ? 0 : s]; }
  std::atomic<int>& Completed(DWORD s) { return completed[bShared ? 0 : s]; }
};

struct SWrite {
  SStore* pStore;
  DWORD dwSession;
  int i;
  int cFlushesBefore;  // flushes of its part returned before it started
};

TEST(DataStoreConcurrencyTest, WritesSurviveAllButTheirFlushes) {
  CScriptedMachine machine;
  CScriptedCallContext context;
  context.bSecurityEnabled = VARIANT_FALSE;  // the low-integrity clients are trusted
  machine.pCallContext = &context;
  for (DWORD s = 1; s <= kSessions; ++s) {
    machine.Process(1000 + s) = {.dwIntegrityRid = SECURITY_MANDATORY_LOW_RID, .dwSessionId = s};
  }
  gpDataStoreManager = reinterpret_cast<IDataStoreManager*>(&machine);
  CHistoryUse history;
  SStore stores[] = {{.nType = 0, .bShared = FALSE}, {.nType = 1, .bShared = TRUE}};
  for (SStore& store : stores) {
    const CScopedBSTR id = Bstr("KelmyrConcurrency" + std::to_string(GetCurrentProcessId()));
    ASSERT_EQ(store.p->Internal().Begin(id.Get(), store.nType, FALSE, store.bShared, U("P")), S_OK);
  }

  std::atomic<bool> bFlushesDone{false};
  std::vector<std::vector<SWrite>> written(kSessions + 1);
  std::vector<std::thread> clients;
  for (DWORD s = 1; s <= kSessions; ++s) {
    clients.emplace_back([&, s] {
      const CScopedBSTR c = Bstr("C" + std::to_string(s));
      for (int i = 0, left = kWritesAfterFlushes; left > 0; ++i) {
        if (bFlushesDone) --left;
        const CScopedBSTR d = Bstr("d" + std::to_string(i));
        for (SStore& store : stores) {
          const int cBefore = store.Completed(s);
          LONG lRet = E_UNEXPECTED;
          store.p->SetData(1000 + s, c.Get(), d.Get(), MakeBytes(Value(s, i)).Get(), &lRet);
          if (lRet == S_OK) written[s].push_back({&store, s, i, cBefore});
          CScopedSafeArray out;
          store.p->GetData(1000 + s, c.Get(), d.Get(), out.Receive(), &lRet);
        }
      }
    });
  }
  for (int r = 0; r < kFlushRounds; ++r) {
    const DWORD s = 1 + r % kSessions;
    for (SStore& store : stores) {
      store.p->Internal().SetAvailabilityStoreFromSessionId(s, FALSE);
      ++store.Started(s);
      store.p->Internal().FlushStoreFromSessionId(s);
      ++store.Completed(s);
      store.p->Internal().SetAvailabilityStoreFromSessionId(1 + s % kSessions, TRUE);
    }
  }
  for (SStore& store : stores) {
    for (DWORD s = 1; s <= kSessions; ++s) {
      store.p->Internal().SetAvailabilityStoreFromSessionId(s, TRUE);
    }
  }
  bFlushesDone = true;
  for (std::thread& client : clients) client.join();

  std::map<SStore*, int> checked;
  for (const std::vector<SWrite>& writes : written) {
    for (const SWrite& w : writes) {
      if (w.cFlushesBefore != w.pStore->Started(w.dwSession)) continue;
      ++checked[w.pStore];
      const CScopedBSTR c = Bstr("C" + std::to_string(w.dwSession));
      const CScopedBSTR d = Bstr("d" + std::to_string(w.i));
      CScopedSafeArray out;
      LONG lRet = E_UNEXPECTED;
      w.pStore->p->GetData(1000 + w.dwSession, c.Get(), d.Get(), out.Receive(), &lRet);
      EXPECT_EQ(lRet, S_OK) << "type " << w.pStore->nType << " session " << w.dwSession << " item "
                            << w.i;
      if (lRet != S_OK) continue;
      const BYTE* pb = static_cast<const BYTE*>(out.Get()->pvData);
      EXPECT_EQ(std::vector<BYTE>(pb, pb + out.Get()->rgsabound[0].cElements),
                Value(w.dwSession, w.i));
    }
  }
  for (SStore& store : stores) {
    EXPECT_GT(checked[&store], 0) << "type " << store.nType;
    store.p->Internal().FlushStore(1001);
    store.p->Internal().End();
    store.p->Release();
  }
  gpDataStoreManager = nullptr;
}

}  // namespace
