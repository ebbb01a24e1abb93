#include "support/zusettings.h"

#include "platform/no_destructor.h"
#include "support/zuwinext.h"

namespace {

const WCHAR kSettingsKey[] = OLESTR("Software\\Orvane\\Kelmyr");

// A REG_DWORD is taken as unsigned: 0x80000000 stays that 32-bit pattern in
// the low half of the value.
class CRegistrySettings final : public ISettings {
 public:
  void GetSettingValue(const ZU::Framework::secwstring& sName, QVData& value,
                       bool* pbFound) override {
    DWORD dwValue = 0;
    const bool bFound = zuRegReadDWORDValueEx(HKEY_LOCAL_MACHINE, kSettingsKey, sName.c_str(),
                                              &dwValue, ZU_REG_VIEW_64) == ERROR_SUCCESS;
    value = QVData(bFound ? static_cast<LONGLONG>(dwValue) : 0);
    if (pbFound != nullptr) *pbFound = bFound;
  }
};

}  // namespace

TSeam<ISettings>& SettingsSeam() noexcept {
  static TNoDestructor<CRegistrySettings> real;
  static TNoDestructor<TSeam<ISettings>> seam(*real);
  return *seam;
}
