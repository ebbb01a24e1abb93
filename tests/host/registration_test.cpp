// The component's registration against HKEY_CLASSES_ROOT (the test's own
// hive natively, the Wine prefix's registry on Windows), with this test
// executable standing for the module, and the script processor's refusals.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "common/registry_test_key.h"
#include "common/scripted_registry.h"
#include "host/registration.h"
#include "host/registryscript.h"
#include "support/scopedhkey.h"
#include "support/utf8.h"

namespace {

const std::string kAppId = "{4679890B-68C5-4A48-ADE2-B758DE03C099}";
const std::string kLibId = "{AD9D228E-C987-4000-B860-BF27FAC924D7}";
const std::string kDispatchProxy = "{00020424-0000-0000-C000-000000000046}";

struct SClass {
  std::string name, clsid, typelib;
};
const SClass kClasses[] = {
    {"DataStoreManager", "{FBC297DB-6388-4179-890A-819A1A1FB679}", kLibId},
    {"DataStore", "{8694F802-B18A-4653-AE2D-A8FD29C8ACD7}", "{}"},
    {"AuthStore", "{0C22DBD8-7FA4-45C0-98D4-7E4985AF9F42}", "{}"},
};
const std::pair<std::string, std::string> kInterfaces[] = {
    {"IDataStoreManager", "{2D11EF69-A0F1-4747-A7B4-4F9A8B125F28}"},
    {"IDataStore", "{CFE0DD20-EA5D-4909-9E1A-41A3D356867E}"},
    {"IAuthStore", "{F9716D53-F075-4D5E-A53E-A99E63659D29}"},
};

struct SModule {
  HMODULE hModule = nullptr;
  WCHAR szPath[1024] = {};
  std::string path, dir;
  SModule() {
    EXPECT_EQ(S_OK, CurrentModule(&hModule, szPath, 1024));
    path = Utf16ToUtf8(szPath);
    dir = path.substr(0, path.find_last_of("\\/"));
  }
};

// Every key and value below the given HKCR subtree, as "key" and
// "key|name=data" lines, the module's path and folder written <MODULE>, <DIR>.
void List(const SModule& module, const std::string& key, std::set<std::string>* pLines) {
  CScopedHKEY hKey;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Widen(key).c_str(), 0, KEY_READ, hKey.Receive())) return;
  pLines->insert(key);
  WCHAR szName[256], szData[1024];
  for (DWORD i = 0;; ++i) {
    DWORD cchName = 256, cbData = sizeof szData, dwType = 0;
    if (RegEnumValueW(hKey.Get(), i, szName, &cchName, nullptr, &dwType,
                      reinterpret_cast<BYTE*>(szData), &cbData) != ERROR_SUCCESS) {
      break;
    }
    std::string data = dwType == REG_SZ ? Utf16ToUtf8(szData) : "type " + std::to_string(dwType);
    if (data == module.path) data = "<MODULE>";
    if (data == module.dir) data = "<DIR>";
    pLines->insert(key + "|" + Utf16ToUtf8(szName) + "=" + data);
  }
  for (DWORD i = 0;; ++i) {
    DWORD cchName = 256;
    if (RegEnumKeyExW(hKey.Get(), i, szName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    List(module, key + "\\" + Utf16ToUtf8(szName), pLines);
  }
}

std::set<std::string> Registered(const SModule& module) {
  std::set<std::string> lines;
  for (const std::string& key :
       {"AppID\\" + kAppId, std::string("AppID\\qv.kelmyr.dll"), "TypeLib\\" + kLibId}) {
    List(module, key, &lines);
  }
  for (const SClass& c : kClasses) {
    List(module, "qv.kelmyr." + c.name, &lines);
    List(module, "qv.kelmyr." + c.name + ".1", &lines);
    List(module, "CLSID\\" + c.clsid, &lines);
  }
  for (const auto& [name, iid] : kInterfaces) List(module, "Interface\\" + iid, &lines);
  return lines;
}

// Adds each key, and its value as "key|name=data" when one is given.
void Add(std::set<std::string>* pLines,
         std::initializer_list<std::pair<std::string, std::string>> keys) {
  for (const auto& [key, value] : keys) {
    pLines->insert(key);
    if (!value.empty()) pLines->insert(key + "|" + value);
  }
}

// What registration must leave, written out from the component's layout.
std::set<std::string> Expected() {
  std::set<std::string> e;
  const std::string a = "AppID\\" + kAppId, t = "TypeLib\\" + kLibId, v = t + "\\1.0";
  Add(&e, {{a, "=qv.kelmyr.dll"},
           {a, "DllSurrogate="},
           {"AppID\\qv.kelmyr.dll", "AppID=" + kAppId},
           {t, ""},
           {v, "=Pellwick 1.0 Type Library"},
           {v + "\\0", ""},
           {v + "\\0\\win64", "=<MODULE>"},
           {v + "\\FLAGS", "=8"},
           {v + "\\HELPDIR", "=<DIR>"}});
  for (const SClass& c : kClasses) {
    const std::string p = "qv.kelmyr." + c.name, k = "CLSID\\" + c.clsid,
                      desc = "=" + c.name + " Class";
    Add(&e, {{p, desc},
             {p + "\\CLSID", "=" + c.clsid},
             {p + "\\CurVer", "=" + p + ".1"},
             {p + ".1", desc},
             {p + ".1\\CLSID", "=" + c.clsid},
             {k, desc},
             {k + "\\ProgID", "=" + p + ".1"},
             {k + "\\VersionIndependentProgID", "=" + p},
             {k + "\\Programmable", ""},
             {k + "\\InprocServer32", "=<MODULE>"},
             {k + "\\InprocServer32", "ThreadingModel=Apartment"},
             {k + "\\TypeLib", "=" + c.typelib}});
    if (c.name == "DataStoreManager") e.insert(k + "|AppID=" + kAppId);
  }
  for (const auto& [name, iid] : kInterfaces) {
    const std::string i = "Interface\\" + iid;
    Add(&e, {{i, "=" + name},
             {i + "\\ProxyStubClsid", "=" + kDispatchProxy},
             {i + "\\ProxyStubClsid32", "=" + kDispatchProxy},
             {i + "\\TypeLib", "=" + kLibId},
             {i + "\\TypeLib", "Version=1.0"}});
  }
  return e;
}

void CreateKey(const std::string& key) {
  CScopedHKEY hKey;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, Widen(key).c_str(), 0, nullptr, 0,
                                           KEY_WRITE, nullptr, hKey.Receive(), nullptr));
}

