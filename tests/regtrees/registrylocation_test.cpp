// Where a registry tree of each location kind keeps its keys, with the
// libraries of the sandboxed kinds given, withheld or failing, and the
// client's user for the low-integrity copy.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <string>

#include "common/registry_test_key.h"
#include "common/scripted_machine.h"
#include "common/scripted_registry.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

// The test's stand-ins for the libraries loaded at run time.
WString gLocation;  // below HKEY_CURRENT_USER: the key the libraries open
HRESULT ghrLibrary = S_OK;

HRESULT OpenLocation(HKEY* phKey) {
  if (FAILED(ghrLibrary)) return ghrLibrary;
  return Registry().RegCreateKeyExW(HKEY_CURRENT_USER, gLocation.c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, phKey, nullptr) == ERROR_SUCCESS
             ? S_OK
             : E_FAIL;
}
HRESULT WINAPI AppContainerLocation(REGSAM, PHKEY phKey) { return OpenLocation(phKey); }
HRESULT WINAPI WriteableHKCU(HKEY* phKey) { return OpenLocation(phKey); }
LONG WINAPI QueryKeyName(HANDLE, int, PVOID pInfo, ULONG cb, PULONG pcbNeeded) {
  const WCHAR szName[] = OLESTR("\\REGISTRY\\USER\\X");
  const ULONG cbName = sizeof szName - sizeof(WCHAR);
  *pcbNeeded = sizeof(ULONG) + cbName;
  if (cb < *pcbNeeded) return static_cast<LONG>(0xC0000023);
  std::memcpy(pInfo, &cbName, sizeof cbName);
  std::memcpy(static_cast<BYTE*>(pInfo) + sizeof cbName, szName, cbName);
  return 0;
}
template <class F>
FARPROC Export(F* pfn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(pfn));
}

// The machine below the scripted one: the modules the test provides, by
// lower-case name with their exports; any other module is missing.
class CModuleMachine final : public IMachine {
 public:
  explicit CModuleMachine(std::map<std::string, std::map<std::string, FARPROC>> modules)
      : m_modules(std::move(modules)), m_real(*MachineSeam().Install(this)) {}
  ~CModuleMachine() override { MachineSeam().Uninstall(this, &m_real); }
  int m_cLoaded = 0;

#define KELMYR_FORWARD(R, name, params, args) \
  R name params override { return m_real.name args; }
  KELMYR_FORWARD(HANDLE, GetCurrentProcess, (), ())
  KELMYR_FORWARD(DWORD, GetCurrentProcessId, (), ())
  KELMYR_FORWARD(HANDLE, OpenProcess, (DWORD a, BOOL b, DWORD c), (a, b, c))
  KELMYR_FORWARD(BOOL, OpenProcessToken, (HANDLE a, DWORD b, PHANDLE c), (a, b, c))
  KELMYR_FORWARD(BOOL, GetTokenInformation,
                 (HANDLE a, TOKEN_INFORMATION_CLASS b, LPVOID c, DWORD d, PDWORD e),
                 (a, b, c, d, e))
  KELMYR_FORWARD(BOOL, CloseHandle, (HANDLE a), (a))
  KELMYR_FORWARD(BOOL, ProcessIdToSessionId, (DWORD a, DWORD* b), (a, b))
  KELMYR_FORWARD(BOOL, LookupPrivilegeValueW, (LPCWSTR a, LPCWSTR b, PLUID c), (a, b, c))
  KELMYR_FORWARD(BOOL, AdjustTokenPrivileges,
                 (HANDLE a, BOOL b, PTOKEN_PRIVILEGES c, DWORD d, PTOKEN_PRIVILEGES e, PDWORD f),
                 (a, b, c, d, e, f))
  KELMYR_FORWARD(DWORD, GetSecurityInfo,
                 (HANDLE a, SE_OBJECT_TYPE b, SECURITY_INFORMATION c, PSID* d, PSID* e, PACL* f,
                  PACL* g, PSECURITY_DESCRIPTOR* h),
                 (a, b, c, d, e, f, g, h))
  KELMYR_FORWARD(BOOL, ConvertSecurityDescriptorToStringSecurityDescriptorW,
                 (PSECURITY_DESCRIPTOR a, DWORD b, SECURITY_INFORMATION c, LPWSTR* d, PULONG e),
                 (a, b, c, d, e))
  KELMYR_FORWARD(BOOL, ConvertSidToStringSidW, (PSID a, LPWSTR* b), (a, b))
  KELMYR_FORWARD(BOOL, ConvertStringSidToSidW, (LPCWSTR a, PSID* b), (a, b))
  KELMYR_FORWARD(BOOL, EqualSid, (PSID a, PSID b), (a, b))
  KELMYR_FORWARD(BOOL, EqualPrefixSid, (PSID a, PSID b), (a, b))
  KELMYR_FORWARD(HLOCAL, LocalAlloc, (UINT a, SIZE_T b), (a, b))
  KELMYR_FORWARD(HLOCAL, LocalFree, (HLOCAL a), (a))
  KELMYR_FORWARD(HRESULT, CoGetCallContext, (REFIID a, void** b), (a, b))
  KELMYR_FORWARD(HRESULT, SafeArrayAccessData, (SAFEARRAY * a, void** b), (a, b))
  KELMYR_FORWARD(HRESULT, SafeArrayUnaccessData, (SAFEARRAY * a), (a))
  KELMYR_FORWARD(ULONGLONG, GetTickCount64, (), ())
  KELMYR_FORWARD(ULONGLONG, GetWakeCount, (), ())
  KELMYR_FORWARD(DWORD, WaitForTick, (ULONGLONG a, ULONGLONG b), (a, b))
  KELMYR_FORWARD(void, Wake, (), ())
#undef KELMYR_FORWARD

