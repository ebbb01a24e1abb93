// The settings reader: REG_DWORD values of the machine's settings key.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include "common/scripted_settings.h"
#include "support/zusettings.h"

namespace {

const WCHAR kKey[] = OLESTR("Software\\Orvane\\Kelmyr");

TEST(Settings, RegistryDwordsAreTheValues) {
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  const DWORD dwNoExpiry = 0x80000000;
  const WCHAR szText[] = OLESTR("2");
  struct {
    const WCHAR* pszName;
    DWORD dwType;  // REG_NONE: absent
    const void* pData;
    DWORD cbData;
    LONGLONG llExpected;
    bool bFound;
  } const kCases[] = {
      {OLESTR("Kelmyr.Test.NoExpiry"), REG_DWORD, &dwNoExpiry, sizeof dwNoExpiry, 0x80000000LL,
       true},
      {OLESTR("Kelmyr.Test.Text"), REG_SZ, szText, sizeof szText, 0, false},
      {OLESTR("Kelmyr.Test.Absent"), REG_NONE, nullptr, 0, 0, false},
  };
  for (const auto& c : kCases) {
    if (c.dwType != REG_NONE) {
      ASSERT_EQ(
          RegSetValueExW(hKey, c.pszName, 0, c.dwType, static_cast<const BYTE*>(c.pData), c.cbData),
          ERROR_SUCCESS);
    }
    QVData value(-1);
    bool bFound = !c.bFound;
    GetSettingValue(c.pszName, value, &bFound);
    EXPECT_EQ(value.Int(), c.llExpected);
    EXPECT_EQ(bFound, c.bFound);
    RegDeleteValueW(hKey, c.pszName);
  }
  RegCloseKey(hKey);
}

// A scripted reader installed on the seam answers in place of the registry.
TEST(Settings, ScriptedSettingsAnswerThroughTheSeam) {
  CScriptedSettings settings;
  settings.Set(OLESTR("Kelmyr.Authentication.Timeout"), 2);
  QVData value(-1);
  bool bFound = false;
  GetSettingValue(OLESTR("Kelmyr.Authentication.Timeout"), value, &bFound);
  EXPECT_TRUE(bFound && value.Int() == 2);
  GetSettingValue(OLESTR("Kelmyr.Authentication.AllowPerProcess"), value, &bFound);
  EXPECT_TRUE(!bFound && value.Int() == 0);
}

}  // namespace
