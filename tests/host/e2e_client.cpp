// A client of the registered module, the same source in both builds: it
// activates the store manager by class, by ProgID and through the export,
// calls it through its vtable and through IDispatch, and unloads the module.
// Natively it also calls on behalf of a low-integrity child of its own, and
// the sanitizer build's leak check at exit sees what the unloaded module
// left behind.
// Prints "e2e: ok" and exits 0 when every check holds.
//   e2e_client <module>   (on Windows its file name, beside the client)
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../common/conformance.h"
#include "../common/module_exports.h"
#include "kelmyr_i.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr UINT kTypeInfos = 0;  // a dispatch table
#else
constexpr UINT kTypeInfos = 1;  // the module's embedded type library
#endif

namespace {

int gFailures = 0;

void Check(bool bOk, const char* pszWhat, long got = 0) {
  if (!bOk) ++gFailures, std::printf("FAIL %s: got 0x%08x\n", pszWhat, static_cast<unsigned>(got));
}
#define CHECK(condition) Check(condition, #condition)
#define CHECK_HR(call, want) [](HRESULT hr, HRESULT w) { Check(hr == w, #call, hr); }(call, want)

// The COM result, or once that succeeded the outcome the call wrote to
// *pRet (read here, after the call): S_OK.
[[maybe_unused]] HRESULT Outcome(HRESULT hr, const LONG& ret) { return FAILED(hr) ? hr : ret; }
#define CHECK_OK(call) CHECK_HR(Outcome(call, ret), S_OK)

// An ordinary client is not trusted: no low integrity, no COM+ context.
constexpr HRESULT kRefused = RPC_E_CALL_COMPLETE;
constexpr const OLECHAR* kReaderState = OLESTR("ReaderState");

enum Object { kManager, kStore, kPinStore };
const CLSID* const kClasses[] = {&CLSID_DataStoreManager, &CLSID_DataStore, &CLSID_AuthStore};

// A member looked up by name on one of the objects (DISPID_UNKNOWN: the name
// is refused), then, when the row has arguments, called by its DISPID (a null
// name calls the DISPID without a look-up). Arguments, first to last: 'p' the
// client's pid, 'c' the trusted child's, 's' the row's text, 'l' a 32-bit
// number by reference (INT and LONG alike: Wine's automation takes an INT only
// as VT_I4), 'b' BSTR by reference. The out values are the reader state
// store's information (product "Tallis", shared) when the call succeeds, and
// nothing otherwise. An outcome of the dispatch facility is Invoke's own
// answer to a bad call.
struct SDispatchRow {
  Object object;
  const OLECHAR* pszName;
  DISPID id;
  const char* pszArgs = nullptr;
  const OLECHAR* pszText = nullptr;
  HRESULT outcome = S_OK;
};
const SDispatchRow kDispatchRows[] = {
    {kManager, OLESTR("GetDataStore"), 1},
    {kManager, OLESTR("SetData"), DISPID_UNKNOWN},
    {kStore, OLESTR("IsCompartmentCached"), 11},
    {kPinStore, OLESTR("ChangePINStateFromPINSessionId"), 12},
    {kPinStore, OLESTR("GetDataStore"), DISPID_UNKNOWN},
    {kManager, OLESTR("FlushDataStores"), 2, "ps", OLESTR("Tallis"), kRefused},
    {kManager, OLESTR("GetDataStoreInfo"), 4, "pslllb", kReaderState, kRefused},
    {kStore, OLESTR("FlushStore"), 7, "p", nullptr, kRefused},
    {kManager, nullptr, 99, "p", nullptr, DISP_E_MEMBERNOTFOUND},
    {kManager, nullptr, 2, "p", nullptr, DISP_E_BADPARAMCOUNT},  // no product
#ifndef _WIN32
    {kManager, nullptr, 4, "cslllb", kReaderState},
    {kStore, nullptr, 7, "c", nullptr, E_FAIL},  // never started
#endif
};

// Owners of what the client gets: interfaces, strings, arrays.
template <class T, auto pfnFree>
struct COwned {
  T p{};
  ~COwned() {
    if (p) pfnFree(p);
  }
  void** Out() { return reinterpret_cast<void**>(&p); }
};
template <class T>
using CRef = COwned<T*, [](T* p) { p->Release(); }>;
using CBstr = COwned<BSTR, SysFreeString>;
using CArray = COwned<SAFEARRAY*, SafeArrayDestroy>;

HRESULT Create(REFCLSID clsid, REFIID iid, void** ppv) {
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, ppv);
}