bool KeyExists(const std::string& key, HKEY hRoot = HKEY_CLASSES_ROOT) {
  CScopedHKEY hKey;
  return RegOpenKeyExW(hRoot, Widen(key).c_str(), 0, KEY_READ, hKey.Receive()) == ERROR_SUCCESS;
}

TEST(Registration, WritesTheLayoutRemovesStaleKeysAndUnregistersAllButTheParents) {
  const SModule module;
  const std::string stale = "CLSID\\" + kClasses[1].clsid + "\\Stale";
  const std::string foreign = "CLSID\\{00000000-1111-2222-3333-444444444444}";
  CreateKey(stale);
  CreateKey(foreign);
  ASSERT_EQ(S_OK, RegisterComponent(module.hModule, module.szPath));
  EXPECT_EQ(Expected(), Registered(module));
  // Again, over what is there: the same keys and nothing left of the old.
  CreateKey(stale);
  ASSERT_EQ(S_OK, RegisterComponent(module.hModule, module.szPath));
  EXPECT_EQ(Expected(), Registered(module));

  ASSERT_EQ(S_OK, UnregisterComponent(module.hModule, module.szPath));
  EXPECT_EQ(std::set<std::string>(), Registered(module));
  EXPECT_TRUE(KeyExists(foreign));
  // Once more with nothing of it left, and no other class below "CLSID".
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, Widen(foreign).c_str()));
  ASSERT_EQ(S_OK, UnregisterComponent(module.hModule, module.szPath));
  EXPECT_TRUE(KeyExists("AppID") && KeyExists("CLSID"));
}

