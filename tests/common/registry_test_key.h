// Registry helpers of the tests, for both builds.
//
// CScratchHive: natively, points KELMYR_REGISTRY at a new hive file of its
// own in the temporary folder for its lifetime, then removes the file (and
// restores the variable): for tests that need a fresh hive, or several, within
// one test. On Windows it does nothing: the tests use the real registry.
//
// CTestKey: a key of the current test's own below
// HKEY_CURRENT_USER\Software\KelmyrTest, named after the test and the
// process id so that tests running at once (ctest -j, one Wine prefix) never
// share keys; deleted with everything in it when the object goes.
//
// CreateKey: a subkey created (or opened) with every access right; a
// failure fails the test. SetValue: a value of all of data's bytes. NameAt:
// the subkey (or value) name at an index, "" for any failure.
//
// WriteStoreCatalogue: replaces the machine's store catalogue key with the
// values given as store.name=data, separated by spaces: data ending in a
// digit a REG_DWORD (below 65536, as two UTF-16 units), other data a REG_SZ;
// the name ~ stands for one of 256 characters, too long to be listed.
#pragma once

#include <windows.h>

#include <winreg.h>

#include <string>
#include <vector>

#include "support/scopedhkey.h"

using WString = std::basic_string<WCHAR>;

// The UTF-16 form of ASCII text.
WString Widen(const std::string& text);

class CScratchHive {
 public:
  CScratchHive();
  ~CScratchHive();
  CScratchHive(const CScratchHive&) = delete;
  CScratchHive& operator=(const CScratchHive&) = delete;

  // The hive file (empty on Windows).
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  std::string m_previous;
  bool m_bHadPrevious = false;
};

class CTestKey {
 public:
  explicit CTestKey(HKEY hRoot = HKEY_CURRENT_USER);
  ~CTestKey();
  CTestKey(const CTestKey&) = delete;
  CTestKey& operator=(const CTestKey&) = delete;

  // The path below the root, and an open handle with every access right.
  const WString& Path() const { return m_path; }
  HKEY Get() const { return m_hKey; }

 private:
  HKEY m_hRoot;
  WString m_path;
  HKEY m_hKey = nullptr;
};

CScopedHKEY CreateKey(HKEY hParent, const std::string& path);
LONG SetValue(HKEY hKey, const std::string& name, DWORD dwType, const std::vector<BYTE>& data);
WString NameAt(HKEY hKey, DWORD i, bool bValue = false);

void WriteStoreCatalogue(const std::string& values);
