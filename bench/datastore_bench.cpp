// The cost of the data store interface: SetData followed by GetData of one
// 32-byte value through IDataStore, against the same two calls on a bare
// memory tree (CMemoryTree), for a plain and an encrypted memory store.
//
// The store calls run the real caller trust check of this machine, and a
// per-session store also its real session lookup. The client they name is
// a child process at low integrity (NoNewPrivs set, no capabilities, a
// non-root user), which the trust check accepts; the bench itself keeps its
// own integrity, which decides the tree a store chooses. A per-session
// store resolves the client's terminal session, which a non-root process
// outside a login session does not have (as on build machines without
// logind): the stores measured here are therefore shared between user
// sessions, and the per-session store is measured only where its probe
// call succeeds; the bench prints which.
//
// The caller keeps its arguments, as a client of the exported factory does.
// The plain store is measured a second time late-bound, through
// IDispatch::Invoke as a script client calls it, against its vtable.
// Two further baselines show the share of the trust check (two calls, one
// per interface call) and of the bare session lookup.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_folder.h"
#include "datastore/datastore.h"
#include "datastore/storeownership.h"
#include "ratio_reporter.h"
#include "security/checkclient.h"
#include "serviceclient.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "trees/history.h"
#include "trees/memorytree.h"

namespace {

constexpr ULONG kValueBytes = 32;
constexpr OLECHAR kCompartment[] = OLESTR("Bench");
constexpr OLECHAR kItem[] = OLESTR("Item");

struct CBench {
  // Its "--low" child is the client the calls name; it waits until the bench ends.
  CServiceClient client{"bench"};
  CScopedBSTR bstrCompartment{SysAllocString(kCompartment)};
  CScopedBSTR bstrItem{SysAllocString(kItem)};
  CScopedSafeArray value{SafeArrayCreateVector(VT_UI1, 0, kValueBytes)};
  CMemoryTree tree{secwstring(OLESTR("BenchTree"))};
  std::vector<CDataStore*> stores;
};

CBench* gpBench = nullptr;

CDataStore* StartStore(const OLECHAR* pszId, BOOL bEncrypted, BOOL bShared) {
  CDataStore* pStore = new CDataStore;
  CScopedBSTR bstrId(SysAllocString(pszId));
  pStore->Internal().Begin(bstrId.Get(), 0, bEncrypted, bShared, secwstring(OLESTR("Bench")));
  gpBench->stores.push_back(pStore);
  return pStore;
}

// One SetData through the interface; its outcome.
LONG ProbeSetData(IDataStore* pStore) {
  LONG lRet = E_UNEXPECTED;
  pStore->SetData(gpBench->client.Pid(), gpBench->bstrCompartment.Get(), gpBench->bstrItem.Get(),
                  gpBench->value.Get(), &lRet);
  return lRet;
}

void TreeSetGet(benchmark::State& state) {
  CBench& b = *gpBench;
  for (auto _ : state) {
    benchmark::DoNotOptimize(b.tree.SetData(kCompartment, kItem, b.value.Get(), 0, FALSE));
    CScopedSafeArray out;
    benchmark::DoNotOptimize(b.tree.GetData(kCompartment, kItem, out.Receive(), 0));
  }
}

void StoreSetGet(benchmark::State& state, IDataStore* pStore) {
  CBench& b = *gpBench;
  const ULONG ulPID = b.client.Pid();
  for (auto _ : state) {
    LONG lSet = 0;
    pStore->SetData(ulPID, b.bstrCompartment.Get(), b.bstrItem.Get(), b.value.Get(), &lSet);
    CScopedSafeArray out;
    LONG lGet = 0;
    pStore->GetData(ulPID, b.bstrCompartment.Get(), b.bstrItem.Get(), out.Receive(), &lGet);
    if (lSet != S_OK || lGet != S_OK) {
      state.SkipWithError("a store call failed");
      break;
    }
  }
}

// The dispatch identifiers are looked up once, as a client that caches them
// does; every call builds its variants afresh.
void DispatchSetGet(benchmark::State& state, IDataStore* pStore) {
  CBench& b = *gpBench;
  LPOLESTR names[] = {const_cast<LPOLESTR>(OLESTR("SetData")),
                      const_cast<LPOLESTR>(OLESTR("GetData"))};
  DISPID ids[2] = {};
  for (int i = 0; i < 2; ++i) {
    if (pStore->GetIDsOfNames(IID_NULL, &names[i], 1, LOCALE_USER_DEFAULT, &ids[i]) != S_OK) {
      state.SkipWithError("GetIDsOfNames failed");
      return;
    }
  }
  for (auto _ : state) {
    // Last argument first: the value (given, or received), item, compartment, client.
    VARIANTARG args[4];
    for (VARIANTARG& arg : args) VariantInit(&arg);
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = b.bstrItem.Get();
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = b.bstrCompartment.Get();
    V_VT(&args[3]) = VT_UI4;
    V_UI4(&args[3]) = b.client.Pid();
    V_VT(&args[0]) = VT_ARRAY | VT_UI1;
    V_ARRAY(&args[0]) = b.value.Get();
    DISPPARAMS params = {args, nullptr, 4, 0};
    VARIANT set, get;
    VariantInit(&set);
    VariantInit(&get);
    pStore->Invoke(ids[0], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &set, nullptr,
                   nullptr);
    CScopedSafeArray out;
    V_VT(&args[0]) = VT_BYREF | VT_ARRAY | VT_UI1;
    V_ARRAYREF(&args[0]) = out.Receive();
    pStore->Invoke(ids[1], IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &get, nullptr,
                   nullptr);
    if (V_VT(&set) != VT_I4 || V_I4(&set) != S_OK || V_VT(&get) != VT_I4 || V_I4(&get) != S_OK ||
        out.Get() == nullptr) {
      state.SkipWithError("a late-bound store call failed");
      break;
    }
  }
}

void TrustCheckTwice(benchmark::State& state) {
  const ULONG ulPID = gpBench->client.Pid();
  for (auto _ : state) {
    BOOL bTrusted = FALSE;
    benchmark::DoNotOptimize(CheckClientCaller(ulPID, &bTrusted));
    benchmark::DoNotOptimize(CheckClientCaller(ulPID, &bTrusted));
  }
}

void SessionLookup(benchmark::State& state) {
  const ULONG ulPID = gpBench->client.Pid();
  for (auto _ : state) {
    DWORD dwSessionId = 0;
    benchmark::DoNotOptimize(ProcessIdToSessionId(ulPID, &dwSessionId));
  }
}

// Registers what this machine lets the client reach, and runs it.
int Measure(int argc, char** argv) {
  const ULONG ulPID = gpBench->client.Pid();
  IDataStore* pPlain = StartStore(OLESTR("BenchPlain"), FALSE, TRUE);
  IDataStore* pEncrypted = StartStore(OLESTR("BenchEncrypted"), TRUE, TRUE);
  IDataStore* pPerSession = StartStore(OLESTR("BenchPerSession"), FALSE, FALSE);
  const LONG lPlain = ProbeSetData(pPlain);
  // The first protection creates the keys, outside the measurements.
  const LONG lEncrypted = ProbeSetData(pEncrypted);
  const LONG lPerSession = ProbeSetData(pPerSession);
  DWORD dwSessionId = 0;
  const BOOL bSession = ProcessIdToSessionId(ulPID, &dwSessionId);
  const DWORD dwSessionError = bSession ? 0 : GetLastError();
  std::printf(
      "client pid %u: SetData 0x%x on the plain store, 0x%x on the encrypted one, 0x%x on the "
      "per-session one; ProcessIdToSessionId %s (error %u)\n",
      ulPID, static_cast<unsigned>(lPlain), static_cast<unsigned>(lEncrypted),
      static_cast<unsigned>(lPerSession), bSession ? "succeeds" : "fails",
      static_cast<unsigned>(dwSessionError));
  if (lPlain != S_OK || lEncrypted != S_OK) return 1;

  benchmark::RegisterBenchmark("TreeSetGet", TreeSetGet);
  benchmark::RegisterBenchmark("StoreSetGet/plain", StoreSetGet, pPlain);
  benchmark::RegisterBenchmark("StoreSetGet/encrypted", StoreSetGet, pEncrypted);
  benchmark::RegisterBenchmark("DispatchSetGet/plain", DispatchSetGet, pPlain);
  benchmark::RegisterBenchmark("TrustCheckTwice", TrustCheckTwice);
  benchmark::RegisterBenchmark("SessionLookup", SessionLookup);
  std::vector<CBenchRatio> ratios = {
      {"SetData+GetData, plain store / memory tree", "StoreSetGet/plain", "TreeSetGet"},
      {"SetData+GetData, encrypted store / memory tree", "StoreSetGet/encrypted", "TreeSetGet"},
      {"SetData+GetData, plain store, Invoke / vtable", "DispatchSetGet/plain",
       "StoreSetGet/plain"},
      {"two trust checks / memory tree", "TrustCheckTwice", "TreeSetGet"},
      {bSession ? "one session lookup / memory tree"
                : "one session lookup (failing here) / memory tree",
       "SessionLookup", "TreeSetGet"}};
  if (lPerSession == S_OK) {
    benchmark::RegisterBenchmark("StoreSetGet/per-session", StoreSetGet, pPerSession);
    ratios.push_back({"SetData+GetData, per-session store / memory tree", "StoreSetGet/per-session",
                      "TreeSetGet"});
  } else {
    std::printf("per-session store not measured: the client has no terminal session here\n");
  }
  return RunWithRatios(argc, argv, ratios);
}

}  // namespace

int main(int argc, char** argv) {
  // Logging off, as in a host without a log file; a hive and keys of the
  // run's own.
  qvlogSetLevelMask(0);
  const CBenchFolder folder("kelmyr-datastore-bench", true);
  if (folder.Path().empty()) return 1;
  if (FAILED(AcquireHistoryTree())) return 1;
  char dummyManager = 0;
  gpDataStoreManager.store(reinterpret_cast<IDataStoreManager*>(&dummyManager));

  int result = 1;
  {
    CBench bench;
    gpBench = &bench;
    KelmyrArgs low{"--low"};
    int exitCode = 1;
    if (bench.client.TakeOptions(low, &exitCode)) result = Measure(argc, argv);
    for (CDataStore* pStore : bench.stores) {
      pStore->Internal().End();
      pStore->Release();
    }
    gpBench = nullptr;
  }
  gpDataStoreManager.store(nullptr);
  ReleaseHistoryTree();
  return result;
}
