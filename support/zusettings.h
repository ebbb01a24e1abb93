// The settings library: GetSettingValue reads one named setting of the
// system into a QVData. ISettings is the seam through which the system
// reaches it; the real one reads the machine's registry.
//
// Settings are REG_DWORD values named as the setting (for example
// "Kelmyr.Authentication.Timeout") in HKEY_LOCAL_MACHINE\Software\Orvane\Kelmyr,
// 64-bit view. A value that is absent, of another type or unreadable yields
// 0, so an unset timeout is the shortest lifetime and never "no expiry".
//
// Every read reads the value afresh. While a CSettingsHold lives, the real
// reader keeps the settings key open between reads instead of opening it
// for each one; a key that is missing is looked for again at the next read,
// and one deleted (or deleted and made again) meanwhile is opened anew.
#pragma once

#include <windows.h>

#include <memory>

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
  // Counted: between the first Hold and the last Release a reader may keep
  // what makes a read costly. Reads stay fresh either way.
  virtual void Hold() noexcept {}
  virtual void Release() noexcept {}
};

TSeam<ISettings>& SettingsSeam() noexcept;

// A registry reader of the settings below another key (for the tests).
std::unique_ptr<ISettings> MakeRegistrySettings(HKEY hRoot, const WCHAR* pszPath);

inline void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                            bool* pbFound = nullptr) {
  SettingsSeam().Get().GetSettingValue(sName, value, pbFound);
}

// Holds a reader for its lifetime: by default the real one, which outlives
// every holder (a reader installed on the seam meanwhile answers the reads).
class CSettingsHold {
 public:
  CSettingsHold() noexcept;
  explicit CSettingsHold(ISettings& settings) noexcept : m_settings(settings) { m_settings.Hold(); }
  ~CSettingsHold() { m_settings.Release(); }
  CSettingsHold(const CSettingsHold&) = delete;
  CSettingsHold& operator=(const CSettingsHold&) = delete;

 private:
  ISettings& m_settings;
};