  HMODULE LoadLibraryW(LPCWSTR pszName) override {
    std::string name;
    for (const WCHAR* p = pszName; *p != 0; ++p) name += static_cast<char>(std::tolower(*p));
    const auto it = m_modules.find(name);
    if (it == m_modules.end()) return nullptr;
    ++m_cLoaded;
    return reinterpret_cast<HMODULE>(&it->second);
  }
  FARPROC GetProcAddress(HMODULE hModule, LPCSTR pszName) override {
    const auto& exports = *reinterpret_cast<std::map<std::string, FARPROC>*>(hModule);
    const auto it = exports.find(pszName);
    return it == exports.end() ? nullptr : it->second;
  }
  BOOL FreeLibrary(HMODULE) override { return --m_cLoaded, TRUE; }

 private:
  std::map<std::string, std::map<std::string, FARPROC>> m_modules;
  IMachine& m_real;
};

using Modules = std::map<std::string, std::map<std::string, FARPROC>>;
const Modules kNtdll = {{"ntdll.dll", {{"ZwQueryKey", Export(&QueryKeyName)}}}};

Modules With(Modules modules, const Modules& more) {
  modules.insert(more.begin(), more.end());
  return modules;
}

bool ValueAt(HKEY hRoot, const WString& path) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &h) != 0) return false;
  const bool bFound = RegQueryValueExW(h, OLESTR("v"), nullptr, nullptr, nullptr, nullptr) == 0;
  RegCloseKey(h);
  return bFound;
}

