// Conformance of COM activation: classes and program identifiers registered
// in HKEY_CLASSES_ROOT, the per-thread initialisation count, and the
// unloading of in-process servers that have no object left.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/conformance.h"

namespace {

#define WIDE(text) OLESTR(text)
#define SERVED "{3A37AC15-6BFB-432E-A82C-5E19227F10AA}"
#define MISSING "{4C2F4F51-C301-42B0-A918-5177C131DDAF}"
#define PROGID "KelmyrTest.ActivationServer"
// The test server: natively its path, on Windows its name beside the test.
#define SERVER WIDE(KELMYR_TEST_SERVER)

// Keys, value names (null for the default value) and values, each key removed with its parent after
// the test (one test, so that no two processes share them): a class of the test server, a class
// whose module does not exist, a ProgID of the first and a version-independent ProgID naming that
// one in "CurVer". A server usable from any thread, so that Wine creates its objects in the
// caller's apartment.
const LPCWSTR kEntries[][3] = {
    {WIDE("CLSID\\" SERVED "\\InprocServer32"), nullptr, SERVER},
    {WIDE("CLSID\\" SERVED "\\InprocServer32"), WIDE("ThreadingModel"), WIDE("Both")},
    {WIDE("CLSID\\" MISSING "\\InprocServer32"), nullptr, WIDE("kelmyr_no_such_server.dll")},
    {WIDE(PROGID ".1\\CLSID"), nullptr, WIDE(SERVED)},
    {WIDE(PROGID "\\CurVer"), nullptr, WIDE(PROGID ".1")}};

class ActivationTest : public testing::Test {
 protected:
  void SetUp() override {
    for (auto [key, name, value] : kEntries) {
      const DWORD cb = static_cast<DWORD>(2 * std::char_traits<WCHAR>::length(value) + 2);
      HKEY hKey = nullptr;
      ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &hKey, nullptr),
                ERROR_SUCCESS);
      EXPECT_EQ(RegSetValueExW(hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), cb),
                ERROR_SUCCESS);
      RegCloseKey(hKey);
    }
  }
  void TearDown() override {
    for (auto [key, name, value] : kEntries) {
      const std::basic_string<WCHAR> path(key);
      RegDeleteTreeW(HKEY_CLASSES_ROOT, path.substr(0, path.find_last_of('\\')).c_str());
    }
  }
};

HRESULT Create(LPCOLESTR what, IUnknown** ppObject) {
  CLSID clsid = {};
  const HRESULT hr = what[0] == '{' ? CLSIDFromString(what, &clsid) : CLSIDFromProgID(what, &clsid);
  return FAILED(hr) ? hr
                    : CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                       reinterpret_cast<void**>(ppObject));
}

TEST_F(ActivationTest, ClassesAreFoundLoadedAndUnloaded) {
  const HRESULT hrNoModule = HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  // A ProgID leads to its class through CurVer; the class itself, and the
  // thread not initialised, are the sequence below.
  const struct {
    LPCOLESTR what;  // the class in braces, or a ProgID
    HRESULT hrExpected;
  } rows[] = {
      {WIDE(PROGID), S_OK},
      {WIDE("{3A37AC15-6BFB-432E-A82C-5E19227F10AB}"), REGDB_E_CLASSNOTREG},
      {WIDE(PROGID ".9"), CO_E_CLASSSTRING},
      {WIDE(MISSING), hrNoModule},
  };
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
  for (const auto& row : rows) {
    IUnknown* pObject = nullptr;
    const HRESULT hr = Create(row.what, &pObject);
    EXPECT_TRUE(hr == row.hrExpected ||
                WINE_DIFFERS(hr == E_ACCESSDENIED && row.hrExpected == hrNoModule,
                             "Wine answers so for a module it cannot load") ||
                WINE_DIFFERS(hr == CO_E_CLASSSTRING && row.what == rows[0].what,
                             "Wine's CLSIDFromProgID does not follow CurVer"))
        << "row " << &row - rows << std::hex << " 0x" << hr;
    EXPECT_EQ(pObject != nullptr, hr == S_OK);
    if (pObject != nullptr) pObject->Release();
  }
  CoUninitialize();

  // Initialisation counts per thread (one CoUninitialize of two leaves the
  // thread initialised), and a server stays loaded while one of its objects
  // lives and is unloaded by the first sweep after.
  ASSERT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  CoUninitialize();
  IUnknown* pObject = nullptr;
  ASSERT_EQ(Create(WIDE(SERVED), &pObject), S_OK);
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_NE(GetModuleHandleW(SERVER), nullptr);
  pObject->Release();
  CoFreeUnusedLibrariesEx(0, 0);
  EXPECT_EQ(GetModuleHandleW(SERVER), nullptr);
  CoUninitialize();
  EXPECT_EQ(Create(WIDE(SERVED), &pObject), CO_E_NOTINITIALIZED);
}

}  // namespace
