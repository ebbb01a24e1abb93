// The cost of the PIN store: SetPIN followed by GetPIN of one 8-byte PIN in
// the internal store (lock, records in the memory tree, protection, the
// timer restarted by both calls), against the protection round trip of the
// same value alone (EncryptValue and DecryptValue), which every store and
// read of a PIN pays. The client's session comes from the scripted machine,
// and the scripted timers never fire while the bench runs.
//
// Every SetPIN issues a new PIN session identifier and the store forgets one
// only with its record: the counter "identifiers" shows how many it holds
// at the end (one per iteration); BM_SetPINOneRecord makes 100 000 stores
// of one record and reports the same count.
//
// A read re-arms the record's timer when PINs expire: BM_GetPIN/expiring
// reads a PIN whose timer the real timer service restarts (on the scripted
// clock, so it never fires), BM_GetPIN/lasting one stored with no expiry.
#include <benchmark/benchmark.h>

#include "common/scripted_machine.h"
#include "common/scripted_settings.h"
#include "common/scripted_timer_service.h"
#include "pincache/internalauthstore.h"
#include "ratio_reporter.h"
#include "security/protect.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "trees/history.h"

namespace {

constexpr ULONG kPINBytes = 8;
constexpr DWORD kClient = 1001;

CScopedSafeArray MakePIN() {
  CScopedSafeArray pin(SafeArrayCreateVector(VT_UI1, 0, kPINBytes));
  if (pin.Get() != nullptr) {
    for (ULONG i = 0; i < kPINBytes; ++i) static_cast<BYTE*>(pin.Get()->pvData)[i] = '0' + i;
  }
  return pin;
}

void BM_SetGetPIN(benchmark::State& state) {
  CScriptedMachine machine;
  CScriptedTimerService timers;
  machine.Process(kClient).dwSessionId = 1;
  AcquireHistoryTree();
  size_t cIdentifiers = 0;
  {
    CInternalAuthStore store;
    const CScopedBSTR id(SysAllocString(OLESTR("{PIN}")));
    const CScopedBSTR compartment(SysAllocString(OLESTR("Card")));
    const CScopedBSTR pinId(SysAllocString(OLESTR("User")));
    const CScopedSafeArray pin = MakePIN();
    if (FAILED(store.Begin(id.Get()))) state.SkipWithError("Begin failed");
    for (auto _ : state) {
      CScopedBSTR session, sessionRead;
      CScopedSafeArray value;
      INT nState = 0;
      if (FAILED(store.SetPIN(kClient, compartment.Get(), pinId.Get(), pin.Get(), nullptr,
                              session.Receive())) ||
          FAILED(store.GetPIN(kClient, compartment.Get(), pinId.Get(), nullptr, value.Receive(),
                              sessionRead.Receive(), &nState))) {
        state.SkipWithError("PIN store call failed");
        break;
      }
      benchmark::DoNotOptimize(value.Get());
    }
    cIdentifiers = store.PINSessionCount();
    store.End();
  }
  ReleaseHistoryTree();
  state.counters["identifiers"] = static_cast<double>(cIdentifiers);
}

void BM_SetPINOneRecord(benchmark::State& state) {
  CScriptedMachine machine;
  CScriptedTimerService timers;
  machine.Process(kClient).dwSessionId = 1;
  AcquireHistoryTree();
  {
    CInternalAuthStore store;
    const CScopedBSTR id(SysAllocString(OLESTR("{PIN}")));
    const CScopedBSTR compartment(SysAllocString(OLESTR("Card")));
    const CScopedBSTR pinId(SysAllocString(OLESTR("User")));
    const CScopedSafeArray pin = MakePIN();
    if (FAILED(store.Begin(id.Get()))) state.SkipWithError("Begin failed");
    for (auto _ : state) {
      CScopedBSTR session;
      if (FAILED(store.SetPIN(kClient, compartment.Get(), pinId.Get(), pin.Get(), nullptr,
                              session.Receive()))) {
        state.SkipWithError("SetPIN failed");
        break;
      }
    }
    state.counters["identifiers"] = static_cast<double>(store.PINSessionCount());
    store.End();
  }
  ReleaseHistoryTree();
}

// state.range(0): the timeout setting (0x80000000: no expiry).
void BM_GetPIN(benchmark::State& state) {
  CScriptedMachine machine;
  CScriptedSettings settings;
  settings.Set(OLESTR("Kelmyr.Authentication.Timeout"), state.range(0));
  machine.Process(kClient).dwSessionId = 1;
  AcquireHistoryTree();
  {
    CInternalAuthStore store;
    const CScopedBSTR id(SysAllocString(OLESTR("{PIN}")));
    const CScopedBSTR compartment(SysAllocString(OLESTR("Card")));
    const CScopedBSTR pinId(SysAllocString(OLESTR("User")));
    const CScopedSafeArray pin = MakePIN();
    CScopedBSTR session;
    if (FAILED(store.Begin(id.Get())) ||
        FAILED(store.SetPIN(kClient, compartment.Get(), pinId.Get(), pin.Get(), nullptr,
                            session.Receive()))) {
      state.SkipWithError("SetPIN failed");
    }
    for (auto _ : state) {
      CScopedBSTR sessionRead;
      CScopedSafeArray value;
      INT nState = 0;
      if (FAILED(store.GetPIN(kClient, compartment.Get(), pinId.Get(), nullptr, value.Receive(),
                              sessionRead.Receive(), &nState))) {
        state.SkipWithError("GetPIN failed");
        break;
      }
      benchmark::DoNotOptimize(value.Get());
    }
    store.End();
  }
  ReleaseHistoryTree();
}

void BM_ProtectRoundTrip(benchmark::State& state) {
  const CScopedSafeArray pin = MakePIN();
  for (auto _ : state) {
    CScopedSafeArray sealed, clear;
    if (FAILED(EncryptValue(pin.Get(), sealed.Receive())) ||
        FAILED(DecryptValue(sealed.Get(), clear.Receive()))) {
      state.SkipWithError("protection failed");
      break;
    }
    benchmark::DoNotOptimize(clear.Get());
  }
}

}  // namespace

BENCHMARK(BM_SetGetPIN)->MeasureProcessCPUTime();
BENCHMARK(BM_ProtectRoundTrip)->MeasureProcessCPUTime();
BENCHMARK(BM_SetPINOneRecord)->Iterations(100000)->MeasureProcessCPUTime();
BENCHMARK(BM_GetPIN)->Name("BM_GetPIN/expiring")->Arg(2)->MeasureProcessCPUTime();
BENCHMARK(BM_GetPIN)->Name("BM_GetPIN/lasting")->Arg(0x80000000)->MeasureProcessCPUTime();

int main(int argc, char** argv) {
  qvlogSetLevelMask(0);
  return RunWithRatios(
      argc, argv,
      {{"PIN store set+get / protection round trip", "BM_SetGetPIN/process_time",
        "BM_ProtectRoundTrip/process_time"},
       {"read re-arming a timer / read with no expiry", "BM_GetPIN/expiring/2/process_time",
        "BM_GetPIN/lasting/2147483648/process_time"}});
}
