// A client of the registered module, the same source in both builds: it
// activates the store manager by class, by ProgID and through the export,
// calls it through its vtable and through IDispatch, and unloads the module.
// Natively it also calls on behalf of a low-integrity child of its own.
// Prints "e2e: ok" and exits 0 when every check holds.
//   e2e_client <module>   (on Windows its file name, beside the client)
#include <windows.h>

#include <oleauto.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kelmyr_i.h"

#ifndef _WIN32
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#endif

namespace {

int gFailures = 0;

void Check(bool bOk, const char* pszWhat, long got, long want) {
  if (bOk) return;
  ++gFailures;
  std::printf("FAIL %s: got 0x%08lx, want 0x%08lx\n", pszWhat,
              static_cast<unsigned long>(static_cast<ULONG>(got)),
              static_cast<unsigned long>(static_cast<ULONG>(want)));
}
void CheckHr(HRESULT got, HRESULT want, const char* pszWhat) {
  Check(got == want, pszWhat, got, want);
}

// An ordinary client is not trusted: no low integrity, no COM+ context.
constexpr HRESULT kRefused = RPC_E_CALL_COMPLETE;
constexpr const OLECHAR* kReaderState = OLESTR("ReaderState");

enum Object { kManager, kStore, kPinStore };
const CLSID* const kClasses[] = {&CLSID_DataStoreManager, &CLSID_DataStore, &CLSID_AuthStore};

struct SNameRow {
  Object object;
  const OLECHAR* pszName;
  HRESULT hr;
  DISPID id;
};
const SNameRow kNames[] = {
    {kManager, OLESTR("GetDataStore"), S_OK, 1},
    {kManager, OLESTR("listdatastoreids"), S_OK, 3},
    {kManager, OLESTR("GetAuthStoreInfo"), S_OK, 8},
    {kManager, OLESTR("SetData"), DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
    {kStore, OLESTR("FlushStore"), S_OK, 7},
    {kStore, OLESTR("IsCompartmentCached"), S_OK, 11},
    {kPinStore, OLESTR("SetPIN"), S_OK, 1},
    {kPinStore, OLESTR("ChangePINStateFromPINSessionId"), S_OK, 12},
    {kPinStore, OLESTR("GetDataStore"), DISP_E_UNKNOWNNAME, DISPID_UNKNOWN},
};

// Arguments, first to last: 'p' the client's pid, 'c' the trusted child's,
// 's' the row's text, 'l' a 32-bit number by reference (INT and LONG alike:
// Wine's automation takes an INT only as VT_I4), 'b' BSTR by reference. The
// out values are checked for the rows that pass them.
struct SInvokeRow {
  Object object;
  DISPID id;
  const char* pszArgs;
  const OLECHAR* pszText;
  HRESULT hr;
  HRESULT outcome;
  const OLECHAR* pszProduct;  // expected in the BSTR, null for none
  LONG shared;
};
const SInvokeRow kInvokes[] = {
    {kManager, 2, "ps", OLESTR("Tallis"), S_OK, kRefused, nullptr, 0},
    {kManager, 4, "pslllb", kReaderState, S_OK, kRefused, nullptr, 0},
    {kManager, 6, "p", nullptr, S_OK, kRefused, nullptr, 0},
    {kStore, 7, "p", nullptr, S_OK, kRefused, nullptr, 0},
    {kManager, 99, "p", nullptr, DISP_E_MEMBERNOTFOUND, 0, nullptr, 0},
    {kManager, 2, "p", nullptr, DISP_E_BADPARAMCOUNT, 0, nullptr, 0},
    {kStore, 1, "p", nullptr, DISP_E_BADPARAMCOUNT, 0, nullptr, 0},
#ifndef _WIN32
    {kManager, 4, "cslllb", kReaderState, S_OK, S_OK, OLESTR("Tallis"), 1},
    {kStore, 7, "c", nullptr, S_OK, E_FAIL, nullptr, 0},  // never started
#endif
};

template <class T>
struct CRef {
  T* p = nullptr;
  ~CRef() {
    if (p != nullptr) p->Release();
  }
  void** Out() { return reinterpret_cast<void**>(&p); }
};

struct CBstr {
  BSTR b = nullptr;
  explicit CBstr(const OLECHAR* psz = nullptr) : b(psz ? SysAllocString(psz) : nullptr) {}
  ~CBstr() { SysFreeString(b); }
};

struct CArray {
  SAFEARRAY* psa = nullptr;
  ~CArray() {
    if (psa != nullptr) SafeArrayDestroy(psa);
  }
};

SAFEARRAY* Bytes(const char* psz) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(std::strlen(psz)));
  if (psa != nullptr) std::memcpy(psa->pvData, psz, std::strlen(psz));
  return psa;
}