using OString = std::basic_string<OLECHAR>;
OString Wide(const char* psz) { return {psz, psz + std::strlen(psz)}; }
BSTR Arg(const char* psz) { return SysAllocString(Wide(psz).c_str()); }

void CheckDispatch(const CRef<IDispatch> (&objects)[3], ULONG ulPid, ULONG ulChild) {
  for (const SDispatchRow& row : kDispatchRows) {
    IDispatch* pDispatch = objects[row.object].p;
    if (row.pszName != nullptr) {
      LPOLESTR name = const_cast<LPOLESTR>(row.pszName);
      DISPID id = 12345;
      CHECK_HR(pDispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id),
               row.id == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK);
      Check(id == row.id, "DISPID", id);
    }
    if (row.pszArgs == nullptr) continue;
    LONG l[3] = {-1, -1, -1};
    CBstr out;
    std::vector<VARIANT> args(std::strlen(row.pszArgs));  // VT_EMPTY
    for (size_t i = 0, cLongs = 0; i < args.size(); ++i) {
      VARIANT& v = args[args.size() - 1 - i];  // last argument first
      const char c = row.pszArgs[i];
      if (c == 'p' || c == 'c') v.vt = VT_UI4, v.ulVal = c == 'p' ? ulPid : ulChild;
      if (c == 's') v.vt = VT_BSTR, v.bstrVal = SysAllocString(row.pszText);
      if (c == 'l') v.vt = VT_BYREF | VT_I4, v.plVal = &l[cLongs++];
      if (c == 'b') v.vt = VT_BYREF | VT_BSTR, v.pbstrVal = &out.p;
    }
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result{};
    const bool bBadCall = HRESULT_FACILITY(row.outcome) == FACILITY_DISPATCH;
    CHECK_HR(pDispatch->Invoke(row.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                               &result, nullptr, nullptr),
             bBadCall ? row.outcome : S_OK);
    if (!bBadCall) CHECK_HR(result.vt == VT_I4 ? result.lVal : -1, row.outcome);
    const bool bInfo = row.id == 4 && row.outcome == S_OK;
    CHECK(bInfo ? out.p != nullptr && out.p == Wide("Tallis") : out.p == nullptr);
    if (bInfo) Check(l[0] == 0 && l[1] == 0 && l[2] == 1, "store info", l[2]);
    for (VARIANT& v : args) VariantClear(&v);
    VariantClear(&result);
  }
}

