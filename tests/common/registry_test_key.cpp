#include "common/registry_test_key.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

WString Widen(const std::string& text) { return WString(text.begin(), text.end()); }

CScratchHive::CScratchHive() {
#ifndef _WIN32
  const char* pszPrevious = std::getenv("KELMYR_REGISTRY");
  m_bHadPrevious = pszPrevious != nullptr;
  if (m_bHadPrevious) m_previous = pszPrevious;
  static int s_nSerial = 0;
  m_path = (std::filesystem::temp_directory_path() /
            ("kelmyr-test-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++s_nSerial) + ".db"))
               .string();
  setenv("KELMYR_REGISTRY", m_path.c_str(), 1);
#endif
}

CScratchHive::~CScratchHive() {
#ifndef _WIN32
  if (m_bHadPrevious) {
    setenv("KELMYR_REGISTRY", m_previous.c_str(), 1);
  } else {
    unsetenv("KELMYR_REGISTRY");
  }
  for (const char* pszSuffix : {"", "-wal", "-shm"}) std::remove((m_path + pszSuffix).c_str());
#endif
}

CTestKey::CTestKey(HKEY hRoot) : m_hRoot(hRoot) {
  const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
  m_path = Widen("Software\\KelmyrTest\\" + std::string(pInfo->test_suite_name()) + "." +
                 pInfo->name() + "-" + std::to_string(GetCurrentProcessId()));
  RegDeleteTreeW(m_hRoot, m_path.c_str());
  DWORD dwDisposition = 0;
  const LONG l =
      RegCreateKeyExW(m_hRoot, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      nullptr, &m_hKey, &dwDisposition);
  EXPECT_EQ(l, ERROR_SUCCESS) << "the test key cannot be created";
}

CTestKey::~CTestKey() {
  if (m_hKey != nullptr) RegCloseKey(m_hKey);
  RegDeleteTreeW(m_hRoot, m_path.c_str());
}

CScopedHKEY CreateKey(HKEY hParent, const std::string& path) {
  CScopedHKEY key;
  EXPECT_EQ(RegCreateKeyExW(hParent, Widen(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.Receive(), nullptr),
            ERROR_SUCCESS)
      << path;
  return key;
}

LONG SetValue(HKEY hKey, const std::string& name, DWORD dwType, const std::vector<BYTE>& data) {
  return RegSetValueExW(hKey, Widen(name).c_str(), 0, dwType, data.empty() ? nullptr : data.data(),
                        static_cast<DWORD>(data.size()));
}

WString NameAt(HKEY hKey, DWORD i, bool bValue) {
  WCHAR sz[300];
  DWORD cch = 300;
  const LONG l = bValue ? RegEnumValueW(hKey, i, sz, &cch, 0, 0, 0, 0)
                        : RegEnumKeyExW(hKey, i, sz, &cch, 0, 0, 0, 0);
  return l == ERROR_SUCCESS ? WString(sz, cch) : WString();
}

void WriteStoreCatalogue(const std::string& values) {
  const WString sKey = OLESTR("Software\\Orvane\\Kelmyr\\StoreList\\");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, sKey.c_str());
  std::istringstream in(values);
  for (std::string s; in >> s;) {
    const size_t dot = s.find('.'), eq = s.find('=');
    const bool bText = !std::isdigit(static_cast<unsigned char>(s.back()));
    const WString sData =
        bText ? Widen(s.substr(eq + 1)) : WString{WCHAR(std::stoul(s.substr(eq + 1))), 0};
    HKEY hKey = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, (sKey + Widen(s.substr(0, dot))).c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &hKey, nullptr);
    const std::string sName = s.substr(dot + 1, eq - dot - 1);
    RegSetValueExW(hKey, Widen(sName == "~" ? std::string(256, 'n') : sName).c_str(), 0,
                   bText ? REG_SZ : REG_DWORD, reinterpret_cast<const BYTE*>(sData.c_str()),
                   (sData.size() + bText) * sizeof(WCHAR));
    RegCloseKey(hKey);
  }
}
