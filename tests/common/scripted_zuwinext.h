// CScriptedZuWinExt: the real helper library, installed for its lifetime,
// except for what a test scripts:
// - its releases of arrays (counted from 1 in cDestroys) fail at the chosen
//   calls, as the platform's do for a locked array: the array is then not
//   released until the fake goes, so that the tests leak nothing;
// - releases of arguments a method took over from its caller (flag
//   ZU_RELEASE_CALLER_ARGUMENT) are counted;
// - its listings (their calls numbered from 0) can report more entries on
//   the fill call than when counted, report a count of their own, or fail
//   one call with ERROR_KEY_DELETED, and onCount may change the answer of
//   a count call; and a value can grow between the two calls of a read.
#pragma once

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "support/zuwinext.h"

class CScriptedZuWinExt final : public CZuWinExt {
 public:
  explicit CScriptedZuWinExt(std::vector<int> failingDestroys = {})
      : m_pPrevious(ZuWinExtSeam().Install(this)), m_failingDestroys(std::move(failingDestroys)) {}
  ~CScriptedZuWinExt() override {
    ZuWinExtSeam().Uninstall(this, m_pPrevious);
    for (SAFEARRAY* psa : m_refused) SafeArrayDestroy(psa);
  }

  static constexpr HRESULT kFailure = DISP_E_ARRAYISLOCKED;
  int cDestroys = 0;
  int cCallerReleases = 0;
  DWORD dwGrowOnFill = 0;              // entries added on every fill call
  std::optional<DWORD> countOverride;  // the count a count call reports
  int iFailListCall = -1;
  DWORD cbGrowValueOnRead = 0;
  int cListCalls = 0;
  std::function<LONG(LPCWSTR pszPath, LONG rc, DWORD* pdwCount)> onCount;

  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override {
    cCallerReleases += dwFlag == ZU_RELEASE_CALLER_ARGUMENT;
    if (std::count(m_failingDestroys.begin(), m_failingDestroys.end(), ++cDestroys) != 0) {
      if (psa != nullptr) m_refused.insert(psa);
      return kFailure;
    }
    m_refused.erase(psa);  // refused before and released now: no longer ours
    return CZuWinExt::zuSafeArrayDestroy(psa, dwFlag);
  }
  void zuSysFreeString(BSTR bstr, DWORD dwFlag) override {
    cCallerReleases += dwFlag == ZU_RELEASE_CALLER_ARGUMENT;
    CZuWinExt::zuSysFreeString(bstr, dwFlag);
  }
  LONG zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount,
                       DWORD dwView) override {
    return ScriptList(pszPath, pSlots != nullptr, pdwCount, [&] {
      return CZuWinExt::zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, dwView);
    });
  }
  LONG zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                             DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) override {
    return ScriptList(pszPath, pRecords != nullptr, pdwCount, [&] {
      return CZuWinExt::zuRegListValueNamesEx(hRoot, pszPath, pRecords, pdwCount, dwTypeFilter,
                                              dwView);
    });
  }
  LONG zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType, BYTE* pData,
                        DWORD* pcbData, DWORD dwView) override {
    if (pData == nullptr || cbGrowValueOnRead == 0) {
      return CZuWinExt::zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, pData, pcbData, dwView);
    }
    const LONG l =
        CZuWinExt::zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, nullptr, pcbData, dwView);
    if (l != ERROR_SUCCESS) return l;
    *pcbData += cbGrowValueOnRead;
    return ERROR_MORE_DATA;
  }

 private:
  template <class F>
  LONG ScriptList(LPCWSTR pszPath, bool bFill, DWORD* pdwCount, F&& real) {
    if (cListCalls++ == iFailListCall) return ERROR_KEY_DELETED;
    if (!bFill && countOverride) {
      *pdwCount = *countOverride;
      return ERROR_SUCCESS;
    }
    LONG l = real();
    if (!bFill && onCount) l = onCount(pszPath, l, pdwCount);
    if (bFill && dwGrowOnFill != 0 && (l == ERROR_SUCCESS || l == ERROR_MORE_DATA)) {
      *pdwCount += dwGrowOnFill;
      l = ERROR_MORE_DATA;
    }
    return l;
  }

  IZuWinExt* m_pPrevious;
  std::vector<int> m_failingDestroys;
  std::set<SAFEARRAY*> m_refused;
};
