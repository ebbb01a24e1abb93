// The settings reader: REG_DWORD values of the machine's settings key.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <functional>

#include "common/registry_test_key.h"
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

// A held reader keeps its key open, yet each read sees the value as it is
// now: a key made after the first read, a changed value, a key deleted and
// one made again under the same name.
TEST(Settings, HeldReaderSeesEveryChangeOfItsKey) {
  CTestKey parent;
  const WString path = parent.Path() + OLESTR("\\Settings");
  const auto reader = MakeRegistrySettings(HKEY_CURRENT_USER, path.c_str());
  const CSettingsHold hold(*reader);
  auto set = [&](DWORD dw) {
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(hKey, OLESTR("S"), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw);
    RegCloseKey(hKey);
  };
  auto drop = [&] { ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str()), ERROR_SUCCESS); };
  const struct {
    std::function<void()> change;
    LONGLONG llExpected;  // -1: no value
  } kSteps[] = {{[] {}, -1}, {[&] { set(5); }, 5}, {[&] { set(7); }, 7},
                {drop, -1},  {[&] { set(9); }, 9}, {[&] { drop(), set(3); }, 3}};
  for (const auto& step : kSteps) {
    step.change();
    QVData value(-2);
    bool bFound = false;
    reader->GetSettingValue(OLESTR("S"), value, &bFound);
    EXPECT_EQ(bFound ? value.Int() : -1, step.llExpected);
  }
}

}  // namespace
