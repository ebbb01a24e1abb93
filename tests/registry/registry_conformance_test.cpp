// Registry conformance: the same assertions hold natively (the SQLite hive)
// and on Windows (under Wine, Wine's registry). Where Wine knowingly
// answers differently from Windows, the Windows answer stays the assertion
// and Wine's is accepted only through WINE_DIFFERS.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/conformance.h"
#include "common/registry_test_key.h"
#include "support/scopedhkey.h"

namespace {

using Bytes = std::vector<BYTE>;
using Names = std::vector<WString>;

WString W(const char* psz) { return Widen(psz); }

Bytes BytesOf(const char* psz, bool bTerminated = true) {
  const WString s = W(psz);
  const auto* p = reinterpret_cast<const BYTE*>(s.c_str());
  return Bytes(p, p + (s.size() + (bTerminated ? 1 : 0)) * sizeof(WCHAR));
}

LONG OpenKey(HKEY hParent, const WString& path, CScopedHKEY* pKey, REGSAM sam = KEY_READ) {
  return RegOpenKeyExW(hParent, path.c_str(), 0, sam, pKey->Receive());
}

// The subkey or value names of a key, in enumeration order.
Names List(HKEY hKey, bool bValues) {
  Names names;
  for (WString s; !(s = NameAt(hKey, names.size(), bValues)).empty();) names.push_back(s);
  return names;
}
Names SubKeys(HKEY hKey) { return List(hKey, false); }
Names ValueNames(HKEY hKey) { return List(hKey, true); }

// The stored bytes, read into a buffer with room to spare.
Bytes QueryValue(HKEY hKey, const char* pszName, DWORD* pdwType = nullptr) {
  Bytes data(64, 0xCC);
  DWORD cb = static_cast<DWORD>(data.size());
  EXPECT_EQ(RegQueryValueExW(hKey, W(pszName).c_str(), nullptr, pdwType, data.data(), &cb),
            ERROR_SUCCESS);
  data.resize(cb);
  return data;
}

class RegistryConformance : public ::testing::Test {
 protected:
  CScratchHive m_hive;
  CTestKey m_key;
  const HKEY k = m_key.Get();
};

// Names fold case and keep their first spelling; a trailing separator is
// ignored and doubled separators count as one; a key name has at most 255
// units.
TEST_F(RegistryConformance, NamesAndPaths) {
  const std::string longest(255, 'k');
  for (const char* psz : {"MixedCase\\Inner", "MIXEDCASE", "trail\\", "x\\\\y", longest.c_str()})
    CreateKey(k, psz);
  for (const char* psz : {"mixedcase\\INNER", "trail", "x\\y"}) {
    CScopedHKEY key;
    EXPECT_EQ(OpenKey(k, W(psz), &key), ERROR_SUCCESS) << psz;
  }
  EXPECT_EQ(SubKeys(k), (Names{W(longest.c_str()), W("MixedCase"), W("trail"), W("x")}));
  HKEY hKey = nullptr;
  const LONG l = RegCreateKeyExW(k, WString(256, 'k').c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &hKey, nullptr);
  EXPECT_TRUE(l == ERROR_INVALID_PARAMETER ||
              WINE_DIFFERS(l == ERROR_SUCCESS, "Wine accepts key names over 255 units"));
  if (l == ERROR_SUCCESS) RegCloseKey(hKey);

  SetValue(k, "ValueName", REG_DWORD, {1, 0, 0, 0});
  SetValue(k, "VALUENAME", REG_DWORD, {2, 0, 0, 0});
  EXPECT_EQ(ValueNames(k), Names{W("ValueName")});
  EXPECT_EQ(QueryValue(k, "valuename"), (Bytes{2, 0, 0, 0}));
}

TEST_F(RegistryConformance, SubkeysSortFoldedToUpperCaseValuesInCreationOrder) {
  for (const char* psz : {"b", "_x", "A", "a_", "Z", "[", "{", "B2"}) CreateKey(k, psz);
  const Names keys = SubKeys(k);
  // "_" (0x5F) and "[" (0x5B) sort after the letters folded to upper case,
  // before them folded to lower case.
  const Names windowsOrder = {W("A"), W("a_"), W("b"), W("B2"), W("Z"), W("["), W("_x"), W("{")};
  const Names wineOrder = {W("["), W("_x"), W("A"), W("a_"), W("b"), W("B2"), W("Z"), W("{")};
  EXPECT_TRUE(keys == windowsOrder ||
              WINE_DIFFERS(keys == wineOrder, "Wine sorts subkeys folded to lower case"));

  // Overwriting keeps a value's place; deleting and creating again moves it
  // to the end.
  for (const char* psz : {"zeta", "Alpha", "mid"}) SetValue(k, psz, REG_NONE, {});
  SetValue(k, "zeta", REG_DWORD, {9, 0, 0, 0});
  ASSERT_EQ(RegDeleteValueW(k, W("Alpha").c_str()), ERROR_SUCCESS);
  SetValue(k, "Alpha", REG_NONE, {});
  const Names values = ValueNames(k);
  EXPECT_TRUE(values == (Names{W("zeta"), W("mid"), W("Alpha")}) ||
              WINE_DIFFERS(values == (Names{W("Alpha"), W("mid"), W("zeta")}),
                           "Wine enumerates values in name order"));
}

TEST_F(RegistryConformance, ValuesKeepTypeAndBytesAndStringsGetTheirTerminator) {
  const Bytes abc = BytesOf("abc");
  const Bytes abcStopped = {'a', 0, 'b', 0, 'c', 0, 'x', 0};
  const Bytes multi = {'a', 0, 0, 0, 'b', 0, 0, 0};
  // {name, type, the caller's buffer, cbData (at most the buffer's size),
  // the bytes stored}
  const std::vector<std::tuple<const char*, DWORD, Bytes, DWORD, Bytes>> cases = {
      {"sz", REG_SZ, abc, 8, abc},
      // A string counted without its terminator while one follows it.
      {"sz-uncounted", REG_SZ, abc, 6, abc},
      {"multi-uncounted", REG_MULTI_SZ, multi, 6, multi},
      // No zero after the counted text: stored as counted.
      {"sz-unterminated", REG_SZ, abcStopped, 6, BytesOf("abc", false)},
      {"sz-odd", REG_SZ, {'a', 0, 'b', 1}, 3, {'a', 0, 'b'}},
      {"binary-uncounted", REG_BINARY, {1, 2, 0, 0}, 2, {1, 2}},
      {"binary-empty", REG_BINARY, {}, 0, {}},
      {"other-type", 0x12345, {1}, 1, {1}},
  };
  for (const auto& [pszName, dwType, buffer, cbCounted, stored] : cases) {
    ASSERT_EQ(RegSetValueExW(k, W(pszName).c_str(), 0, dwType,
                             buffer.empty() ? nullptr : buffer.data(), cbCounted),
              ERROR_SUCCESS)
        << pszName;
  }
  for (const auto& [pszName, dwType, buffer, cbCounted, stored] : cases) {
    DWORD dwStoredType = 0;
    EXPECT_EQ(QueryValue(k, pszName, &dwStoredType), stored) << pszName;
    EXPECT_EQ(dwStoredType, dwType) << pszName;
  }
  // Their count, longest name ("binary-uncounted") and largest data.
  DWORD counts[3] = {};
  EXPECT_EQ(RegQueryInfoKeyW(k, 0, 0, 0, 0, 0, 0, &counts[0], &counts[1], &counts[2], 0, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(std::vector<DWORD>(counts, counts + 3), (std::vector<DWORD>{8, 16, 8}));

  // A string stored without its terminator is read with a zero unit after
  // it when the buffer has room; the size reported stays the stored one.
  for (const DWORD cbBuffer : {8u, 7u}) {
    Bytes data(cbBuffer, 0xCC);
    DWORD cb = cbBuffer;
    EXPECT_EQ(RegQueryValueExW(k, W("sz-unterminated").c_str(), 0, 0, data.data(), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(cb, 6u);
    EXPECT_EQ(data, (cbBuffer == 8 ? BytesOf("abc") : Bytes{'a', 0, 'b', 0, 'c', 0, 0xCC}));
  }
}

// The size needed is reported with ERROR_MORE_DATA; RegEnumValueW gives the
// name with a short data buffer, and keeps the size of a short name buffer;
// RegEnumKeyExW needs room for the name and its terminator.
TEST_F(RegistryConformance, ShortBuffersGetMoreDataWithTheSizeNeeded) {
  SetValue(k, "valname", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  CreateKey(k, "abcdef");
  BYTE data[16] = {};
  WCHAR sz[16];
  DWORD cb[3] = {4, 4, 16};
  DWORD cch[4] = {0, 16, 3, 6};
  const std::vector<std::tuple<LONG, LONG, DWORD, DWORD>> cases = {
      {RegQueryValueExW(k, W("valname").c_str(), 0, 0, data, &cb[0]), ERROR_MORE_DATA, cb[0], 10},
      {RegEnumValueW(k, 0, sz, &cch[1], 0, 0, data, &cb[1]), ERROR_MORE_DATA, cb[1], 10},
      {WString(sz, cch[1]) == W("valname"), TRUE, cch[1], 7},
      {RegEnumValueW(k, 0, sz, &cch[2], 0, 0, data, &cb[2]), ERROR_MORE_DATA, cch[2], 3},
      {RegEnumKeyExW(k, 0, sz, &cch[3], 0, 0, 0, 0), ERROR_MORE_DATA, cch[3], 6},
      {RegEnumKeyExW(k, 0, sz, &(cch[3] = 7), 0, 0, 0, 0), ERROR_SUCCESS, cch[3], 6}};
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [l, expected, size, expectedSize] = cases[i];
    EXPECT_EQ(l, expected) << i;
    EXPECT_EQ(size, expectedSize) << i;
  }
  EXPECT_EQ(WString(sz), W("abcdef"));
}

// An enumeration by index answers from the key as it is at each call, also
// when the key changes between two steps of one handle's enumeration, of
// subkeys or of values, whether the handle last answered the last name or
// one before it.
TEST_F(RegistryConformance, EnumerationAnswersTheKeyAsItIsNow) {
  const auto addValue = [](HKEY h) { SetValue(h, "v3", REG_BINARY, {3}); };
  const std::vector<std::tuple<const char*, bool, DWORD, std::function<void(HKEY)>>> cases = {
      {"key added before", false, 2, [](HKEY h) { CreateKey(h, "a0"); }},
      {"answered key deleted", false, 2, [](HKEY h) { RegDeleteKeyW(h, W("k2").c_str()); }},
      {"another key changed", false, 2, [](HKEY h) { CreateKey(h, "k2\\inner"); }},
      {"value added after the last", true, 2, addValue},
      {"value added, one step", true, 1, addValue},
      {"answered value deleted", true, 1, [](HKEY h) { RegDeleteValueW(h, W("v1").c_str()); }},
      {"last value deleted", true, 2, [](HKEY h) { RegDeleteValueW(h, W("v2").c_str()); }},
  };
  for (const auto& [pszChange, bValues, cSteps, change] : cases) {
    // Without a subkey, the tree deletion empties the key and keeps it.
    ASSERT_EQ(RegDeleteTreeW(k, nullptr), ERROR_SUCCESS);
    ASSERT_TRUE(SubKeys(k).empty() && ValueNames(k).empty());
    for (const char* psz : {"k1", "k2", "k3", "k4"}) CreateKey(k, psz);
    for (const char* psz : {"v1", "v2"}) SetValue(k, psz, REG_BINARY, {1});
    CScopedHKEY key;
    ASSERT_EQ(OpenKey(HKEY_CURRENT_USER, m_key.Path(), &key), ERROR_SUCCESS);
    const Names before = List(k, bValues);
    for (DWORD i = 0; i < cSteps; ++i) EXPECT_EQ(NameAt(key.Get(), i, bValues), before[i]);
    change(k);
    const Names now = List(k, bValues);
    for (const DWORD i : {cSteps, DWORD{1}, DWORD{0}, DWORD{2}, DWORD{3}, DWORD{4}}) {
      EXPECT_EQ(NameAt(key.Get(), i, bValues), i < now.size() ? now[i] : WString())
          << pszChange << i;
    }
  }
}

// Bad arguments, rights not granted and handles of deleted keys get the
// Windows codes.
TEST_F(RegistryConformance, CallsGetTheWindowsCodes) {
  CreateKey(k, "sub\\inner");
  CScopedHKEY gone = CreateKey(k, "gone");
  ASSERT_EQ(RegDeleteKeyW(k, W("gone").c_str()), ERROR_SUCCESS);
  CreateKey(k, "gone");  // another key of the same name
  CScopedHKEY read, query, enumerate, sub, created;
  ASSERT_EQ(OpenKey(k, W("sub"), &read, KEY_READ), ERROR_SUCCESS);
  ASSERT_EQ(OpenKey(k, W("sub"), &query, KEY_QUERY_VALUE), ERROR_SUCCESS);
  ASSERT_EQ(OpenKey(k, W("sub"), &enumerate, KEY_ENUMERATE_SUB_KEYS), ERROR_SUCCESS);
  const HKEY g = gone.Get(), r = read.Get();
  BYTE data[4] = {1, 0, 0, 0};
  DWORD cb = 4, dwReserved = 0, cch = 8;
  HKEY h = nullptr;
  WCHAR sz[8];
  const WString longest(16383, 'v'), tooLong(16384, 'v');
  const HKEY hBogus = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
  const LONG lCreated = RegCreateKeyExW(r, W("new").c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                                        created.Receive(), nullptr);
  const LONG kParam = ERROR_INVALID_PARAMETER, kDenied = ERROR_ACCESS_DENIED;
  const LONG kGone = ERROR_KEY_DELETED;
  // Evaluated in order: {what, result, expected}.
  const std::vector<std::tuple<const char*, LONG, LONG>> cases = {
      {"query, reserved", RegQueryValueExW(k, 0, &dwReserved, 0, data, &cb), kParam},
      {"query, no size", RegQueryValueExW(k, 0, 0, 0, data, nullptr), kParam},
      {"set, null data", RegSetValueExW(k, W("v").c_str(), 0, REG_BINARY, 0, 4), ERROR_NOACCESS},
      {"set, longest", RegSetValueExW(k, longest.c_str(), 0, REG_DWORD, data, 4), ERROR_SUCCESS},
      {"set, too long", RegSetValueExW(k, tooLong.c_str(), 0, REG_DWORD, data, 4), kParam},
      {"create, reserved", RegCreateKeyExW(k, W("r").c_str(), 1, 0, 0, KEY_READ, 0, &h, 0), kParam},
      {"open, no result", RegOpenKeyExW(k, W("sub").c_str(), 0, KEY_READ, 0), kParam},
      {"open, leading \\", RegOpenKeyExW(k, W("\\sub").c_str(), 0, KEY_READ, &h),
       ERROR_BAD_PATHNAME},
      {"open, bad handle", RegOpenKeyExW(hBogus, W("x").c_str(), 0, 0, &h), ERROR_INVALID_HANDLE},
      {"delete, null subkey", RegDeleteKeyW(k, nullptr), kParam},
      {"delete, missing", RegDeleteKeyW(k, W("missing").c_str()), ERROR_FILE_NOT_FOUND},
      {"delete, has subkeys", RegDeleteKeyW(k, W("sub").c_str()), kDenied},
      {"delete a root", RegDeleteKeyW(HKEY_CURRENT_USER, W("").c_str()), kDenied},
      {"close a root", RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS},
      {"read-only: set", RegSetValueExW(r, W("v").c_str(), 0, REG_DWORD, data, 4), kDenied},
      {"read-only: delete itself", RegDeleteKeyW(r, W("").c_str()), kDenied},
      {"read-only: create opening a key",
       RegCreateKeyExW(r, W("inner").c_str(), 0, 0, 0, KEY_READ, 0, sub.Receive(), 0),
       ERROR_SUCCESS},
      {"query-only: enum", RegEnumKeyExW(query.Get(), 0, sz, &cch, 0, 0, 0, 0), kDenied},
      {"enumerate-only: query", RegQueryValueExW(enumerate.Get(), 0, 0, 0, data, &cb), kDenied},
      {"deleted: set", RegSetValueExW(g, W("v").c_str(), 0, REG_DWORD, data, 4), kGone},
      {"deleted: query", RegQueryValueExW(g, W("v").c_str(), 0, 0, data, &cb), kGone},
      {"deleted: enum", RegEnumKeyExW(g, 0, sz, &cch, 0, 0, 0, 0), kGone},
      {"deleted: enum values", RegEnumValueW(g, 0, sz, &cch, 0, 0, 0, 0), kGone},
      {"deleted: count values", RegQueryInfoKeyW(g, 0, 0, 0, 0, 0, 0, &cb, 0, 0, 0, 0), kGone},
      // Closing works once; a handle closed is no handle.
      {"deleted: close", RegCloseKey(gone.Release()), ERROR_SUCCESS},
      {"closed: close", RegCloseKey(g), ERROR_INVALID_HANDLE}};
  for (const auto& [pszWhat, l, expected] : cases) EXPECT_EQ(l, expected) << pszWhat;
  EXPECT_EQ(h, nullptr);
  EXPECT_TRUE(lCreated == ERROR_ACCESS_DENIED ||
              WINE_DIFFERS(lCreated == ERROR_SUCCESS, "Wine lets any handle create subkeys"));
}

TEST_F(RegistryConformance, CurrentUserAndClassesRootAreKeysOfTheTwoTrees) {
  SetValue(k, "marker", REG_DWORD, {5, 0, 0, 0});
  Names holders;
  for (const WString& sid : SubKeys(HKEY_USERS)) {
    CScopedHKEY key;
    if (OpenKey(HKEY_USERS, sid + W("\\") + m_key.Path(), &key) != ERROR_SUCCESS) continue;
    EXPECT_EQ(QueryValue(key.Get(), "marker"), (Bytes{5, 0, 0, 0}));
    holders.push_back(sid);
  }
  ASSERT_EQ(holders.size(), 1u) << "exactly one user's key is HKEY_CURRENT_USER";
  EXPECT_EQ(holders[0].rfind(W("S-1-5-"), 0), 0u);

  CTestKey classes(HKEY_CLASSES_ROOT);
  ASSERT_NE(classes.Get(), nullptr);
  SetValue(classes.Get(), "marker", REG_SZ, BytesOf("x"));
  CScopedHKEY key;
  ASSERT_EQ(OpenKey(HKEY_LOCAL_MACHINE, W("Software\\Classes\\") + classes.Path(), &key),
            ERROR_SUCCESS);
  EXPECT_EQ(QueryValue(key.Get(), "marker"), BytesOf("x"));
}

TEST_F(RegistryConformance, GetValueChecksTypesExpandsAndTerminates) {
#ifdef _WIN32
  SetEnvironmentVariableW(L"KELMYR_REG_TEST", L"value");
#else
  setenv("KELMYR_REG_TEST", "value", 1);
#endif
  const Bytes abc = BytesOf("abcx");
  ASSERT_EQ(RegSetValueExW(k, W("sz").c_str(), 0, REG_SZ, abc.data(), 6), ERROR_SUCCESS);
  SetValue(k, "ex", REG_EXPAND_SZ, BytesOf("[%KELMYR_REG_TEST%]"));
  SetValue(k, "empty", REG_SZ, {});
  SetValue(CreateKey(k, "sub").Get(), "dw", REG_DWORD, {5, 0, 0, 0});
  // {subkey, value, flags, buffer size, expected, type, data (for
  // ERROR_SUCCESS; the size needed otherwise)}
  const std::tuple<const char*, const char*, DWORD, DWORD, LONG, DWORD, Bytes> cases[] = {
      {"sub", "dw", RRF_RT_REG_SZ, 32, ERROR_UNSUPPORTED_TYPE, 0, {}},
      {"sub", "dw", RRF_RT_REG_DWORD, 32, ERROR_SUCCESS, REG_DWORD, {5, 0, 0, 0}},
      // A string stored without its terminator is returned with one.
      {nullptr, "sz", RRF_RT_ANY, 32, ERROR_SUCCESS, REG_SZ, BytesOf("abc")},
      {nullptr, "sz", RRF_RT_REG_SZ, 6, ERROR_MORE_DATA, REG_SZ, Bytes(8)},
      {nullptr, "ex", RRF_RT_REG_SZ, 64, ERROR_SUCCESS, REG_SZ, BytesOf("[value]")},
      {"nokey", "dw", RRF_RT_ANY, 32, ERROR_FILE_NOT_FOUND, 0, {}},
      {nullptr, "empty", RRF_RT_REG_SZ, 32, ERROR_SUCCESS, REG_SZ, {}},
  };
  for (const auto& [pszSubKey, pszValue, dwFlags, cbBuffer, expected, dwExpectedType, data] :
       cases) {
    Bytes buffer(cbBuffer, 0xCC);
    DWORD cb = cbBuffer;
    DWORD dwType = 0;
    const LONG l = RegGetValueW(k, pszSubKey ? W(pszSubKey).c_str() : nullptr, W(pszValue).c_str(),
                                dwFlags, &dwType, buffer.data(), &cb);
    const bool bWineUnterminated =
        WINE_DIFFERS(data == BytesOf("abc") || (expected == ERROR_MORE_DATA && cb == 6),
                     "Wine returns a string stored without terminator with its stored size");
    EXPECT_TRUE(l == expected || bWineUnterminated) << pszValue << " gave " << l;
    EXPECT_TRUE(l != ERROR_MORE_DATA || cb == data.size()) << pszValue;
    if (l != ERROR_SUCCESS || (bWineUnterminated && cb == 6)) continue;
    EXPECT_EQ(dwType, dwExpectedType) << pszValue;
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + cb), data) << pszValue;
  }
}

// Threads write through their own handles and one shared handle, and open,
// query and close handles of their own meanwhile.
TEST_F(RegistryConformance, ConcurrentWritersAndReadersLoseNothing) {
  constexpr DWORD kThreads = 4;
  constexpr DWORD kEach = 50;
  std::atomic<int> cFailures{0};
  const auto count = [&](LONG l) { cFailures += l != ERROR_SUCCESS; };
  std::vector<std::thread> threads;
  for (DWORD t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (DWORD i = 0; i < kEach; ++i) {
        CScopedHKEY own;
        count(RegOpenKeyExW(HKEY_CURRENT_USER, m_key.Path().c_str(), 0, KEY_SET_VALUE | KEY_READ,
                            own.Receive()));
        count(RegQueryInfoKeyW(own.Get(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
        const DWORD value = t * 1000 + i;
        count(RegSetValueExW(i % 2 == 0 ? own.Get() : k, Widen(std::to_string(value)).c_str(), 0,
                             REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
      }
    });
  }
  for (std::thread& w : threads) w.join();
  EXPECT_EQ(cFailures.load(), 0);
  for (DWORD t = 0; t < kThreads; ++t) {
    for (DWORD i = 0; i < kEach; ++i) {
      const DWORD value = t * 1000 + i;
      const auto* p = reinterpret_cast<const BYTE*>(&value);
      ASSERT_EQ(QueryValue(k, std::to_string(value).c_str()), Bytes(p, p + 4)) << value;
    }
  }
}

}  // namespace
