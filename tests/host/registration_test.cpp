// The component's registration against HKEY_CLASSES_ROOT (the test's own
// hive natively, the Wine prefix's registry on Windows), with this test
// executable standing for the module, and the script processor's refusals.
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "common/registry_test_key.h"
#include "common/scripted_registry.h"
#include "host/registration.h"
#include "host/registryscript.h"
#include "support/scopedhkey.h"
#include "support/utf8.h"

namespace {

#define APPID "{4679890B-68C5-4A48-ADE2-B758DE03C099}"
#define LIBID "{AD9D228E-C987-4000-B860-BF27FAC924D7}"

// Each class stands for $N, $C and $T in the lines written for it.
using SRow = std::array<std::string, 3>;
const SRow kClasses[] = {
    {"DataStoreManager", "{FBC297DB-6388-4179-890A-819A1A1FB679}", LIBID},
    {"DataStore", "{8694F802-B18A-4653-AE2D-A8FD29C8ACD7}", "{}"},
    {"AuthStore", "{0C22DBD8-7FA4-45C0-98D4-7E4985AF9F42}", "{}"},
};

// What registration must leave: "key|name=data" per value (no name for the
// default value) and "key" per key with neither values nor subkeys, the
// module's path written <MODULE>. The type library's keys are left to the
// registration parity, which compares them with the platform's own
// type-library registration.
const char* const kComponentLines[] = {
    "AppID\\" APPID "|=qv.kelmyr.dll",
    "AppID\\" APPID "|DllSurrogate=",
    "AppID\\qv.kelmyr.dll|AppID=" APPID,
    "CLSID\\{FBC297DB-6388-4179-890A-819A1A1FB679}|AppID=" APPID,
};
const char* const kClassLines[] = {
    "qv.kelmyr.$N|=$N Class",
    "qv.kelmyr.$N\\CLSID|=$C",
    "qv.kelmyr.$N\\CurVer|=qv.kelmyr.$N.1",
    "qv.kelmyr.$N.1|=$N Class",
    "qv.kelmyr.$N.1\\CLSID|=$C",
    "CLSID\\$C|=$N Class",
    "CLSID\\$C\\ProgID|=qv.kelmyr.$N.1",
    "CLSID\\$C\\VersionIndependentProgID|=qv.kelmyr.$N",
    "CLSID\\$C\\Programmable",
    "CLSID\\$C\\InprocServer32|=<MODULE>",
    "CLSID\\$C\\InprocServer32|ThreadingModel=Apartment",
    "CLSID\\$C\\TypeLib|=$T",
};

std::string Substitute(std::string line, const SRow& row) {
  for (size_t i = 0; (i = line.find('$', i)) != std::string::npos;)
    line.replace(i, 2, row[std::string("NCT").find(line[i + 1])]);
  return line;
}

// This executable standing for the module; its path, as List reads it.
std::string gModulePath;
HRESULT Register(bool bRegister = true) {
  static HMODULE hModule = nullptr;
  static WCHAR szPath[1024] = {};
  static const HRESULT hr = CurrentModule(&hModule, szPath, 1024);
  EXPECT_EQ(S_OK, hr);
  gModulePath = Utf16ToUtf8(szPath);
  return bRegister ? RegisterComponent(hModule, szPath) : UnregisterComponent(hModule, szPath);
}

// Adds the lines of the HKCR key and of everything below it.
void List(const std::string& key, std::set<std::string>* pLines) {
  CScopedHKEY hKey;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, Widen(key).c_str(), 0, KEY_READ, hKey.Receive())) return;
  WCHAR szName[256], szData[1024];
  DWORD i = 0, j = 0;
  for (DWORD cchName = 256, cbData = sizeof szData, dwType = 0;
       !RegEnumValueW(hKey.Get(), i, szName, &cchName, nullptr, &dwType,
                      reinterpret_cast<BYTE*>(szData), &cbData);
       cchName = 256, cbData = sizeof szData, ++i) {
    std::string data = dwType == REG_SZ ? Utf16ToUtf8(szData) : "type " + std::to_string(dwType);
    if (data == gModulePath) data = "<MODULE>";
    pLines->insert(key + "|" + Utf16ToUtf8(szName) + "=" + data);
  }
  for (DWORD cchName = 256;
       !RegEnumKeyExW(hKey.Get(), j, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
       cchName = 256, ++j) {
    List(key + "\\" + Utf16ToUtf8(szName), pLines);
  }
  if (i + j == 0) pLines->insert(key);
}