TEST(Registration, RunsInTheSystemLocaleAndRestoresTheThreadsOwnAfterSuccessOrFailure) {
  const SModule module;
  ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
  const LCID system = GetThreadLocale();
  const LCID own = system == 0x0407 ? 0x040C : 0x0407;
  for (const LONG lFailure : {ERROR_SUCCESS, ERROR_ACCESS_DENIED}) {
    SCOPED_TRACE(lFailure);
    ASSERT_TRUE(SetThreadLocale(own));
    LCID during = 0;
    {
      CScriptedRegistry registry;
      registry.AfterNext(CScriptedRegistry::ECall::CreateKey, [&] { during = GetThreadLocale(); });
      if (lFailure != ERROR_SUCCESS)
        registry.FailNext(CScriptedRegistry::ECall::SetValue, lFailure);
      EXPECT_EQ(HRESULT_FROM_WIN32(lFailure), RegisterComponent(module.hModule, module.szPath));
    }
    EXPECT_EQ(system, during);
    EXPECT_EQ(own, GetThreadLocale());
    // A failure in the first script stops before any class is written.
    EXPECT_EQ(lFailure == ERROR_SUCCESS, KeyExists("CLSID\\" + kClasses[0].clsid));
    ASSERT_EQ(S_OK, UnregisterComponent(module.hModule, module.szPath));
  }
}

TEST(Registration, GoesToTheUsersClassesWhenTheMachinesRefuseWrites) {
  const SModule module;
  const std::string server = "Software\\Classes\\CLSID\\" + kClasses[2].clsid + "\\InprocServer32";
  for (const bool bRegister : {true, false}) {
    CScriptedRegistry registry;
    registry.FailNext(CScriptedRegistry::ECall::OpenKey, ERROR_ACCESS_DENIED);
    EXPECT_EQ(S_OK, bRegister ? RegisterComponent(module.hModule, module.szPath)
                              : UnregisterComponent(module.hModule, module.szPath));
    EXPECT_EQ(bRegister, KeyExists(server, HKEY_CURRENT_USER));
    EXPECT_FALSE(KeyExists(server, HKEY_LOCAL_MACHINE));
  }
}

TEST(RegistryScript, RefusesWhatItCannotRunAndWritesNothing) {
  const HRESULT kBadFormat = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  const HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
  const struct {
    const char* pszScript;
    HRESULT hr;
  } kRows[] = {
      {"HKCR { A { B = s 'x' }", kBadFormat},                  // unbalanced braces
      {"HKCR { A } }", kBadFormat},                            // one brace too many
      {"HKCR { A = s 'x }", kBadFormat},                       // unterminated string
      {"HKCR { A = 'x' }", kBadFormat},                        // no data type
      {"HKCR { A = s x }", kBadFormat},                        // unquoted data
      {"HKCR { '' = s 'x' }", kBadFormat},                     // empty key name
      {"HKCR { val = s 'x' }", kBadFormat},                    // value without a name
      {"HKCR { A { val V s 'x' } }", kBadFormat},              // value without "="
      {"HKCR { A = s 'caf\xc3\xa9' }", kBadFormat},            // not ASCII
      {"HKLM { A }", kNotSupported},                           // another root
      {"HKCR { A = d '1' }", kNotSupported},                   // another data type
      {"HKCR { Delete A }", kNotSupported},                    // another keyword
      {"HKCR { A = s '%UNKNOWN%' }", E_INVALIDARG},            // placeholder not in the table
      {"HKCR { A = s '50% off' }", E_INVALIDARG},              // unclosed placeholder
      {"HKCR { A { B } } HKCR { C = b '0' }", kNotSupported},  // fails after a valid part
  };
  CTestKey root;
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.pszScript);
    const SScriptReplacement module = {"MODULE", OLESTR("m")};
    EXPECT_EQ(row.hr,
              RunRegistryScript(row.pszScript, &module, 1, EScriptMode::kRegister, root.Get()));
    DWORD cSubKeys = 1;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryInfoKeyW(root.Get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, cSubKeys);
  }
}

}  // namespace