// Activation by ProgID, its refusals, and a ProgID that names its class only
// in "CurVer" (which Wine does not follow); the keys for the last two rows
// are the client's own.
#define MISSING "{4C2F4F51-C301-42B0-A918-5177C131DDAF}"
void CheckActivation() {
  const OLECHAR* const kKeys[][2] = {
      {OLESTR("CLSID\\" MISSING "\\InprocServer32"), OLESTR("kelmyr_no_such_server.dll")},
      {OLESTR("KelmyrE2E.Manager\\CurVer"), OLESTR("qv.kelmyr.DataStoreManager.1")}};
  for (auto [pszKey, pszValue] : kKeys) {
    HKEY hKey = nullptr;
    const DWORD cb = static_cast<DWORD>(2 * std::char_traits<OLECHAR>::length(pszValue) + 2);
    CHECK(!RegCreateKeyExW(HKEY_CLASSES_ROOT, pszKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                           nullptr) &&
          !RegSetValueExW(hKey, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszValue), cb));
    RegCloseKey(hKey);
  }
  const struct {
    const OLECHAR* pszWhat;  // a class in braces or a ProgID
    HRESULT hr, hrWine;
  } kRows[] = {
      {OLESTR("qv.kelmyr.DataStoreManager"), S_OK, S_OK},
      {OLESTR("{3A37AC15-6BFB-432E-A82C-5E19227F10AB}"), REGDB_E_CLASSNOTREG, REGDB_E_CLASSNOTREG},
      {OLESTR("qv.kelmyr.DataStoreManager.9"), CO_E_CLASSSTRING, CO_E_CLASSSTRING},
      {OLESTR("KelmyrE2E.Manager"), S_OK, CO_E_CLASSSTRING},
      {WIDE(MISSING), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), E_ACCESSDENIED},
  };
  for (const auto& row : kRows) {
    CLSID clsid = {};
    CRef<IUnknown> object;
    HRESULT hr = row.pszWhat[0] == '{' ? CLSIDFromString(row.pszWhat, &clsid)
                                       : CLSIDFromProgID(row.pszWhat, &clsid);
    if (SUCCEEDED(hr)) hr = Create(clsid, IID_IUnknown, object.Out());
    Check(hr == (RunningUnderWine() ? row.hrWine : row.hr), "activation", hr);
  }
  RegDeleteTreeW(HKEY_CLASSES_ROOT, OLESTR("KelmyrE2E.Manager"));
  RegDeleteTreeW(HKEY_CLASSES_ROOT, OLESTR("CLSID\\" MISSING));
}

#ifndef _WIN32
// A child at low integrity (no new privileges, as nobody when the client is
// root) that waits until the client's end of its socket closes. Its pid, or 0.
pid_t StartChild(int* pSocket) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 0;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    char c = prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
             (geteuid() != 0 ||
              (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0));
    if (write(ends[1], &c, 1) != 1 || !c) _exit(1);
    _exit(read(ends[1], &c, 1) == 0 ? 0 : 1);  // the client writes nothing
  }
  close(ends[1]);
  *pSocket = ends[0];
  char c = 0;
  return pid > 0 && read(ends[0], &c, 1) == 1 && c == 1 ? pid : 0;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // a sanitizer's report at exit skips stdio's flush
  if (argc != 2) return std::fprintf(stderr, "usage: e2e_client <module>\n"), 2;
  const OString module = Wide(argv[1]);
  const ULONG ulPid = GetCurrentProcessId();
  ULONG ulChild = 0;
#ifndef _WIN32
  int hold = -1;
  const pid_t child = StartChild(&hold);
  ulChild = static_cast<ULONG>(child);