std::u16string Text(const OLECHAR* psz) {
  std::u16string s;
  for (; psz != nullptr && *psz != 0; ++psz) s += static_cast<char16_t>(*psz);
  return s;
}

// The identifiers in a SAFEARRAY of BSTR, joined with ",".
std::u16string Joined(SAFEARRAY* psa) {
  std::u16string s;
  for (ULONG i = 0; psa != nullptr && i < psa->rgsabound[0].cElements; ++i) {
    s += (i != 0 ? u"," : u"") + Text(static_cast<BSTR*>(psa->pvData)[i]);
  }
  return s;
}

void CheckNames(IDispatch* const (&objects)[3]) {
  for (const SNameRow& row : kNames) {
    LPOLESTR name = const_cast<LPOLESTR>(row.pszName);
    DISPID id = 12345;
    CheckHr(objects[row.object]->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id),
            row.hr, "GetIDsOfNames");
    Check(id == row.id, "DISPID", id, row.id);
  }
}

void CheckInvokes(IDispatch* const (&objects)[3], ULONG ulPid, ULONG ulChild) {
  for (const SInvokeRow& row : kInvokes) {
    LONG l[3] = {-1, -1, -1};
    CBstr out;
    size_t cLongs = 0;
    std::vector<VARIANT> args;
    for (const char* p = row.pszArgs; *p != 0; ++p) {
      VARIANT v;
      VariantInit(&v);
      if (*p == 'p' || *p == 'c') v.vt = VT_UI4, v.ulVal = *p == 'p' ? ulPid : ulChild;
      if (*p == 's') v.vt = VT_BSTR, v.bstrVal = SysAllocString(row.pszText);
      if (*p == 'l') v.vt = VT_BYREF | VT_I4, v.plVal = &l[cLongs++];
      if (*p == 'b') v.vt = VT_BYREF | VT_BSTR, v.pbstrVal = &out.b;
      args.insert(args.begin(), v);  // last argument first
    }
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr = objects[row.object]->Invoke(
        row.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    CheckHr(hr, row.hr, "Invoke");
    if (SUCCEEDED(hr)) {
      Check(result.vt == VT_I4, "Invoke result type", result.vt, VT_I4);
      CheckHr(result.lVal, row.outcome, "Invoke outcome");
    }
    if (std::strchr(row.pszArgs, 'b') != nullptr) {
      Check(
          Text(out.b) == Text(row.pszProduct) && (row.pszProduct != nullptr) == (out.b != nullptr),
          "product by reference", 0, 0);
      if (row.pszProduct != nullptr)
        Check(l[0] == 0 && l[1] == 0 && l[2] == row.shared, "store info", l[2], row.shared);
    }
    for (VARIANT& v : args) VariantClear(&v);
    VariantClear(&result);
  }
}

#ifndef _WIN32
// A child that waits until its pipe closes: at low integrity (no new
// privileges, as nobody when the client is root), or still root with no new
// privileges. Its pid, or 0.
pid_t StartChild(bool bLow, int* pHold) {
  int hold[2], ready[2];
  if (pipe(hold) != 0) return 0;
  if (pipe(ready) != 0) return close(hold[0]), close(hold[1]), 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(hold[1]), close(ready[0]);
    bool bOk = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0;
    if (bLow && geteuid() == 0) {
      bOk = bOk && setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    }
    char c = bOk ? 1 : 0;
    if (write(ready[1], &c, 1) != 1 || !bOk) _exit(1);
    while (read(hold[0], &c, 1) > 0) {
    }
    _exit(0);
  }
  close(hold[0]), close(ready[1]);
  *pHold = hold[1];
  char c = 0;
  const bool bReady = pid > 0 && read(ready[0], &c, 1) == 1 && c == 1;
  close(ready[0]);
  return bReady ? pid : 0;
}

bool Mapped(const char* pszName) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(pszName) != std::string::npos) return true;
  }
  return false;
}
#endif

