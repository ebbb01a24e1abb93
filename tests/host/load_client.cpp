// One client process of the load test, with its own store managers from the
// export of the module it loads, calling on behalf of a low-integrity child of
// its own.
//
//   load_client <index> <milliseconds> <report file> <command> [<index>:<count>
//   ...]
//
// For a bounded time writes items "p<index>-<n>" to the shared registry store
// and reads each back, stores and reads a PIN every few rounds and flushes
// the memory stores and the PIN store now and then; a tenth into the run it
// starts the command (the test's, ending the child's login session). Then it
// reads back every item it wrote and every item of the earlier runs named,
// and writes its figures to the report file as CMake variables. Exit 1 on a
// lost write, a leaked handle, a failed flush or a PIN call neither served
// nor refused.
#include <windows.h>

#include <oleauto.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "serviceclient.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

constexpr int kPinEvery = 8;     // rounds between PIN store calls
constexpr int kFlushEvery = 64;  // rounds between flushes
using Clock = std::chrono::steady_clock;

struct Counts {
  unsigned long writes = 0, lost = 0, calls = 0, pinFailed = 0, pinRefused = 0, pinGone = 0,
                pinWrong = 0, flushFailed = 0, timedCalls = 0;  // calls until end
  bool bPinCached = false;  // the last PIN stored, not flushed by this client since
  bool bRefused = false;    // the last PIN call was refused
  Clock::time_point end;    // of the last run of rounds
};

CScopedSafeArray Bytes(const std::string& text) {
  CScopedSafeArray psa(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size())));
  if (psa.Get() != nullptr) std::memcpy(psa.Get()->pvData, text.data(), text.size());
  return psa;
}

std::string Text(SAFEARRAY* psa) {
  return psa ? std::string(static_cast<const char*>(psa->pvData), psa->rgsabound[0].cElements)
             : "-";
}

std::string Item(unsigned long index, unsigned long n) {
  return "p" + std::to_string(index) + "-" + std::to_string(n);
}

// Whether the item holds its own name, so a read proves which write it saw.
// A read lists the compartment's values first and answers E_UNEXPECTED when
// another writer added one meanwhile; such a read is tried again.
void ReadBack(IDataStore* pStore, ULONG ulPID, const std::string& item, Counts& c) {
  CScopedSafeArray value;
  LONG lRet = E_UNEXPECTED;
  for (int i = 0; lRet == E_UNEXPECTED && i < 100; ++i, ++c.calls) {
    pStore->GetData(ulPID, Bstr("Load").Get(), Bstr(item).Get(), value.Receive(), &lRet);
  }
  if ((FAILED(lRet) || Text(value.Get()) != item) && ++c.lost <= 5) {
    std::fprintf(stderr, "%s does not read back: 0x%08X\n", item.c_str(), unsigned(lRet));
  }
}

std::string PinOf(unsigned long round) { return std::to_string(1000 + round % 9000); }

// Reads the PIN of the previous PIN round, then stores this round's. Once
// the child's session has ended (left "closing"), the session monitor
// flushes the session's PINs and the PIN store refuses the session (E_FAIL)
// for the time-out the catalogue sets, after which the PIN stored before the
// end is gone (E_INVALIDARG). A PIN that reads back different is a fault;
// a refused SetPIN leaves the PIN before the one to look for.
void PinRound(IAuthStore* pPins, ULONG ulPID, unsigned long round, Counts& c) {
  CScopedBSTR compartment = Bstr("Load"), id = Bstr("pin"), session;
  CScopedSafeArray read;
  LONG lGet = E_FAIL, lSet = E_FAIL;
  INT nState = 0;
  pPins->GetPIN(ulPID, compartment.Get(), id.Get(), nullptr, read.Receive(), session.Receive(),
                &nState, &lGet);
  pPins->SetPIN(ulPID, compartment.Get(), id.Get(), Bytes(PinOf(round)).Get(), nullptr,
                session.Receive(), &lSet);
  c.calls += 2;
  c.bRefused = lGet == E_FAIL;
  c.pinRefused += (lGet == E_FAIL) + (lSet == E_FAIL);
  c.pinGone += c.bPinCached && lGet == E_INVALIDARG;
  c.pinWrong += c.bPinCached && lGet != E_FAIL && lGet != E_INVALIDARG &&
                Text(read.Get()) != PinOf(round - kPinEvery);
  c.pinFailed +=
      (FAILED(lSet) && lSet != E_FAIL) + (FAILED(lGet) && lGet != E_FAIL && lGet != E_INVALIDARG);
  if (lSet != E_FAIL) c.bPinCached = SUCCEEDED(lSet);
}

