// The helper library, counting the releases of arguments a method took over
// from its caller (flag ZU_RELEASE_CALLER_ARGUMENT). It installs itself for
// its lifetime.
#pragma once

#include "support/zuwinext.h"

class CCountingReleases final : public CZuWinExt {
 public:
  CCountingReleases() : m_pPrevious(ZuWinExtSeam().Install(this)) {}
  ~CCountingReleases() override { ZuWinExtSeam().Install(m_pPrevious); }
  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override {
    cCallerReleases += dwFlag == ZU_RELEASE_CALLER_ARGUMENT;
    return CZuWinExt::zuSafeArrayDestroy(psa, dwFlag);
  }
  void zuSysFreeString(BSTR bstr, DWORD dwFlag) override {
    cCallerReleases += dwFlag == ZU_RELEASE_CALLER_ARGUMENT;
    CZuWinExt::zuSysFreeString(bstr, dwFlag);
  }
  int cCallerReleases = 0;

 private:
  IZuWinExt* m_pPrevious;
};