#endif
  // Initialisation counts per thread, and is needed for activation.
  CHECK_HR(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CHECK_HR(CoInitialize(nullptr), S_FALSE);
  CoUninitialize();
  CheckActivation();
  {
    // By class. Until the export builds a manager, the methods take over
    // [in] arguments.
    CRef<IDataStoreManager> byClass;
    CHECK_HR(Create(CLSID_DataStoreManager, IID_IDataStoreManager, byClass.Out()), S_OK);
    if (byClass.p == nullptr) return 1;
#ifndef _WIN32
    // The trusted child's memory store round trip.
    LONG ret = -1;
    CArray read;
    CRef<IDataStore> store;
    CHECK_OK(byClass.p->GetDataStore(ulChild, Arg("ReaderState"), &store.p, &ret));
    if (store.p == nullptr) return 1;
    SAFEARRAY* psaValue = SafeArrayCreateVector(VT_UI1, 0, 5);
    if (psaValue != nullptr) std::memcpy(psaValue->pvData, "hello", 5);
    CHECK_OK(store.p->SetData(ulChild, Arg("E2E"), Arg("item"), psaValue, &ret));
    CHECK_OK(store.p->GetData(ulChild, Arg("E2E"), Arg("item"), &read.p, &ret));
    CHECK(read.p != nullptr && read.p->rgsabound[0].cElements == 5 &&
          std::memcmp(read.p->pvData, "hello", 5) == 0);
    // The PIN store, when the child is in a login session: a PIN stored and
    // read back; the client's own pid is refused.
    DWORD dwSession = 0;
    if (ProcessIdToSessionId(ulChild, &dwSession)) {
      CRef<IAuthStore> pins;
      CHECK_OK(
          byClass.p->GetAuthStore(ulChild, SysAllocString(KELMYR_PIN_STORE_ID), &pins.p, &ret));
      if (pins.p == nullptr) return 1;
      SAFEARRAY* psaPin = SafeArrayCreateVector(VT_UI1, 0, 4);
      if (psaPin != nullptr) std::memcpy(psaPin->pvData, "1234", 4);
      CBstr session;
      CHECK_OK(pins.p->SetPIN(ulChild, Arg("E2E"), Arg("pin"), psaPin, nullptr, &session.p, &ret));
      for (const ULONG ulCaller : {ulChild, ulPid}) {
        CArray pin;
        CBstr readSession;
        INT nState = -1;
        pins.p->GetPIN(ulCaller, Arg("E2E"), Arg("pin"), nullptr, &pin.p, &readSession.p, &nState,
                       &ret);
        const bool bChild = ulCaller == ulChild;
        CHECK_HR(ret, bChild ? S_OK : kRefused);
        CHECK(!bChild || (nState == 1 && pin.p != nullptr && pin.p->rgsabound[0].cElements == 4 &&
                          std::memcmp(pin.p->pvData, "1234", 4) == 0));
      }
      std::printf("PIN store: round trip in login session %lu\n",
                  static_cast<unsigned long>(dwSession));
    } else {
      std::printf("PIN store: the child is in no login session here\n");
    }
#endif
    CRef<IDispatch> dispatch[3];
    for (int i = 0; i < 3; ++i) {
      CHECK_HR(Create(*kClasses[i], IID_IDispatch, dispatch[i].Out()), S_OK);
      if (dispatch[i].p == nullptr) return 1;
    }
    UINT cInfo = 9;
    CHECK_HR(dispatch[0].p->GetTypeInfoCount(&cInfo), S_OK);
    Check(cInfo == kTypeInfos, "type infos", cInfo);
    CheckDispatch(dispatch, ulPid, ulChild);
  }
  // Through the export, loaded as any module; from here the client keeps
  // its arguments.
  HMODULE hModule = LoadLibraryW(module.c_str());
  const auto pfnCreate =
      Export<HRESULT STDAPICALLTYPE(void**)>(hModule, "CreateIDataStoreManagerInstance");
  if (pfnCreate == nullptr) return std::printf("FAIL no export\n"), 1;
  {
    CRef<IDataStoreManager> manager;
    CHECK_HR(pfnCreate(manager.Out()), S_OK);
    if (manager.p == nullptr) return 1;
    LONG ret = -1;
    CBstr product{Arg("Tallis")};
    CHECK_HR(manager.p->FlushDataStores(ulPid, product.p, &ret), S_OK);
    CHECK(ret == kRefused);
  }
  FreeLibrary(hModule);

  // Everything released: the module goes at once, not after a monitor's wait.
  int cSweeps = 0;
  while (GetModuleHandleW(module.c_str()) != nullptr && cSweeps++ < 400) {
    CoFreeUnusedLibrariesEx(0, 0);
    if (GetModuleHandleW(module.c_str()) != nullptr) Sleep(10);
  }
  Check(GetModuleHandleW(module.c_str()) == nullptr, "module unloaded", cSweeps);
#ifndef _WIN32
  CHECK(dlopen(argv[1], RTLD_LAZY | RTLD_NOLOAD) == nullptr);
  close(hold);
  int status = -1;
  Check(waitpid(child, &status, 0) == child && status == 0, "low child", status);
#endif
  std::printf("unloaded after %d sweeps\n", cSweeps);
  CoUninitialize();
  {
    CRef<IUnknown> none;
    CHECK_HR(Create(CLSID_DataStoreManager, IID_IUnknown, none.Out()), CO_E_NOTINITIALIZED);
  }
  if (gFailures != 0) return 1;
  std::printf("e2e: ok\n");
  return 0;
}
