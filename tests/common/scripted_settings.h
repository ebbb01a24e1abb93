// CScriptedSettings: settings as the test sets them; a setting not set has no
// value and reads as 0. Installs itself for its lifetime.
#pragma once

#include <map>
#include <mutex>

#include "support/zusettings.h"

class CScriptedSettings final : public ISettings {
 public:
  CScriptedSettings() : m_pPrevious(SettingsSeam().Install(this)) {}
  ~CScriptedSettings() override { SettingsSeam().Uninstall(this, m_pPrevious); }
  CScriptedSettings(const CScriptedSettings&) = delete;
  CScriptedSettings& operator=(const CScriptedSettings&) = delete;

  void Set(const ZU::Framework::secwstring& sName, LONGLONG llValue) {
    std::lock_guard lock(m_lock);
    m_values[sName] = llValue;
  }

  void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                       bool* pbFound) override {
    std::lock_guard lock(m_lock);
    auto it = m_values.find(sName);
    value = QVData(it != m_values.end() ? it->second : 0);
    if (pbFound != nullptr) *pbFound = it != m_values.end();
  }

 private:
  std::mutex m_lock;
  std::map<ZU::Framework::secwstring, LONGLONG> m_values;
  ISettings* m_pPrevious;
};