TEST(RegistryLocation, EachKindWritesWhereItMay) {
  CScratchHive hive;
  CTestKey location;
  gLocation = location.Path();
  const WString dir = Widen("Orvane\\Kelmyr\\RemanentDataStore\\Kinds\\1\\A");
  const Modules userenv = {
      {"userenv.dll", {{"GetAppContainerRegistryLocation", Export(&AppContainerLocation)}}}};
  const Modules ieframe = {{"ieframe.dll", {{"IEGetWriteableHKCU", Export(&WriteableHKCU)}}}};
  struct SRow {
    const char* label;
    ULONG nKind;
    Modules modules;
    HRESULT hrLibrary;
    bool bGone;  // the client process has exited
    HRESULT hr;
    HKEY hRoot;  // where the value lands
    WString path;
    size_t cKeysHeld;  // between operations
  } rows[] = {
      {"container, no library", 0, kNtdll, S_OK, false, E_FAIL, nullptr, {}, 0},
      {"container, no entry point",
       0,
       With(kNtdll, {{"userenv.dll", {}}}),
       S_OK,
       false,
       E_FAIL,
       nullptr,
       {},
       0},
      {"container, location fails",
       0,
       With(kNtdll, userenv),
       E_ACCESSDENIED,
       false,
       E_ACCESSDENIED,
       nullptr,
       {},
       0},
      {"container, key name unknown", 0, userenv, S_OK, false, E_FAIL, nullptr, {}, 0},
      {"container", 0, With(kNtdll, userenv), S_OK, false, S_OK, HKEY_CURRENT_USER,
       gLocation + Widen("\\Software\\AppData\\") + dir, 1},
      {"low, no library", 1, kNtdll, S_OK, false, E_NOTIMPL, nullptr, {}, 0},
      {"low, no entry point",
       1,
       With(kNtdll, {{"ieframe.dll", {}}}),
       S_OK,
       false,
       E_NOTIMPL,
       nullptr,
       {},
       0},
      {"low", 1, With(kNtdll, ieframe), S_OK, false, S_OK, HKEY_CURRENT_USER,
       gLocation + Widen("\\") + dir, 1},
      {"low copy of the client's user",
       2,
       {},
       S_OK,
       false,
       S_OK,
       HKEY_USERS,
       Widen("S-1-5-21-1111-2222-3333-1001\\Software\\AppDataLow\\") + dir,
       0},
      {"low copy, client gone", 2, {}, S_OK, true, E_ACCESSDENIED, nullptr, {}, 0},
      {"machine", 3, {}, S_OK, false, S_OK, HKEY_LOCAL_MACHINE, Widen("Software\\") + dir, 0},
  };
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.label);
    CModuleMachine modules(row.modules);
    CScriptedMachine machine;
    machine.Process(77).bGone = row.bGone;
    CScriptedRegistry registry;
    ghrLibrary = row.hrLibrary;
    {
      CRegistryTree tree(U("Kinds"), row.nKind);
      CScopedSafeArray value = MakeBytes({1});
      EXPECT_EQ(tree.SetData(U("1/A"), U("v"), value.Get(), 77, FALSE), row.hr);
      BOOL bCached = FALSE;
      EXPECT_EQ(tree.IsDataCached(U("1/A"), U("v"), &bCached, 77), row.hr);
      EXPECT_EQ(bCached != FALSE, SUCCEEDED(row.hr));
      EXPECT_EQ(registry.OpenKeys(), row.cKeysHeld);
      if (row.hRoot != nullptr) {
        EXPECT_TRUE(ValueAt(row.hRoot, row.path));
        EXPECT_EQ(tree.FlushTree(77), S_OK);
        EXPECT_FALSE(ValueAt(row.hRoot, row.path));
      }
    }
    EXPECT_EQ(registry.OpenKeys(), 0u);
    EXPECT_EQ(modules.m_cLoaded, 0);
  }
}

// The low-integrity copy follows the user of whichever client each
// operation names.
TEST(RegistryLocation, LowCopyFollowsEachCallsClient) {
  CScratchHive hive;
  CScriptedMachine machine;
  machine.Process(77);
  machine.Process(78).user = OLESTR("S-1-5-21-1111-2222-3333-1002");
  CRegistryTree tree(U("Kinds"), REGISTRY_TREE_LOW_DUPLICATE);
  CScopedSafeArray value = MakeBytes({1});
  ASSERT_EQ(tree.SetData(U("1/A"), U("v"), value.Get(), 77, FALSE), S_OK);
  BOOL bCached = TRUE;
  EXPECT_EQ(tree.IsDataCached(U("1/A"), U("v"), &bCached, 78), S_OK);
  EXPECT_FALSE(bCached);
  EXPECT_EQ(tree.IsDataCached(U("1/A"), U("v"), &bCached, 77), S_OK);
  EXPECT_TRUE(bCached);
  EXPECT_EQ(tree.FlushTree(77), S_OK);
}

}  // namespace