// Calls on behalf of the trusted child: a memory store round trip with the
// client keeping its arguments, and the PIN store, which serves only a
// process in a terminal session. True when a PIN was cached.
bool TrustedRoundTrip(IDataStoreManager* pManager, ULONG ulChild) {
  LONG ret = -1;
  CArray ids;
  CheckHr(pManager->ListDataStoreIds(ulChild, &ids.psa, &ret), S_OK, "ListDataStoreIds");
  CheckHr(ret, S_OK, "ListDataStoreIds outcome");
  Check(Joined(ids.psa) == u"CardCache,MachineSettings,ReaderState", "store ids", 0, 0);
  CRef<IDataStore> store;
  CBstr id(kReaderState), compartment(OLESTR("E2E/A")), item(OLESTR("item"));
  CheckHr(pManager->GetDataStore(ulChild, id.b, &store.p, &ret), S_OK, "GetDataStore");
  if (store.p == nullptr) return false;
  CArray value, read;
  value.psa = Bytes("hello");
  ULONG ulVersion = 0, ulContent = 0;
  LONG bCached = 0;
  const HRESULT steps[] = {
      store.p->SetData(ulChild, compartment.b, item.b, value.psa, &ret) | ret,
      store.p->GetData(ulChild, compartment.b, item.b, &read.psa, &ret) | ret,
      store.p->IsCompartmentCached(ulChild, compartment.b, &ulVersion, &ulContent, &bCached, &ret) |
          ret,
  };
  for (HRESULT hr : steps) CheckHr(hr, S_OK, "memory store round trip");
  Check(read.psa != nullptr && read.psa->rgsabound[0].cElements == 5 &&
            std::memcmp(read.psa->pvData, "hello", 5) == 0 && bCached && ulContent == 1,
        "value read back", static_cast<long>(ulContent), 1);

  DWORD dwSession = 0;
  const bool bInSession = ProcessIdToSessionId(ulChild, &dwSession) != FALSE;
  std::printf("trusted child %lu: %s\n", static_cast<unsigned long>(ulChild),
              bInSession ? "in a terminal session" : "in no terminal session");
  CRef<IAuthStore> pins;
  CBstr pinStore(KELMYR_PIN_STORE_ID), pinId(OLESTR("1")), session;
  CheckHr(pManager->GetAuthStore(ulChild, pinStore.b, &pins.p, &ret), S_OK, "GetAuthStore");
  CheckHr(ret, S_OK, "GetAuthStore outcome");
  if (pins.p == nullptr) return false;
  CArray pin, params, pinRead;
  pin.psa = Bytes("1234");
  params.psa = SafeArrayCreateVector(VT_BSTR, 0, 0);
  CheckHr(pins.p->SetPIN(ulChild, compartment.b, pinId.b, pin.psa, params.psa, &session.b, &ret),
          S_OK, "SetPIN");
  // Outside every session the store cannot file the PIN.
  CheckHr(ret, bInSession ? S_OK : E_FAIL, "SetPIN outcome");
  if (!bInSession) return false;
  CBstr readSession;
  INT nState = -1;
  CheckHr(pins.p->GetPIN(ulChild, compartment.b, pinId.b, params.psa, &pinRead.psa, &readSession.b,
                         &nState, &ret) |
              ret,
          S_OK, "GetPIN");
  Check(pinRead.psa != nullptr && std::memcmp(pinRead.psa->pvData, "1234", 4) == 0, "PIN read back",
        0, 0);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // a sanitizer's report at exit skips stdio's flush
  if (argc != 2) {
    std::fprintf(stderr, "usage: e2e_client <module>\n");
    return 2;
  }
  std::vector<OLECHAR> module;
  for (const char* p = argv[1]; *p != 0; ++p) module.push_back(static_cast<OLECHAR>(*p));
  module.push_back(0);
  const ULONG ulPid = GetCurrentProcessId();
  ULONG ulChild = 0;
#ifndef _WIN32
  int hold = -1, rootHold = -1;
  const pid_t child = StartChild(true, &hold);
  ulChild = static_cast<ULONG>(child);
  const pid_t rootChild = geteuid() == 0 ? StartChild(false, &rootHold) : 0;
#endif
  CheckHr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK, "CoInitializeEx");
  bool bPinCached = false;
  {
    // By class and by ProgID: the one manager the class keeps. Until the
    // export builds a manager, the methods take over [in] arguments.
    CRef<IDataStoreManager> byClass, byProgId;
    CLSID clsid = {};
    CheckHr(CoCreateInstance(CLSID_DataStoreManager, nullptr, CLSCTX_INPROC_SERVER,
                             IID_IDataStoreManager, byClass.Out()),
            S_OK, "CoCreateInstance by CLSID");
    CheckHr(CLSIDFromProgID(OLESTR("qv.kelmyr.DataStoreManager"), &clsid), S_OK, "CLSIDFromProgID");
    CheckHr(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDataStoreManager,
                             byProgId.Out()),
            S_OK, "CoCreateInstance by ProgID");
    if (byClass.p == nullptr || byProgId.p == nullptr) return 1;
    Check(byClass.p == byProgId.p, "one manager", 0, 0);
    LONG ret = -1;
    SAFEARRAY* psaIds = nullptr;
    CheckHr(byClass.p->ListDataStoreIds(ulPid, &psaIds, &ret), S_OK, "ListDataStoreIds");
    CheckHr(ret, kRefused, "ListDataStoreIds of an ordinary client");
    Check(psaIds == nullptr, "no list", 0, 0);
    IDataStore* pStore = nullptr;
    CheckHr(byClass.p->GetDataStore(ulPid, SysAllocString(kReaderState), &pStore, &ret), S_OK,
            "GetDataStore");
    CheckHr(ret, kRefused, "GetDataStore of an ordinary client");
