// The settings reader: REG_DWORD values of the machine's settings key.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <functional>
#include <optional>
#include <utility>

#include "common/registry_test_key.h"
#include "support/zusettings.h"

namespace {

// The machine's reader reads its own key; a REG_DWORD is unsigned.
TEST(Settings, TheMachineKeyIsRead) {
  const CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\Orvane\\Kelmyr");
  ASSERT_EQ(SetValue(key.Get(), "Kelmyr.Test.NoExpiry", REG_DWORD, {0, 0, 0, 0x80}), ERROR_SUCCESS);
  QVData value(-1);
  bool bFound = false;
  GetSettingValue(OLESTR("Kelmyr.Test.NoExpiry"), value, &bFound);
  RegDeleteValueW(key.Get(), OLESTR("Kelmyr.Test.NoExpiry"));
  EXPECT_TRUE(bFound && value.Int() == 0x80000000LL) << value.Int();
}

// Held or not, each read sees the value as it is now: a key made after the
// first read, a changed value, text (no setting), a key deleted and one made
// again under the same name. A value not found reads as 0.
TEST(Settings, ReaderSeesEveryChangeOfItsKey) {
  CTestKey parent;
  const WString path = parent.Path() + OLESTR("\\Settings");
  const auto reader = MakeRegistrySettings(HKEY_CURRENT_USER, path.c_str());
  auto set = [&](DWORD dwType, BYTE b) {
    ASSERT_EQ(SetValue(CreateKey(parent.Get(), "Settings").Get(), "S", dwType, {b, 0, 0, 0}),
              ERROR_SUCCESS);
  };
  auto drop = [&] { ASSERT_EQ(RegDeleteTreeW(parent.Get(), OLESTR("Settings")), ERROR_SUCCESS); };
  // The change, the value then read (-1: none).
  const std::pair<std::function<void()>, LONGLONG> kSteps[] = {
      {[] {}, -1}, {[&] { set(REG_DWORD, 5); }, 5}, {[&] { set(REG_SZ, '7'); }, -1},
      {drop, -1},  {[&] { set(REG_DWORD, 9); }, 9}, {[&] { drop(), set(REG_DWORD, 3); }, 3},
      {drop, -1}};
  for (const bool bHeld : {false, true}) {
    std::optional<CSettingsHold> hold;
    if (bHeld) hold.emplace(*reader);
    for (const auto& [change, llExpected] : kSteps) {
      change();
      QVData value(-2);
      bool bFound = false;
      reader->GetSettingValue(OLESTR("S"), value, &bFound);
      EXPECT_EQ(bFound, llExpected >= 0) << bHeld;
      EXPECT_EQ(value.Int(), bFound ? llExpected : 0) << bHeld;
    }
  }
}

}  // namespace