std::set<std::string> Registered() {
  std::set<std::string> lines;
  for (const char* key : {"AppID\\" APPID, "AppID\\qv.kelmyr.dll"}) List(key, &lines);
  for (const SRow& c : kClasses) {
    for (const char* key : {"qv.kelmyr.$N", "qv.kelmyr.$N.1", "CLSID\\$C"})
      List(Substitute(key, c), &lines);
  }
  return lines;
}

std::set<std::string> Expected() {
  std::set<std::string> lines(std::begin(kComponentLines), std::end(kComponentLines));
  for (const SRow& c : kClasses) {
    for (const char* line : kClassLines) lines.insert(Substitute(line, c));
  }
  return lines;
}

bool KeyExists(const std::string& key, HKEY hRoot = HKEY_CLASSES_ROOT) {
  CScopedHKEY hKey;
  return RegOpenKeyExW(hRoot, Widen(key).c_str(), 0, KEY_READ, hKey.Receive()) == ERROR_SUCCESS;
}

TEST(Registration, WritesTheLayoutRemovesStaleKeysAndUnregistersAllButTheParents) {
  const std::string foreign = "CLSID\\{00000000-1111-2222-3333-444444444444}";
  CreateKey(HKEY_CLASSES_ROOT, foreign);
  // The second time over what is there: the same keys, and nothing of the old.
  for (int i = 0; i < 2; ++i) {
    CreateKey(HKEY_CLASSES_ROOT, "CLSID\\" + kClasses[1][1] + "\\Stale");
    ASSERT_EQ(S_OK, Register());
    EXPECT_EQ(Expected(), Registered());
  }
  // Another component's subkey keeps a key, which loses the script's values.
  const std::string kept = "qv.kelmyr.DataStore\\Other";
  CreateKey(HKEY_CLASSES_ROOT, kept);
  ASSERT_EQ(S_OK, Register(false));
  EXPECT_EQ(std::set<std::string>{kept}, Registered());
  EXPECT_TRUE(KeyExists(foreign));
  // Once more with nothing of it left, and no other class below "CLSID".
  for (const std::string& key : {foreign, kept, std::string("qv.kelmyr.DataStore")})
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, Widen(key).c_str()));
  ASSERT_EQ(S_OK, Register(false));
  EXPECT_TRUE(KeyExists("AppID") && KeyExists("CLSID"));
}

// Registration through a registry that fails one call: its answer, where the
// classes go (the machine's class key, the user's when the machine's refuses
// writes, or nowhere when the first script fails), and the thread's locale:
// the system's while it runs, its own again after. Unregistration goes the
// same way.
TEST(Registration, FailuresPerUserClassesAndTheThreadLocale) {
  using ECall = CScriptedRegistry::ECall;
  const std::string server = "Software\\Classes\\CLSID\\" + kClasses[2][1] + "\\InprocServer32";
  ASSERT_TRUE(SetThreadLocale(LOCALE_SYSTEM_DEFAULT));
  const LCID system = GetThreadLocale(), own = system == 0x0407 ? 0x040C : 0x0407;
  const struct {
    ECall call;
    LONG lFailure;
    HRESULT hr;
    HKEY hClasses;
  } rows[] = {
      {ECall::SetValue, ERROR_SUCCESS, S_OK, HKEY_LOCAL_MACHINE},
      {ECall::SetValue, ERROR_ACCESS_DENIED, E_ACCESSDENIED, nullptr},
      {ECall::OpenKey, ERROR_ACCESS_DENIED, S_OK, HKEY_CURRENT_USER},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    ASSERT_TRUE(SetThreadLocale(own));
    LCID during = 0;
    for (const bool bRegister : {true, false}) {
      CScriptedRegistry registry;
      registry.AfterNext(ECall::CreateKey, [&] { during = GetThreadLocale(); });
      if (row.lFailure != ERROR_SUCCESS && (bRegister || row.call == ECall::OpenKey))
        registry.FailNext(row.call, row.lFailure);
      EXPECT_EQ(bRegister ? row.hr : S_OK, Register(bRegister));
      for (HKEY hRoot : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        EXPECT_EQ(bRegister && hRoot == row.hClasses, KeyExists(server, hRoot));
    }
    EXPECT_EQ(system, during);
    EXPECT_EQ(own, GetThreadLocale());
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
  const SScriptReplacement module = {"MODULE", OLESTR("m")};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.pszScript);
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
