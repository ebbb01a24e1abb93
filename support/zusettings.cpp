#include "support/zusettings.h"

#include <winreg.h>

#include <mutex>

#include "platform/no_destructor.h"
#include "platform/registry_seam.h"
#include "support/scopedhkey.h"

namespace {

const WCHAR kSettingsKey[] = OLESTR("Software\\Orvane\\Kelmyr");

// A REG_DWORD is taken as unsigned: 0x80000000 stays that 32-bit pattern in
// the low half of the value.
class CRegistrySettings final : public ISettings {
 public:
  CRegistrySettings(HKEY hRoot, const WCHAR* pszPath) noexcept
      : m_hRoot(hRoot), m_pszPath(pszPath) {}

  void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                       bool* pbFound) override {
    DWORD dwValue = 0;
    bool bFound = false;
    {
      std::lock_guard lock(m_lock);
      if (m_cHolds == 0) {
        CScopedHKEY key;
        bFound = Open(key) && Query(key.Get(), sName.c_str(), dwValue) == ERROR_SUCCESS;
      } else {
        // A key deleted since it was opened answers so to every query: open
        // the key of that name again, once.
        for (int i = 0; i < 2 && !bFound; ++i) {
          if (!m_key && !Open(m_key)) break;
          const LONG l = Query(m_key.Get(), sName.c_str(), dwValue);
          bFound = l == ERROR_SUCCESS;
          if (l != ERROR_KEY_DELETED && l != ERROR_INVALID_HANDLE) break;
          m_key.Reset();
        }
      }
    }
    value = QVData(bFound ? static_cast<LONGLONG>(dwValue) : 0);
    if (pbFound != nullptr) *pbFound = bFound;
  }

  void Hold() noexcept override {
    std::lock_guard lock(m_lock);
    ++m_cHolds;
  }
  void Release() noexcept override {
    std::lock_guard lock(m_lock);
    if (--m_cHolds == 0) m_key.Reset();
  }

 private:
  bool Open(CScopedHKEY& key) {
    return Registry().RegOpenKeyExW(m_hRoot, m_pszPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                                    key.Receive()) == ERROR_SUCCESS;
  }
  static LONG Query(HKEY hKey, const WCHAR* pszName, DWORD& dwValue) {
    DWORD dwType = REG_NONE, cb = sizeof dwValue;
    const LONG l = Registry().RegQueryValueExW(hKey, pszName, nullptr, &dwType,
                                               reinterpret_cast<BYTE*>(&dwValue), &cb);
    if (l != ERROR_SUCCESS) return l;
    return dwType == REG_DWORD && cb == sizeof dwValue ? ERROR_SUCCESS : ERROR_UNSUPPORTED_TYPE;
  }

  const HKEY m_hRoot;
  const WCHAR* const m_pszPath;
  std::mutex m_lock;
  int m_cHolds = 0;
  CScopedHKEY m_key;  // while held, once opened
};

CRegistrySettings& RealSettings() noexcept {
  static TNoDestructor<CRegistrySettings> real(HKEY_LOCAL_MACHINE, kSettingsKey);
  return *real;
}

}  // namespace

TSeam<ISettings>& SettingsSeam() noexcept {
  static TNoDestructor<TSeam<ISettings>> seam(RealSettings());
  return *seam;
}

CSettingsHold::CSettingsHold() noexcept : CSettingsHold(RealSettings()) {}

std::unique_ptr<ISettings> MakeRegistrySettings(HKEY hRoot, const WCHAR* pszPath) {
  return std::make_unique<CRegistrySettings>(hRoot, pszPath);
}
