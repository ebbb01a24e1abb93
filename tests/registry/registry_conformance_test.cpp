// Registry conformance: the same assertions hold natively (the SQLite hive)
// and on Windows (under Wine, Wine's registry). Where Wine knowingly
// answers differently from Windows, the Windows answer stays the assertion
// and Wine's is accepted only through WINE_DIFFERS.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <cstring>
#include <vector>

#include "common/conformance.h"
#include "common/registry_test_key.h"
#include "support/scopedhkey.h"

namespace {

using Bytes = std::vector<BYTE>;

WString W(const char* psz) { return Widen(psz); }

Bytes BytesOf(const WString& s, bool bWithTerminator) {
  const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
  return Bytes(p, p + (s.size() + (bWithTerminator ? 1 : 0)) * sizeof(WCHAR));
}

CScopedHKEY CreateKey(HKEY hParent, const WString& path, DWORD* pdwDisposition = nullptr,
                      REGSAM sam = KEY_ALL_ACCESS) {
  CScopedHKEY key;
  DWORD dwDisposition = 0;
  EXPECT_EQ(RegCreateKeyExW(hParent, path.c_str(), 0, nullptr, 0, sam, nullptr, key.Receive(),
                            &dwDisposition),
            ERROR_SUCCESS);
  if (pdwDisposition != nullptr) *pdwDisposition = dwDisposition;
  return key;
}

LONG OpenKey(HKEY hParent, const WString& path, CScopedHKEY* pKey, REGSAM sam = KEY_READ) {
  return RegOpenKeyExW(hParent, path.c_str(), 0, sam, pKey->Receive());
}

std::vector<WString> SubKeys(HKEY hKey) {
  std::vector<WString> names;
  for (DWORD i = 0;; ++i) {
    WCHAR szName[300];
    DWORD cch = 300;
    const LONG l = RegEnumKeyExW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr);
    if (l != ERROR_SUCCESS) {
      EXPECT_EQ(l, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(szName, cch);
  }
  return names;
}

std::vector<WString> ValueNames(HKEY hKey) {
  std::vector<WString> names;
  for (DWORD i = 0;; ++i) {
    WCHAR szName[300];
    DWORD cch = 300;
    const LONG l = RegEnumValueW(hKey, i, szName, &cch, nullptr, nullptr, nullptr, nullptr);
    if (l != ERROR_SUCCESS) {
      EXPECT_EQ(l, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(szName, cch);
  }
  return names;
}

void SetValue(HKEY hKey, const WString& name, DWORD dwType, const Bytes& data) {
  EXPECT_EQ(RegSetValueExW(hKey, name.c_str(), 0, dwType, data.empty() ? nullptr : data.data(),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

Bytes QueryValue(HKEY hKey, const WString& name, DWORD* pdwType) {
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExW(hKey, name.c_str(), nullptr, pdwType, nullptr, &cb), ERROR_SUCCESS);
  Bytes data(cb + 8, 0xCC);
  DWORD cbRead = static_cast<DWORD>(data.size());
  EXPECT_EQ(RegQueryValueExW(hKey, name.c_str(), nullptr, pdwType, data.data(), &cbRead),
            ERROR_SUCCESS);
  EXPECT_EQ(cbRead, cb);
  data.resize(cbRead);
  return data;
}

class RegistryConformance : public ::testing::Test {
 protected:
  CScratchHive m_hive;
  CTestKey m_key;
};

TEST_F(RegistryConformance, KeyNamesFoldCaseAndKeepTheirSpelling) {
  CreateKey(m_key.Get(), W("MixedCase\\Inner"));
  DWORD dwDisposition = 0;
  CreateKey(m_key.Get(), W("MIXEDCASE"), &dwDisposition);
  EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  CScopedHKEY key;
  EXPECT_EQ(OpenKey(m_key.Get(), W("mixedcase\\INNER"), &key), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(m_key.Get()), std::vector<WString>{W("MixedCase")});

  // Values: one value whatever the case it is written in; the first
  // spelling stays.
  SetValue(m_key.Get(), W("ValueName"), REG_DWORD, {1, 0, 0, 0});
  SetValue(m_key.Get(), W("VALUENAME"), REG_DWORD, {2, 0, 0, 0});
  EXPECT_EQ(ValueNames(m_key.Get()), std::vector<WString>{W("ValueName")});
  DWORD dwType = 0;
  EXPECT_EQ(QueryValue(m_key.Get(), W("valuename"), &dwType), (Bytes{2, 0, 0, 0}));
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_DWORD));
}

TEST_F(RegistryConformance, SubkeysEnumerateInUpperCaseFoldedOrder) {
  for (const char* psz : {"b", "_x", "A", "a_", "Z", "[", "{", "B2"}) {
    CreateKey(m_key.Get(), W(psz));
  }
  const std::vector<WString> names = SubKeys(m_key.Get());
  // Folded to upper case, "_" (0x5F) and "[" (0x5B) sort after the letters.
  const std::vector<WString> windowsOrder = {W("A"), W("a_"), W("b"),  W("B2"),
                                             W("Z"), W("["),  W("_x"), W("{")};
  // Wine folds to lower case, which puts them before the letters.
  const std::vector<WString> wineOrder = {W("["), W("_x"), W("A"), W("a_"),
                                          W("b"), W("B2"), W("Z"), W("{")};
  EXPECT_TRUE(names == windowsOrder ||
              WINE_DIFFERS(names == wineOrder, "Wine sorts subkeys folded to lower case"));
}

TEST_F(RegistryConformance, ValuesEnumerateInCreationOrder) {
  for (const char* psz : {"zeta", "Alpha", "mid"}) SetValue(m_key.Get(), W(psz), REG_NONE, {});
  // Overwriting keeps a value's place; deleting and creating again moves it
  // to the end.
  SetValue(m_key.Get(), W("zeta"), REG_DWORD, {9, 0, 0, 0});
  ASSERT_EQ(RegDeleteValueW(m_key.Get(), W("Alpha").c_str()), ERROR_SUCCESS);
  SetValue(m_key.Get(), W("Alpha"), REG_NONE, {});
  const std::vector<WString> names = ValueNames(m_key.Get());
  const std::vector<WString> creationOrder = {W("zeta"), W("mid"), W("Alpha")};
  const std::vector<WString> nameOrder = {W("Alpha"), W("mid"), W("zeta")};
  EXPECT_TRUE(names == creationOrder ||
              WINE_DIFFERS(names == nameOrder, "Wine enumerates values in name order"));
}

TEST_F(RegistryConformance, ShortBuffersGetMoreDataWithTheSizeNeeded) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  SetValue(m_key.Get(), W("valname"), REG_BINARY, data);

  // RegQueryValueExW: the size alone, then a short buffer, then one that fits.
  DWORD dwType = 0;
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), W("valname").c_str(), nullptr, &dwType, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 10u);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_BINARY));
  BYTE buffer[16] = {};
  cb = 4;
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), W("valname").c_str(), nullptr, &dwType, buffer, &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, 10u);
  cb = 10;
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), W("valname").c_str(), nullptr, &dwType, buffer, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + cb), data);

  // RegEnumValueW: a short data buffer reports its size, the name is given.
  WCHAR szName[16];
  DWORD cch = 16;
  cb = 4;
  EXPECT_EQ(RegEnumValueW(m_key.Get(), 0, szName, &cch, nullptr, &dwType, buffer, &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, 10u);
  EXPECT_EQ(WString(szName, cch), W("valname"));
  // A short name buffer fails the same way and keeps its size.
  cch = 3;
  cb = sizeof buffer;
  EXPECT_EQ(RegEnumValueW(m_key.Get(), 0, szName, &cch, nullptr, &dwType, buffer, &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cch, 3u);

  // RegEnumKeyExW: the buffer must hold the name and its terminator.
  CreateKey(m_key.Get(), W("abcdef"));
  cch = 6;
  EXPECT_EQ(RegEnumKeyExW(m_key.Get(), 0, szName, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(cch, 6u);
  cch = 7;
  EXPECT_EQ(RegEnumKeyExW(m_key.Get(), 0, szName, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(cch, 6u);
  EXPECT_EQ(WString(szName), W("abcdef"));
}

TEST_F(RegistryConformance, EveryValueTypeKeepsItsBytesAndSize) {
  struct SCase {
    const char* pszName;
    DWORD dwType;
    Bytes data;
  };
  const std::vector<SCase> cases = {
      {"sz", REG_SZ, BytesOf(W("text"), true)},
      {"sz-unterminated", REG_SZ, BytesOf(W("abc"), false)},
      {"sz-odd", REG_SZ, {'a', 0, 'b'}},
      {"expand", REG_EXPAND_SZ, BytesOf(W("%PATH%\\x"), true)},
      {"multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0, 0, 'c', 0, 0, 0, 0, 0}},
      {"binary", REG_BINARY, {0, 0xFF, 0, 0x80, 1}},
      {"binary-empty", REG_BINARY, {}},
      {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
      {"dword-short", REG_DWORD, {7, 0}},
      {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"none", REG_NONE, {}},
      {"none-data", REG_NONE, {0xDE, 0xAD}},
      {"other-type", 0x12345, {1}},
  };
  // Wine stores a string written without its terminator with one added.
  const auto sameBytes = [](const Bytes& stored, const SCase& c) {
    Bytes terminated = c.data;
    terminated.insert(terminated.end(), {0, 0});
    return stored == c.data ||
           WINE_DIFFERS(std::strcmp(c.pszName, "sz-unterminated") == 0 && stored == terminated,
                        "Wine terminates strings stored without a terminator");
  };
  for (const SCase& c : cases) SetValue(m_key.Get(), W(c.pszName), c.dwType, c.data);
  for (const SCase& c : cases) {
    DWORD dwType = 0;
    EXPECT_TRUE(sameBytes(QueryValue(m_key.Get(), W(c.pszName), &dwType), c)) << c.pszName;
    EXPECT_EQ(dwType, c.dwType) << c.pszName;
  }
  // Enumeration hands out the same bytes.
  for (DWORD i = 0;; ++i) {
    WCHAR szName[64];
    DWORD cch = 64;
    BYTE data[64];
    DWORD cb = sizeof data;
    DWORD dwType = 0;
    const LONG l = RegEnumValueW(m_key.Get(), i, szName, &cch, nullptr, &dwType, data, &cb);
    if (l == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(l, ERROR_SUCCESS);
    const WString name(szName, cch);
    bool bFound = false;
    for (const SCase& c : cases) {
      if (W(c.pszName) != name) continue;
      bFound = true;
      EXPECT_TRUE(sameBytes(Bytes(data, data + cb), c)) << c.pszName;
      EXPECT_EQ(dwType, c.dwType) << c.pszName;
    }
    EXPECT_TRUE(bFound);
  }
  DWORD cValues = 0;
  DWORD cbMaxValue = 0;
  DWORD cchMaxValueName = 0;
  EXPECT_EQ(RegQueryInfoKeyW(m_key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             &cValues, &cchMaxValueName, &cbMaxValue, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(cValues, cases.size());
  EXPECT_EQ(cchMaxValueName, 15u);  // "sz-unterminated"
  EXPECT_EQ(cbMaxValue, 18u);       // "%PATH%\x" and its terminator
}

TEST_F(RegistryConformance, KeysWithSubkeysAreDeletedOnlyAsATree) {
  CreateKey(m_key.Get(), W("parent\\child\\grandchild"));
  SetValue(CreateKey(m_key.Get(), W("parent")).Get(), W("v"), REG_DWORD, {1, 0, 0, 0});

  EXPECT_EQ(RegDeleteKeyW(m_key.Get(), W("parent").c_str()), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyExW(m_key.Get(), W("parent").c_str(), KEY_WOW64_64KEY, 0),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(m_key.Get(), W("missing").c_str()), ERROR_FILE_NOT_FOUND);
  CScopedHKEY key;
  EXPECT_EQ(OpenKey(m_key.Get(), W("parent\\child\\grandchild"), &key), ERROR_SUCCESS);

  // A leaf goes with RegDeleteKeyW.
  EXPECT_EQ(RegDeleteKeyW(m_key.Get(), W("parent\\child\\grandchild").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(OpenKey(m_key.Get(), W("parent\\child\\grandchild"), &key), ERROR_FILE_NOT_FOUND);

  // RegDeleteTreeW without a subkey empties the key and keeps it.
  CreateKey(m_key.Get(), W("parent\\child\\again"));
  ASSERT_EQ(OpenKey(m_key.Get(), W("parent"), &key, KEY_ALL_ACCESS), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(key.Get(), nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(SubKeys(key.Get()).empty());
  EXPECT_TRUE(ValueNames(key.Get()).empty());

  // With a subkey, the subkey goes too.
  CreateKey(m_key.Get(), W("parent\\child\\again"));
  EXPECT_EQ(RegDeleteTreeW(m_key.Get(), W("parent").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(OpenKey(m_key.Get(), W("parent"), &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(m_key.Get(), W("parent").c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryConformance, EnumerationFollowsDeletions) {
  for (const char* psz : {"k1", "k2", "k3", "k4"}) CreateKey(m_key.Get(), W(psz));
  EXPECT_EQ(RegDeleteKeyW(m_key.Get(), W("k2").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(SubKeys(m_key.Get()), (std::vector<WString>{W("k1"), W("k3"), W("k4")}));

  // Deleting index 0 until none is left visits every key once.
  std::vector<WString> deleted;
  for (;;) {
    WCHAR szName[16];
    DWORD cch = 16;
    const LONG l = RegEnumKeyExW(m_key.Get(), 0, szName, &cch, nullptr, nullptr, nullptr, nullptr);
    if (l == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(l, ERROR_SUCCESS);
    deleted.emplace_back(szName, cch);
    ASSERT_EQ(RegDeleteKeyW(m_key.Get(), szName), ERROR_SUCCESS);
    ASSERT_LE(deleted.size(), 3u);
  }
  EXPECT_EQ(deleted, (std::vector<WString>{W("k1"), W("k3"), W("k4")}));

  for (const char* psz : {"v1", "v2", "v3"}) SetValue(m_key.Get(), W(psz), REG_NONE, {});
  EXPECT_EQ(RegDeleteValueW(m_key.Get(), W("v2").c_str()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(m_key.Get(), W("v2").c_str()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ValueNames(m_key.Get()), (std::vector<WString>{W("v1"), W("v3")}));
  DWORD cSubKeys = 99;
  DWORD cValues = 99;
  EXPECT_EQ(RegQueryInfoKeyW(m_key.Get(), nullptr, nullptr, nullptr, &cSubKeys, nullptr, nullptr,
                             &cValues, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(cSubKeys, 0u);
  EXPECT_EQ(cValues, 2u);
}

TEST_F(RegistryConformance, HandleOfADeletedKeyReportsKeyDeleted) {
  CScopedHKEY gone = CreateKey(m_key.Get(), W("gone"));
  ASSERT_EQ(RegDeleteKeyW(m_key.Get(), W("gone").c_str()), ERROR_SUCCESS);
  // A key of the same name created again is another key.
  CreateKey(m_key.Get(), W("gone"));

  const BYTE data[4] = {1, 0, 0, 0};
  EXPECT_EQ(RegSetValueExW(gone.Get(), W("v").c_str(), 0, REG_DWORD, data, 4), ERROR_KEY_DELETED);
  DWORD cb = 4;
  BYTE buffer[4];
  EXPECT_EQ(RegQueryValueExW(gone.Get(), W("v").c_str(), nullptr, nullptr, buffer, &cb),
            ERROR_KEY_DELETED);
  WCHAR szName[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(gone.Get(), 0, szName, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  HKEY hChild = nullptr;
  EXPECT_EQ(RegCreateKeyExW(gone.Get(), W("c").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &hChild, nullptr),
            ERROR_KEY_DELETED);
  EXPECT_EQ(RegDeleteValueW(gone.Get(), W("v").c_str()), ERROR_KEY_DELETED);
  EXPECT_EQ(RegFlushKey(gone.Get()), ERROR_KEY_DELETED);

  // Closing such a handle works once; a handle closed is no handle.
  const HKEY hGone = gone.Release();
  EXPECT_EQ(RegCloseKey(hGone), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(hGone), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryConformance, PredefinedRootsMayBeClosedAndAreNeverDeleted) {
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, W("").c_str()), ERROR_ACCESS_DENIED);
  CScopedHKEY key;
  EXPECT_EQ(OpenKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), W("Software"), &key),
            ERROR_INVALID_HANDLE);
  // The 64-bit view flag is accepted everywhere a view is named.
  EXPECT_EQ(OpenKey(HKEY_CURRENT_USER, m_key.Path(), &key, KEY_READ | KEY_WOW64_64KEY),
            ERROR_SUCCESS);
  CreateKey(m_key.Get(), W("view"), nullptr, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
  EXPECT_EQ(RegDeleteKeyExW(m_key.Get(), W("view").c_str(), KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
}

TEST_F(RegistryConformance, BadArgumentsGetTheWindowsCodes) {
  const BYTE data[4] = {};
  DWORD cb = 4;
  DWORD dwReserved = 0;
  BYTE buffer[4];
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), nullptr, &dwReserved, nullptr, buffer, &cb),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), nullptr, nullptr, nullptr, buffer, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(m_key.Get(), W("absent").c_str(), nullptr, nullptr, nullptr, &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(m_key.Get(), W("v").c_str(), 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  EXPECT_EQ(RegSetValueExW(m_key.Get(), W("v").c_str(), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(m_key.Get(), nullptr), ERROR_INVALID_PARAMETER);

  // Value names up to 16383 units.
  EXPECT_EQ(RegSetValueExW(m_key.Get(), WString(16383, 'v').c_str(), 0, REG_DWORD, data, 4),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(m_key.Get(), WString(16384, 'v').c_str(), 0, REG_DWORD, data, 4),
            ERROR_INVALID_PARAMETER);

  HKEY hKey = nullptr;
  EXPECT_EQ(RegCreateKeyExW(m_key.Get(), W("r").c_str(), 1, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &hKey, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(m_key.Get(), W("r").c_str(), 0, KEY_READ, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(m_key.Get(), W("missing").c_str(), 0, KEY_READ, &hKey),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCreateKeyExW(m_key.Get(), W("\\lead").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &hKey, nullptr),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(RegOpenKeyExW(m_key.Get(), W("\\lead").c_str(), 0, KEY_READ, &hKey),
            ERROR_BAD_PATHNAME);
}

TEST_F(RegistryConformance, PathsAndKeyNameLimits) {
  // A trailing separator is ignored and doubled separators count as one.
  CreateKey(m_key.Get(), W("trail\\"));
  CreateKey(m_key.Get(), W("x\\\\y"));
  CScopedHKEY key;
  EXPECT_EQ(OpenKey(m_key.Get(), W("trail"), &key), ERROR_SUCCESS);
  EXPECT_EQ(OpenKey(m_key.Get(), W("x\\y"), &key), ERROR_SUCCESS);

  CreateKey(m_key.Get(), WString(255, 'k'));
  EXPECT_EQ(SubKeys(m_key.Get()).size(), 3u);
  HKEY hKey = nullptr;
  const LONG l = RegCreateKeyExW(m_key.Get(), WString(256, 'k').c_str(), 0, nullptr, 0,
                                 KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
  EXPECT_TRUE(l == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(l == ERROR_SUCCESS, "Wine accepts key names over 255 units"));
  if (l == ERROR_SUCCESS) RegCloseKey(hKey);
}

TEST_F(RegistryConformance, HandlesGrantOnlyTheRightsAskedFor) {
  CreateKey(m_key.Get(), W("a\\sub"));
  const BYTE data[4] = {};
  CScopedHKEY readOnly;
  ASSERT_EQ(OpenKey(m_key.Get(), W("a"), &readOnly, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(readOnly.Get(), W("v").c_str(), 0, REG_DWORD, data, 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(readOnly.Get(), W("").c_str()), ERROR_ACCESS_DENIED);
  // Opening an existing subkey through it is reading; creating one is not.
  DWORD dwDisposition = 0;
  CreateKey(readOnly.Get(), W("sub"), &dwDisposition, KEY_READ);
  EXPECT_EQ(dwDisposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  HKEY hNew = nullptr;
  const LONG l = RegCreateKeyExW(readOnly.Get(), W("new").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &hNew, nullptr);
  EXPECT_TRUE(l == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(l == ERROR_SUCCESS, "Wine lets any handle create subkeys"));
  if (l == ERROR_SUCCESS) RegCloseKey(hNew);

  CScopedHKEY queryOnly;
  ASSERT_EQ(OpenKey(m_key.Get(), W("a"), &queryOnly, KEY_QUERY_VALUE), ERROR_SUCCESS);
  WCHAR szName[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(queryOnly.Get(), 0, szName, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  CScopedHKEY enumOnly;
  ASSERT_EQ(OpenKey(m_key.Get(), W("a"), &enumOnly, KEY_ENUMERATE_SUB_KEYS), ERROR_SUCCESS);
  DWORD cb = 4;
  BYTE buffer[4];
  EXPECT_EQ(RegQueryValueExW(enumOnly.Get(), W("v").c_str(), nullptr, nullptr, buffer, &cb),
            ERROR_ACCESS_DENIED);
}

TEST_F(RegistryConformance, CurrentUserIsTheUsersKeyOfTheProcessSid) {
  SetValue(m_key.Get(), W("marker"), REG_DWORD, {5, 0, 0, 0});
  std::vector<WString> holders;
  for (const WString& sid : SubKeys(HKEY_USERS)) {
    CScopedHKEY key;
    if (OpenKey(HKEY_USERS, sid + W("\\") + m_key.Path(), &key) != ERROR_SUCCESS) continue;
    DWORD dwType = 0;
    EXPECT_EQ(QueryValue(key.Get(), W("marker"), &dwType), (Bytes{5, 0, 0, 0}));
    holders.push_back(sid);
  }
  ASSERT_EQ(holders.size(), 1u) << "exactly one user's key is HKEY_CURRENT_USER";
  EXPECT_EQ(holders[0].rfind(W("S-1-5-"), 0), 0u);
}

TEST_F(RegistryConformance, ClassesRootIsTheMachineClassesKey) {
  CTestKey classes(HKEY_CLASSES_ROOT);
  ASSERT_NE(classes.Get(), nullptr);
  SetValue(classes.Get(), W("marker"), REG_SZ, BytesOf(W("x"), true));
  CScopedHKEY key;
  ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, W("Software\\Classes\\") + classes.Path(), &key),
            ERROR_SUCCESS);
  DWORD dwType = 0;
  EXPECT_EQ(QueryValue(key.Get(), W("marker"), &dwType), BytesOf(W("x"), true));
}

TEST_F(RegistryConformance, GetValueChecksTypesAndTerminatesStrings) {
  SetValue(m_key.Get(), W("dw"), REG_DWORD, {5, 0, 0, 0});
  SetValue(m_key.Get(), W("sz"), REG_SZ, BytesOf(W("abc"), false));
  CreateKey(m_key.Get(), W("sub"));
  SetValue(CreateKey(m_key.Get(), W("sub")).Get(), W("q"), REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0});

  DWORD dwType = 0;
  BYTE buffer[32] = {};
  DWORD cb = sizeof buffer;
  EXPECT_EQ(
      RegGetValueW(m_key.Get(), nullptr, W("dw").c_str(), RRF_RT_REG_SZ, &dwType, buffer, &cb),
      ERROR_UNSUPPORTED_TYPE);
  cb = sizeof buffer;
  EXPECT_EQ(
      RegGetValueW(m_key.Get(), nullptr, W("dw").c_str(), RRF_RT_REG_DWORD, &dwType, buffer, &cb),
      ERROR_SUCCESS);
  EXPECT_EQ(cb, 4u);
  // A string stored without its terminator is returned with one.
  cb = 0;
  EXPECT_EQ(
      RegGetValueW(m_key.Get(), nullptr, W("sz").c_str(), RRF_RT_REG_SZ, &dwType, nullptr, &cb),
      ERROR_SUCCESS);
  EXPECT_EQ(cb, 8u);
  cb = 6;
  EXPECT_EQ(
      RegGetValueW(m_key.Get(), nullptr, W("sz").c_str(), RRF_RT_REG_SZ, &dwType, buffer, &cb),
      ERROR_MORE_DATA);
  EXPECT_EQ(cb, 8u);
  cb = sizeof buffer;
  EXPECT_EQ(RegGetValueW(m_key.Get(), nullptr, W("sz").c_str(), RRF_RT_ANY, &dwType, buffer, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(Bytes(buffer, buffer + cb), BytesOf(W("abc"), true));
  cb = sizeof buffer;
  EXPECT_EQ(RegGetValueW(m_key.Get(), W("sub").c_str(), W("q").c_str(), RRF_RT_QWORD, &dwType,
                         buffer, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_QWORD));
  EXPECT_EQ(RegGetValueW(m_key.Get(), W("nokey").c_str(), W("q").c_str(), RRF_RT_ANY, &dwType,
                         buffer, &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegGetValueW(m_key.Get(), nullptr, W("dw").c_str(), RRF_RT_REG_EXPAND_SZ, &dwType,
                         buffer, &cb),
            ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryConformance, ExpandableStringsExpandUnlessAskedNotTo) {
  SetValue(m_key.Get(), W("ex"), REG_EXPAND_SZ, BytesOf(W("[%KELMYR_REG_TEST%]"), true));
#ifdef _WIN32
  SetEnvironmentVariableW(L"KELMYR_REG_TEST", L"value");
#else
  setenv("KELMYR_REG_TEST", "value", 1);
#endif
  WCHAR szText[64];
  DWORD cb = sizeof szText;
  DWORD dwType = 0;
  EXPECT_EQ(
      RegGetValueW(m_key.Get(), nullptr, W("ex").c_str(), RRF_RT_REG_SZ, &dwType, szText, &cb),
      ERROR_SUCCESS);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(WString(szText), W("[value]"));
  cb = sizeof szText;
  EXPECT_EQ(RegGetValueW(m_key.Get(), nullptr, W("ex").c_str(), RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                         &dwType, szText, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(dwType, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(WString(szText), W("[%KELMYR_REG_TEST%]"));
}

}  // namespace
