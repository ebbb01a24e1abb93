// One client process of the load test, with its own store manager from the
// export of the module it loads, calling on behalf of a low-integrity child of its own.
//
//   load_client run <index> <milliseconds> <report file>
//     For a bounded time writes items "p<index>-<n>" to the shared registry
//     store and reads each back, stores and reads a PIN every few rounds and
//     flushes the memory stores and the PIN store now and then. Writes the
//     figures to the report file; exit 1 on a lost write or leaked handle.
//   load_client check <index>:<count> ...
//     Reads back every item those runs completed; exit 1 on a missing one.
#include <windows.h>

#include <oleauto.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "serviceclient.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/utf8.h"

namespace {

constexpr char kStore[] = "MachineSettings";  // registry store, shared between sessions
constexpr char kCompartment[] = "Load";
constexpr int kPinEvery = 8;     // rounds between PIN store calls
constexpr int kFlushEvery = 64;  // rounds between flushes
constexpr int kReadTries = 100;
constexpr char kMemoryProduct[] = "Tallis";  // flushed: only memory stores, not kStore

CScopedBSTR Bstr(const std::string& s) {
  return CScopedBSTR(SysAllocString(Utf8ToUtf16(s).c_str()));
}

// The open descriptors, each with what it refers to.
std::map<std::string, std::string> OpenHandles() {
  std::map<std::string, std::string> handles;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::error_code ecLink;
    handles[it->path().filename().string()] = std::filesystem::read_symlink(it->path(), ecLink);
  }
  return handles;
}

std::string ItemName(unsigned long index, unsigned long n) {
  return "p" + std::to_string(index) + "-" + std::to_string(n);
}

// The item's value is its own name, so a read proves which write it saw.
HRESULT Write(IDataStore* pStore, ULONG ulPID, const std::string& item) {
  CScopedSafeArray value(SafeArrayCreateVector(VT_BSTR, 0, 1));
  CScopedBSTR text = Bstr(item);
  LONG i = 0;
  if (value.Get() == nullptr || FAILED(SafeArrayPutElement(value.Get(), &i, text.Get())))
    return E_OUTOFMEMORY;
  LONG lRet = E_FAIL;
  pStore->SetData(ulPID, Bstr(kCompartment).Get(), Bstr(item).Get(), value.Get(), &lRet);
  return lRet;
}

struct Counts {
  unsigned long writes = 0, lost = 0, calls = 0, raced = 0, pinFailed = 0, pinRefused = 0,
                pinGone = 0, pinWrong = 0, flushFailed = 0;
  bool bPinCached = false;  // the last PIN stored, not flushed by this client since
  bool bRefused = false;    // the last PIN call was refused
};

// Whether the item holds its own name. A read lists the compartment's values
// first and answers E_UNEXPECTED when another writer added one meanwhile;
// such a read is counted and tried again.
bool ReadsBack(IDataStore* pStore, ULONG ulPID, const std::string& item, Counts& c) {
  CScopedSafeArray value;
  LONG lRet = E_UNEXPECTED;
  for (int i = 0; lRet == E_UNEXPECTED && i < kReadTries; ++i) {
    pStore->GetData(ulPID, Bstr(kCompartment).Get(), Bstr(item).Get(), value.Receive(), &lRet);
    ++c.calls;
    c.raced += lRet == E_UNEXPECTED ? 1 : 0;
  }
  CScopedBSTR text;
  LONG i = 0;
  const bool bRead = SUCCEEDED(lRet) && value.Get() != nullptr &&
                     SUCCEEDED(SafeArrayGetElement(value.Get(), &i, text.Receive())) &&
                     text.Get() != nullptr && Utf16ToUtf8(text.Get()) == item;
  if (!bRead && ++c.lost <= 5) {
    std::fprintf(stderr, "%s does not read back: 0x%08lX\n", item.c_str(),
                 static_cast<unsigned long>(static_cast<ULONG>(lRet)));
  }
  return bRead;
}

std::string PinOf(unsigned long round) { return std::to_string(1000 + round % 9000); }

