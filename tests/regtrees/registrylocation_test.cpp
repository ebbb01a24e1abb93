// Where a registry tree of each location kind keeps its keys, with the
// libraries of the sandboxed kinds given, withheld or failing, and the
// client's user for the low-integrity copy.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

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

// A module, given (its exports) or withheld (absent).
struct SModule {
  const OLECHAR* pszName;
  bool bGiven;
  std::map<std::string, FARPROC> exports;
};
const SModule kNtdll = {OLESTR("ntdll.dll"), true, {{"ZwQueryKey", Export(&QueryKeyName)}}};
const SModule kNoNtdll = {OLESTR("ntdll.dll"), false, {}};
const SModule kUserEnv = {OLESTR("userenv.dll"),
                          true,
                          {{"GetAppContainerRegistryLocation", Export(&AppContainerLocation)}}};
const SModule kIeFrame = {
    OLESTR("ieframe.dll"), true, {{"IEGetWriteableHKCU", Export(&WriteableHKCU)}}};

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
  struct SRow {
    const char* label;
    ULONG nKind;
    std::vector<SModule> modules;
    HRESULT hrLibrary;
    bool bGone;  // the client process has exited
    HRESULT hr;
    HKEY hRoot;  // where the value lands
    WString path;
    size_t cKeysHeld;  // between operations
  } rows[] = {
      {"container, no library",
       0,
       {kNtdll, {OLESTR("userenv.dll"), false, {}}},
       S_OK,
       false,
       E_FAIL,
       nullptr,
       {},
       0},
      {"container, no entry point",
       0,
       {kNtdll, {OLESTR("userenv.dll"), true, {}}},
       S_OK,
       false,
       E_FAIL,
       nullptr,
       {},
       0},
      {"container, location fails",
       0,
       {kNtdll, kUserEnv},
       E_ACCESSDENIED,
       false,
       E_ACCESSDENIED,
       nullptr,
       {},
       0},
      {"container, key name unknown", 0, {kNoNtdll, kUserEnv}, S_OK, false, E_FAIL, nullptr, {}, 0},
      {"container",
       0,
       {kNtdll, kUserEnv},
       S_OK,
       false,
       S_OK,
       HKEY_CURRENT_USER,
       gLocation + Widen("\\Software\\AppData\\") + dir,
       1},
      {"low, no library",
       1,
       {kNtdll, {OLESTR("ieframe.dll"), false, {}}},
       S_OK,
       false,
       E_NOTIMPL,
       nullptr,
       {},
       0},
      {"low, no entry point",
       1,
       {kNtdll, {OLESTR("ieframe.dll"), true, {}}},
       S_OK,
       false,
       E_NOTIMPL,
       nullptr,
       {},
       0},
      {"low",
       1,
       {kNtdll, kIeFrame},
       S_OK,
       false,
       S_OK,
       HKEY_CURRENT_USER,
       gLocation + Widen("\\") + dir,
       1},
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
    CScriptedMachine machine;
    for (const SModule& module : row.modules) {
      if (module.bGiven) {
        machine.ProvideModule(module.pszName, module.exports);
      } else {
        machine.WithholdModule(module.pszName);
      }
    }
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
    EXPECT_EQ(machine.LoadedModules(), 0u);
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