#ifndef _WIN32
    CheckHr(byClass.p->GetDataStore(ulChild, SysAllocString(kReaderState), &pStore, &ret) | ret,
            S_OK, "GetDataStore of the child");
    if (pStore != nullptr) {
      CheckHr(pStore->SetData(ulChild, SysAllocString(OLESTR("E2E")),
                              SysAllocString(OLESTR("handed")), Bytes("over"), &ret) |
                  ret,
              S_OK, "SetData with arguments handed over");
      pStore->Release();
    }
    // Root under no new privileges has session 0 but system integrity.
    if (rootChild > 0) {
      CheckHr(byClass.p->FlushAuthStores(static_cast<ULONG>(rootChild), &ret), S_OK,
              "FlushAuthStores");
      CheckHr(ret, kRefused, "FlushAuthStores of a root child");
    }
#endif
    CRef<IDispatch> dispatch[3];
    for (int i = 0; i < 3; ++i) {
      CheckHr(CoCreateInstance(*kClasses[i], nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               dispatch[i].Out()),
              S_OK, "CoCreateInstance IDispatch");
      if (dispatch[i].p == nullptr) return 1;
    }
    UINT cInfo = 9;
#ifdef _WIN32
    const UINT cInfoWanted = 1;  // the embedded type library
#else
    const UINT cInfoWanted = 0;  // a dispatch table
#endif
    CheckHr(dispatch[0].p->GetTypeInfoCount(&cInfo), S_OK, "GetTypeInfoCount");
    Check(cInfo == cInfoWanted, "type information count", cInfo, cInfoWanted);
    IDispatch* const objects[3] = {dispatch[0].p, dispatch[1].p, dispatch[2].p};
    CheckNames(objects);
    CheckInvokes(objects, ulPid, ulChild);
  }
  // Through the export, loaded as any module; from here the client keeps
  // its arguments.
  HMODULE hModule = LoadLibraryW(module.data());
  using PFNCREATE = HRESULT(STDAPICALLTYPE*)(void**);
  auto pfnCreate = reinterpret_cast<PFNCREATE>(
      reinterpret_cast<void (*)()>(GetProcAddress(hModule, "CreateIDataStoreManagerInstance")));
  Check(pfnCreate != nullptr, "the export", 0, 0);
  if (pfnCreate != nullptr) {
    CRef<IDataStoreManager> manager;
    CheckHr(pfnCreate(manager.Out()), S_OK, "CreateIDataStoreManagerInstance");
    if (manager.p == nullptr) return 1;
    LONG ret = -1;
    CBstr product(OLESTR("Tallis"));
    CheckHr(manager.p->FlushDataStores(ulPid, product.b, &ret), S_OK, "FlushDataStores");
    CheckHr(ret, kRefused, "FlushDataStores of an ordinary client");
    if (ulChild != 0) bPinCached = TrustedRoundTrip(manager.p, ulChild);
  }
  if (hModule != nullptr) FreeLibrary(hModule);

  // Everything released: the module goes at once, not after a monitor's wait.
  const auto start = std::chrono::steady_clock::now();
  const auto Elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  while (GetModuleHandleW(module.data()) != nullptr && Elapsed() < 4000) {
    CoFreeUnusedLibrariesEx(0, 0);
    if (GetModuleHandleW(module.data()) != nullptr) Sleep(10);
  }
  // A module whose timer thread ever started stays loaded.
  Check((GetModuleHandleW(module.data()) == nullptr) != bPinCached, "module unloaded", Elapsed(),
        0);
#ifndef _WIN32
  Check(Mapped("qv.kelmyr") == bPinCached, "library closed", 0, 0);
  close(hold), close(rootHold);
  int status = -1;
  Check(waitpid(child, &status, 0) == child && status == 0, "low child", status, 0);
  if (rootChild > 0)
    Check(waitpid(rootChild, &status, 0) == rootChild && status == 0, "root child", status, 0);
#endif
  std::printf("unloaded after %lld ms\n", static_cast<long long>(Elapsed()));
  CoUninitialize();
  if (gFailures != 0) return 1;
  std::printf("e2e: ok\n");
  return 0;
}
