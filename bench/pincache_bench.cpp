// The cost of the PIN store as its clients pay it: SetPIN followed by GetPIN
// of one 8-byte PIN through IAuthStore (the object's trust check, the lock,
// records in the memory tree, protection, the timer restarted by both
// calls, and the strings and value array the client allocates for each call
// and the object releases), against the protection round trip of the same
// bytes alone (EncryptValue and DecryptValue), which every store and read
// of a PIN pays. The client is a trusted process of the scripted machine,
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

#include "pincache/pin_calls.h"
#include "ratio_reporter.h"
#include "security/protect.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

constexpr ULONG kPINBytes = 8;
constexpr ULONG kClient = 1001;  // a trusted process of session 1

CScopedSafeArray MakePIN() {
  CScopedSafeArray pin(SafeArrayCreateVector(VT_UI1, 0, kPINBytes));
  if (pin.Get() != nullptr) {
    for (ULONG i = 0; i < kPINBytes; ++i) static_cast<BYTE*>(pin.Get()->pvData)[i] = '0' + i;
  }
  return pin;
}

// A started store on the scripted machine, its client calls going through
// IAuthStore with the arguments the object takes over (no manager came from
// the export). Without scripted timers the real timer service runs the
// PINs' timers on the scripted clock.
struct SClient : SPINWorld {
  explicit SClient(bool bScriptedTimers = true) {
    if (!bScriptedTimers) timers.reset();
    bStarted = SUCCEEDED(pStore->Begin(CScopedBSTR(SysAllocString(OLESTR("{PIN}"))).Get()));
  }
  ~SClient() {
    pStore->End();
    pStore->Release();
  }
  LONG Set() {
    SAFEARRAY* pValue = nullptr;
    CScopedBSTR session;
    LONG lRetVal = E_FAIL;
    if (FAILED(SafeArrayCopy(pin.Get(), &pValue)) ||
        FAILED(pClient->SetPIN(kClient, SysAllocString(OLESTR("Card")),
                               SysAllocString(OLESTR("User")), pValue, nullptr, session.Receive(),
                               &lRetVal))) {
      return E_FAIL;
    }
    return lRetVal;
  }
  LONG Get() {
    CScopedSafeArray value;
    CScopedBSTR session;
    INT nState = 0;
    LONG lRetVal = E_FAIL;
    if (FAILED(pClient->GetPIN(kClient, SysAllocString(OLESTR("Card")),
                               SysAllocString(OLESTR("User")), nullptr, value.Receive(),
                               session.Receive(), &nState, &lRetVal))) {
      return E_FAIL;
    }
    if (lRetVal == S_OK &&
        (value.Get() == nullptr || value.Get()->rgsabound[0].cElements != kPINBytes)) {
      return E_FAIL;
    }
    benchmark::DoNotOptimize(value.Get());
    return lRetVal;
  }
  size_t Identifiers() { return pStore->Internal().PINSessionCount(); }

  CAuthStore* const pStore = new CAuthStore;
  IAuthStore* const pClient = pStore;
  const CScopedSafeArray pin = MakePIN();
  bool bStarted = false;
};

void BM_SetGetPIN(benchmark::State& state) {
  SClient client;
  if (!client.bStarted) state.SkipWithError("Begin failed");
  for (auto _ : state) {
    if (client.Set() != S_OK || client.Get() != S_OK) {
      state.SkipWithError("PIN store call failed");
      break;
    }
  }
  state.counters["identifiers"] = static_cast<double>(client.Identifiers());
}

void BM_SetPINOneRecord(benchmark::State& state) {
  SClient client;
  if (!client.bStarted) state.SkipWithError("Begin failed");
  for (auto _ : state) {
    if (client.Set() != S_OK) {
      state.SkipWithError("SetPIN failed");
      break;
    }
  }
  state.counters["identifiers"] = static_cast<double>(client.Identifiers());
}

// state.range(0): the timeout setting (0x80000000: no expiry).
void BM_GetPIN(benchmark::State& state) {
  SClient client(false);
  client.settings.Set(OLESTR("Kelmyr.Authentication.Timeout"), state.range(0));
  if (!client.bStarted || client.Set() != S_OK) state.SkipWithError("SetPIN failed");
  for (auto _ : state) {
    if (client.Get() != S_OK) {
      state.SkipWithError("GetPIN failed");
      break;
    }
  }
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
      {{"PIN store set+get through IAuthStore / protection round trip", "BM_SetGetPIN/process_time",
        "BM_ProtectRoundTrip/process_time"},
       {"read re-arming a timer / read with no expiry", "BM_GetPIN/expiring/2/process_time",
        "BM_GetPIN/lasting/2147483648/process_time"}});
}
