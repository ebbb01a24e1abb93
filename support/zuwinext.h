// The helper library: release of automation values and the process-token
// queries the system asks of it. IZuWinExt is the seam through which the
// system reaches it; the free functions with the library's names call the
// installed implementation, by default CZuWinExt.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include "platform/seam.h"

// Release flag: 1 for an argument a client passed in, 0 for a temporary of
// the system's own. Both release the value; the flag names whose value it
// was in the helper's log line.
enum : DWORD { ZU_RELEASE_TEMPORARY = 0, ZU_RELEASE_CALLER_ARGUMENT = 1 };

class IZuWinExt {
 public:
  virtual ~IZuWinExt() = default;

  // Releases the array; the result is SafeArrayDestroy's (S_OK for null).
  virtual HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) = 0;
  // Releases the string (null is fine).
  virtual void zuSysFreeString(BSTR bstr, DWORD dwFlag) = 0;
  // True when the current process runs in an app container.
  virtual BOOL zuIsAppContainer() = 0;
  // The integrity level RID of the current process (0x1000 low, 0x2000
  // medium, 0x3000 high, 0x4000 system); 0 when it cannot be read.
  virtual DWORD zuGetIntegrityLevel() = 0;
};

// The real helper: the platform's automation calls, and the token queries
// through the machine seam.
class CZuWinExt : public IZuWinExt {
 public:
  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override;
  void zuSysFreeString(BSTR bstr, DWORD dwFlag) override;
  BOOL zuIsAppContainer() override;
  DWORD zuGetIntegrityLevel() override;
};

TSeam<IZuWinExt>& ZuWinExtSeam() noexcept;

inline HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) {
  return ZuWinExtSeam().Get().zuSafeArrayDestroy(psa, dwFlag);
}
inline void zuSysFreeString(BSTR bstr, DWORD dwFlag) {
  ZuWinExtSeam().Get().zuSysFreeString(bstr, dwFlag);
}
inline BOOL zuIsAppContainer() { return ZuWinExtSeam().Get().zuIsAppContainer(); }
inline DWORD zuGetIntegrityLevel() { return ZuWinExtSeam().Get().zuGetIntegrityLevel(); }