// Reads the PIN of the previous PIN round, then stores this round's. The
// test ends the child's session meanwhile (leaving it "closing"): the
// session monitor then flushes the session's PINs and makes the PIN store
// refuse the session (E_FAIL) for the time-out the catalogue sets, after
// which the PIN stored before the end is gone (E_INVALIDARG). A PIN that
// reads back different is a fault.
void PinRound(IAuthStore* pPins, ULONG ulPID, unsigned long round, Counts& c) {
  CScopedBSTR compartment = Bstr("Load"), id = Bstr("pin"), session;
  CScopedSafeArray read;
  LONG lGet = E_FAIL, lSet = E_FAIL;
  INT nState = 0;
  pPins->GetPIN(ulPID, compartment.Get(), id.Get(), nullptr, read.Receive(), session.Receive(),
                &nState, &lGet);
  c.bRefused = lGet == E_FAIL;
  if (lGet == E_FAIL) {
    ++c.pinRefused;
  } else if (c.bPinCached && lGet == E_INVALIDARG) {
    ++c.pinGone;
  } else if (c.bPinCached) {
    const std::string expected = PinOf(round - kPinEvery);
    void* pData = nullptr;
    LONG lUpper = -1;
    const bool bSame = SUCCEEDED(lGet) && read.Get() != nullptr &&
                       SUCCEEDED(SafeArrayGetUBound(read.Get(), 1, &lUpper)) &&
                       static_cast<size_t>(lUpper + 1) == expected.size() &&
                       SUCCEEDED(SafeArrayAccessData(read.Get(), &pData)) &&
                       std::memcmp(pData, expected.data(), expected.size()) == 0;
    if (pData != nullptr) SafeArrayUnaccessData(read.Get());
    if (!bSame && ++c.pinWrong <= 5)
      std::fprintf(stderr, "PIN of round %lu: 0x%08lX\n", round - kPinEvery,
                   static_cast<unsigned long>(static_cast<ULONG>(lGet)));
  }
  const std::string value = PinOf(round);
  CScopedSafeArray pin(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value.size())));
  void* pData = nullptr;
  if (pin.Get() != nullptr && SUCCEEDED(SafeArrayAccessData(pin.Get(), &pData))) {
    std::memcpy(pData, value.data(), value.size());
    SafeArrayUnaccessData(pin.Get());
  }
  pPins->SetPIN(ulPID, compartment.Get(), id.Get(), pin.Get(), nullptr, session.Receive(), &lSet);
  c.calls += 2;
  // Refused while the session is unavailable: the PIN before stays the one
  // to look for.
  if (lSet != E_FAIL) c.bPinCached = SUCCEEDED(lSet);
  c.pinRefused += lSet == E_FAIL ? 1 : 0;
  c.pinFailed += FAILED(lSet) && lSet != E_FAIL ? 1 : 0;
  c.pinFailed += FAILED(lGet) && lGet != E_FAIL && lGet != E_INVALIDARG ? 1 : 0;
}

// One manager of this process, with its registry store and PIN store, for
// up to maxRounds rounds or until the deadline.
HRESULT Hammer(const CServiceClient& client, unsigned long index, unsigned long maxRounds,
               std::chrono::steady_clock::time_point deadline, Counts& c) {
  const ULONG ulPID = client.Pid();
  c.bPinCached = false;  // a new manager, a new PIN store
  IDataStoreManager* pManager = nullptr;
  HRESULT hr = client.NewManager(&pManager);
  if (FAILED(hr)) {
    client.Fail("CreateIDataStoreManagerInstance", hr);
    return hr;
  }
  IDataStore* pStore = nullptr;
  IAuthStore* pPins = nullptr;
  LONG lRet = E_FAIL, lPins = E_FAIL;
  pManager->GetDataStore(ulPID, Bstr(kStore).Get(), &pStore, &lRet);
  pManager->GetAuthStore(ulPID, CScopedBSTR(SysAllocString(KELMYR_PIN_STORE_ID)).Get(), &pPins,
                         &lPins);
  hr = FAILED(lRet) ? lRet : lPins;
  if (FAILED(hr)) client.Fail(FAILED(lRet) ? "GetDataStore" : "GetAuthStore", hr);
  for (unsigned long round = 0; SUCCEEDED(hr) && round < maxRounds; ++round) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    const std::string item = ItemName(index, c.writes);
    hr = Write(pStore, ulPID, item);
    ++c.calls;
    if (FAILED(hr)) {
      client.Fail(("SetData " + item).c_str(), hr);
      break;
    }
    ++c.writes;
    ReadsBack(pStore, ulPID, item, c);
    if (round % kPinEvery == 0) PinRound(pPins, ulPID, round, c);
    if (round % kFlushEvery == 0) {
      // The PIN store is not flushed while it refuses the session, so that
      // what the session's end did shows when it serves the session again.
      LONG lData = E_FAIL, lAuth = S_OK;
      pManager->FlushDataStores(ulPID, Bstr(kMemoryProduct).Get(), &lData);
      if (!c.bRefused) pManager->FlushAuthStores(ulPID, &lAuth);
      c.calls += c.bRefused ? 1 : 2;
      c.flushFailed += (FAILED(lData) ? 1 : 0) + (FAILED(lAuth) ? 1 : 0);
      c.bPinCached = c.bPinCached && c.bRefused;
    }
  }
  if (pStore != nullptr) pStore->Release();
  if (pPins != nullptr) pPins->Release();
  pManager->Release();
  return hr;
}

