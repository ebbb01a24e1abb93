#include "support/zusettings.h"

#include <winreg.h>

#include <mutex>

#include "platform/no_destructor.h"
#include "platform/registry_seam.h"
#include "support/scopedhkey.h"
#include "support/zuwinext.h"

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
    LONG l = ERROR_FILE_NOT_FOUND;
    {
      std::lock_guard lock(m_lock);
      if (m_cHolds == 0) {
        l = zuRegReadDWORDValueEx(m_hRoot, m_pszPath, sName.c_str(), &dwValue, ZU_REG_VIEW_64);
      } else {
        l = ReadHeld(sName.c_str(), dwValue);
        // A key deleted since it was opened answers so to every query: open
        // the key of that name again, once.
        if (l == ERROR_KEY_DELETED || l == ERROR_INVALID_HANDLE) {
          m_key.Reset();
          l = ReadHeld(sName.c_str(), dwValue);
        }
      }
    }
    const bool bFound = l == ERROR_SUCCESS;
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
  // Through the key kept open, opened first when it is not.
  LONG ReadHeld(const WCHAR* pszName, DWORD& dwValue) {
    if (!m_key) {
      const LONG l = Registry().RegOpenKeyExW(m_hRoot, m_pszPath, 0,
                                              KEY_QUERY_VALUE | KEY_WOW64_64KEY, m_key.Receive());
      if (l != ERROR_SUCCESS) return l;
    }
    return zuRegReadDWORDValueEx(m_key.Get(), nullptr, pszName, &dwValue, ZU_REG_VIEW_64);
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