// One manager of this process, with the registry store and its PIN store:
// up to maxRounds rounds until the deadline, starting the command at endAt;
// then every item this process wrote and the items named ("<index>:<count>")
// read back.
HRESULT Hammer(const CServiceClient& client, unsigned long index, unsigned long maxRounds,
               Clock::time_point endAt, Clock::time_point deadline, const char* pszEnd, Counts& c,
               std::vector<std::string> check = {}) {
  const ULONG ulPID = client.Pid();
  c.bPinCached = false;  // a new manager, a new PIN store
  IDataStoreManager* pManager = nullptr;
  HRESULT hr = client.NewManager(&pManager);
  if (FAILED(hr)) return client.Fail("CreateIDataStoreManagerInstance", hr), hr;
  IDataStore* pStore = nullptr;
  IAuthStore* pPins = nullptr;
  LONG lRet = E_FAIL, lPins = E_FAIL;
  pManager->GetDataStore(ulPID, Bstr("MachineSettings").Get(), &pStore, &lRet);  // registry
  pManager->GetAuthStore(ulPID, Bstr("{29BE165D-F06B-4E91-BE91-3B997E994683}").Get(), &pPins,
                         &lPins);
  hr = FAILED(lRet) ? lRet : lPins;
  for (unsigned long round = 0; SUCCEEDED(hr) && round < maxRounds && Clock::now() < deadline;
       ++round) {
    if (Clock::now() >= endAt)
      endAt = Clock::time_point::max(), std::system((std::string(pszEnd) + " &").c_str());
    const std::string item = Item(index, c.writes);
    pStore->SetData(ulPID, Bstr("Load").Get(), Bstr(item).Get(), Bytes(item).Get(), &lRet);
    ++c.calls;
    if (FAILED(hr = lRet)) break;
    ++c.writes;
    ReadBack(pStore, ulPID, item, c);
    if (round % kPinEvery == 0) PinRound(pPins, ulPID, round, c);
    if (round % kFlushEvery == 0) {
      // Only memory stores have this product. The PIN store is not flushed
      // while it refuses the session, so that what the session's end did
      // shows when it serves the session again.
      LONG lData = E_FAIL, lAuth = S_OK;
      pManager->FlushDataStores(ulPID, Bstr("Tallis").Get(), &lData);
      if (!c.bRefused) pManager->FlushAuthStores(ulPID, &lAuth);
      c.calls += c.bRefused ? 1 : 2;
      c.flushFailed += FAILED(lData) + FAILED(lAuth);
      c.bPinCached = c.bPinCached && c.bRefused;
    }
  }
  c.end = Clock::now(), c.timedCalls = c.calls;
  check.push_back(std::to_string(index) + ":" + std::to_string(c.writes));
  for (const std::string& run : check) {
    const unsigned long count = std::strtoul(run.c_str() + run.find(':') + 1, nullptr, 10);
    for (unsigned long n = 0; SUCCEEDED(hr) && n < count; ++n) {
      ReadBack(pStore, ulPID, Item(std::strtoul(run.c_str(), nullptr, 10), n), c);
    }
  }
  if (FAILED(hr)) client.Fail(FAILED(lRet) ? "GetDataStore or SetData" : "GetAuthStore", hr);
  if (pStore != nullptr) pStore->Release();
  if (pPins != nullptr) pPins->Release();
  pManager->Release();
  return hr;
}

long OpenHandles() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                       std::filesystem::directory_iterator());
}

}  // namespace

int main(int argc, char** argv) {
  CServiceClient client("load");
  KelmyrArgs low{"--low", "--module", KELMYR_MODULE_PATH};
  int exitCode = 1;
  if (argc < 5 || !client.TakeOptions(low, &exitCode) || !client.Load()) return 2;
  const unsigned long index = std::strtoul(argv[1], nullptr, 10);
  // A first manager, for one round, opens what the process keeps for later
  // managers: the hive's connection and the callers' status files.
  Counts c;
  const auto never = Clock::time_point::max();
  if (FAILED(Hammer(client, index, 1, never, never, argv[4], c))) return 1;
  const long handlesBefore = OpenHandles();
  const auto length = std::chrono::milliseconds(std::strtol(argv[2], nullptr, 10));
  const auto start = Clock::now();
  const HRESULT hr = Hammer(client, index, ULONG_MAX, start + length / 10, start + length, argv[4],
                            c, {argv + 5, argv + argc});
  const double seconds = std::chrono::duration<double>(c.end - start).count();
  const long handlesAfter = OpenHandles();
  std::ofstream(argv[3]) << "set(writes " << c.writes << ")\nset(ops "
                         << std::lround(c.timedCalls / seconds) << ")\nset(refused " << c.pinRefused
                         << ")\nset(gone " << c.pinGone << ")\nset(faults \"PIN calls failed "
                         << c.pinFailed << ", PINs read back wrong " << c.pinWrong
                         << ", flushes failed " << c.flushFailed << ", lost " << c.lost
                         << ", handles " << handlesBefore << " -> " << handlesAfter << "\")\n";
  // In a login session (ended or not) a PIN call is served or refused.
  DWORD dwSession = 0;
  const bool bPinsServed = !ProcessIdToSessionId(client.Pid(), &dwSession) || c.pinFailed == 0;
  return !(SUCCEEDED(hr) && c.lost + c.flushFailed + c.pinWrong == 0 && bPinsServed &&
           handlesAfter == handlesBefore);
}