int Run(const CServiceClient& client, unsigned long index, long ms, const char* pszReport) {
  // A first manager, for one round, opens what the process keeps for later
  // managers: the hive's connection and the callers' status files.
  Counts c;
  const auto forever = std::chrono::steady_clock::time_point::max();
  if (FAILED(Hammer(client, index, 1, forever, c))) return 1;
  const auto handlesBefore = OpenHandles();
  const auto start = std::chrono::steady_clock::now();
  const HRESULT hr = Hammer(client, index, ULONG_MAX, start + std::chrono::milliseconds(ms), c);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto handlesAfter = OpenHandles();
  for (const auto& [fd, target] : handlesAfter) {
    if (handlesBefore.count(fd) == 0)
      std::fprintf(stderr, "handle %s left open: %s\n", fd.c_str(), target.c_str());
  }
  FILE* pReport = std::fopen(pszReport, "w");
  if (pReport == nullptr) return 1;
  std::fprintf(pReport,
               "writes %lu\nops_per_s %.0f\n"
               "client %lu: %lu writes, %lu calls in %.2f s, %.0f calls/s, %.0f writes/s; "
               "reads raced by another writer %lu; PIN calls refused %lu, failed otherwise %lu; "
               "PINs gone after the session's end %lu, read back wrong %lu; flushes failed %lu; "
               "lost %lu; handles %zu -> %zu\npins_refused %lu\npins_gone %lu\n",
               c.writes, c.calls / seconds, index, c.writes, c.calls, seconds, c.calls / seconds,
               c.writes / seconds, c.raced, c.pinRefused, c.pinFailed, c.pinGone, c.pinWrong,
               c.flushFailed, c.lost, handlesBefore.size(), handlesAfter.size(), c.pinRefused,
               c.pinGone);
  std::fclose(pReport);
  // In a login session (ended or not) a PIN call is served or refused.
  DWORD dwSession = 0;
  const bool bPinsServed = !ProcessIdToSessionId(client.Pid(), &dwSession) || c.pinFailed == 0;
  const bool bOk = SUCCEEDED(hr) && c.lost == 0 && c.flushFailed == 0 && c.pinWrong == 0 &&
                   bPinsServed && handlesAfter.size() == handlesBefore.size();
  return bOk ? 0 : 1;
}

int Check(const CServiceClient& client, int argc, char** argv) {
  IDataStoreManager* pManager = nullptr;
  HRESULT hr = client.NewManager(&pManager);
  if (FAILED(hr)) return client.Fail("CreateIDataStoreManagerInstance", hr);
  IDataStore* pStore = nullptr;
  LONG lRet = E_FAIL;
  pManager->GetDataStore(client.Pid(), Bstr(kStore).Get(), &pStore, &lRet);
  if (FAILED(lRet)) {
    pManager->Release();
    return client.Fail("GetDataStore", lRet);
  }
  unsigned long total = 0;
  Counts c;
  for (int a = 2; a < argc; ++a) {
    char* pEnd = nullptr;
    const unsigned long index = std::strtoul(argv[a], &pEnd, 10);
    const unsigned long count = *pEnd == ':' ? std::strtoul(pEnd + 1, nullptr, 10) : 0;
    for (unsigned long n = 0; n < count; ++n, ++total) {
      ReadsBack(pStore, client.Pid(), ItemName(index, n), c);
    }
  }
  pStore->Release();
  pManager->Release();
  std::printf("%lu of %lu items read back\n", total - c.lost, total);
  return c.lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(mode == "run" && argc == 5) && !(mode == "check" && argc > 2)) {
    std::fprintf(stderr,
                 "usage: load_client run <index> <ms> <report> | check <index>:<count>...\n");
    return 2;
  }
  CServiceClient client("load");
  KelmyrArgs low{"--low", "--module", KELMYR_MODULE_PATH};
  int exitCode = 1;
  if (!client.TakeOptions(low, &exitCode)) return exitCode;
  if (!client.Load()) return 1;
  if (mode == "check") return Check(client, argc, argv);
  return Run(client, std::strtoul(argv[2], nullptr, 10), std::strtol(argv[3], nullptr, 10),
             argv[4]);
}
