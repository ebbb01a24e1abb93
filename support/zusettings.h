// The settings library: GetSettingValue reads one named setting of the
// system into a QVData. ISettings is the seam through which the system
// reaches it; the real one reads the machine's registry.
//
// Settings are REG_DWORD values named as the setting (for example
// "Kelmyr.Authentication.Timeout") in HKEY_LOCAL_MACHINE\Software\Orvane\Kelmyr,
// 64-bit view. A value that is absent, of another type or unreadable yields
// 0, so an unset timeout is the shortest lifetime and never "no expiry".
#pragma once

#include <windows.h>

#include "platform/seam.h"
#include "support/secstring.h"

// A setting's value: a signed 64-bit integer, 0 until it is read.
class QVData {
 public:
  QVData() = default;
  explicit QVData(LONGLONG llValue) noexcept : m_llValue(llValue) {}
  const LONGLONG& Int() const noexcept { return m_llValue; }

 private:
  LONGLONG m_llValue = 0;
};

class ISettings {
 public:
  virtual ~ISettings() = default;
  // Stores the value (0 when there is none) and, when pbFound is not null,
  // whether the setting has a value.
  virtual void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                               bool* pbFound) = 0;
};

TSeam<ISettings>& SettingsSeam() noexcept;

inline void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                            bool* pbFound = nullptr) {
  SettingsSeam().Get().GetSettingValue(sName, value, pbFound);
}
