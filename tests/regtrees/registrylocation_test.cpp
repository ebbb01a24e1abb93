// Where a registry tree of each location kind keeps its keys, with the
// libraries of the sandboxed kinds given, withheld or failing, and the user
// of each call's client for the low-integrity copy.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "common/registry_test_key.h"
#include "common/scripted_machine.h"
#include "common/scripted_registry.h"
#include "trees/registrytree.h"
#include "trees/tree_test_util.h"

namespace {

// The test's stand-ins for the libraries loaded at run time.
WString gLocation;  // below HKEY_CURRENT_USER: the key the libraries open
HRESULT ghrLibrary = S_OK;

HRESULT WINAPI WriteableHKCU(HKEY* phKey) {
  if (FAILED(ghrLibrary)) return ghrLibrary;
  return Registry().RegCreateKeyExW(HKEY_CURRENT_USER, gLocation.c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, phKey, nullptr) == ERROR_SUCCESS
             ? S_OK
             : E_FAIL;
}
HRESULT WINAPI AppContainerLocation(REGSAM, PHKEY phKey) { return WriteableHKCU(phKey); }
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

// The modules of a row, each word a module: "ntdll", "userenv" and
// "ieframe" with their entry point, "userenv-" and "ieframe-" without it,
// "!userenv", "!ieframe" and "!ntdll" withheld.
void Script(CScriptedMachine& machine, const std::string& words) {
  const std::map<std::string, std::pair<std::string, FARPROC>> entries = {
      {"ntdll", {"ZwQueryKey", Export(&QueryKeyName)}},
      {"userenv", {"GetAppContainerRegistryLocation", Export(&AppContainerLocation)}},
      {"ieframe", {"IEGetWriteableHKCU", Export(&WriteableHKCU)}}};
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const bool bWithheld = word[0] == '!';
    const bool bBare = word.back() == '-';
    const std::string name = word.substr(bWithheld, word.size() - bWithheld - bBare);
    std::map<std::string, FARPROC> exports;
    if (!bBare) exports.insert(entries.at(name));
    bWithheld ? machine.WithholdModule(Widen(name + ".dll"))
              : machine.ProvideModule(Widen(name + ".dll"), exports);
  }
}

bool ValueAt(HKEY hRoot, const WString& path) {
  return RegGetValueW(hRoot, path.c_str(), OLESTR("v"), RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, nullptr,
                      nullptr, nullptr) == ERROR_SUCCESS;
}

TEST(RegistryLocation, EachKindWritesWhereItMay) {
  CScratchHive hive;
  CTestKey location;
  gLocation = location.Path();
  const WString dir = Widen("Orvane\\Kelmyr\\RemanentDataStore\\Kinds\\1\\A");
  // Where a value lands for each kind, and the keys a tree of the kind holds
  // between operations. The machine's kind has tests of its own.
  const std::tuple<HKEY, WString, size_t> places[] = {
      {HKEY_CURRENT_USER, gLocation + Widen("\\Software\\AppData\\") + dir, 1},
      {HKEY_CURRENT_USER, gLocation + Widen("\\") + dir, 1},
      {HKEY_USERS, Widen("S-1-5-21-1111-2222-3333-1001\\Software\\AppDataLow\\") + dir, 0}};
  // label, kind, modules, result of the library's call, whether the client
  // process has exited, result.
  const std::tuple<const char*, ULONG, const char*, HRESULT, bool, HRESULT> rows[] = {
      {"container, no library", 0, "ntdll !userenv", S_OK, false, E_FAIL},
      {"container, no entry point", 0, "ntdll userenv-", S_OK, false, E_FAIL},
      {"container, location fails", 0, "ntdll userenv", E_ACCESSDENIED, false, E_ACCESSDENIED},
      {"container, key name unknown", 0, "!ntdll userenv", S_OK, false, E_FAIL},
      {"container", 0, "ntdll userenv", S_OK, false, S_OK},
      {"low, no library", 1, "ntdll !ieframe", S_OK, false, E_NOTIMPL},
      {"low, no entry point", 1, "ntdll ieframe-", S_OK, false, E_NOTIMPL},
      {"low", 1, "ntdll ieframe", S_OK, false, S_OK},
      {"low copy of the client's user", 2, "", S_OK, false, S_OK},
      {"low copy, client gone", 2, "", S_OK, true, E_ACCESSDENIED},
  };
  for (const auto& [label, nKind, pszModules, hrLibrary, bGone, hr] : rows) {
    SCOPED_TRACE(label);
    CScriptedMachine machine;
    Script(machine, pszModules);
    machine.Process(77).bGone = bGone;
    machine.Process(78).user = OLESTR("S-1-5-21-1111-2222-3333-1002");
    CScriptedRegistry registry;
    ghrLibrary = hrLibrary;
    {
      CRegistryTree tree(U("Kinds"), nKind);
      CScopedSafeArray value = MakeBytes({1});
      EXPECT_EQ(tree.SetData(U("1/A"), U("v"), value.Get(), 77, FALSE), hr);
      BOOL bCached = FALSE;
      EXPECT_EQ(tree.IsDataCached(U("1/A"), U("v"), &bCached, 77), hr);
      EXPECT_EQ(bCached != FALSE, SUCCEEDED(hr));
      // The low copy follows the user of each call's client.
      EXPECT_EQ(tree.IsDataCached(U("1/A"), U("v"), &bCached, 78), bGone ? S_OK : hr);
      EXPECT_EQ(bCached != FALSE, SUCCEEDED(hr) && nKind != 2);
      // The listing is not re-targeted: it reads where client 78 left the
      // tree. The version query is, before it checks its outputs.
      CScopedSafeArray all;
      EXPECT_EQ(tree.ListAllCompartmentIds(all.Receive()),
                SUCCEEDED(hr) && nKind != 2 ? S_OK : E_FAIL);
      EXPECT_EQ(tree.IsCompartmentCached(U("1/A"), nullptr, nullptr, nullptr, 77),
                SUCCEEDED(hr) ? E_FAIL : hr);
      const auto& [hRoot, path, cKeysHeld] = places[nKind];
      EXPECT_EQ(registry.OpenKeys(), SUCCEEDED(hr) ? cKeysHeld : 0);
      EXPECT_EQ(ValueAt(hRoot, path), SUCCEEDED(hr));
      EXPECT_EQ(SUCCEEDED(hr) ? tree.FlushTree(77) : S_OK, S_OK);
      EXPECT_FALSE(ValueAt(hRoot, path));
    }
    EXPECT_EQ(registry.OpenKeys(), 0u);
    EXPECT_EQ(machine.LoadedModules(), 0u);
  }
}

}  // namespace
