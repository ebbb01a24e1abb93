// CScriptedZuWinExt: the helper library as a test decides it; installs itself
// for its lifetime. Every call is the real helper's unless the script changes
// it:
// - listings (zuRegList*, numbered from 0) can report more entries on their
//   fill call than when counted (a key that grew in between), report a count
//   of their own, or fail one call;
// - zuRegReadValueEx can report a value that grew between its two calls.
#pragma once

#include <optional>

#include "support/zuwinext.h"

class CScriptedZuWinExt final : public CZuWinExt {
 public:
  CScriptedZuWinExt();
  ~CScriptedZuWinExt() override;
  CScriptedZuWinExt(const CScriptedZuWinExt&) = delete;
  CScriptedZuWinExt& operator=(const CScriptedZuWinExt&) = delete;

  DWORD dwGrowOnFill = 0;              // entries added on every fill call
  std::optional<DWORD> countOverride;  // the count a count call reports
  int iFailListCall = -1;              // this listing call fails with lFailCode
  LONG lFailCode = ERROR_ACCESS_DENIED;
  DWORD cbGrowValueOnRead = 0;  // bytes the value grew by between the calls

  int ListCalls() const { return m_cListCalls; }

  LONG zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount,
                       DWORD dwView) override;
  LONG zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                             DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) override;
  LONG zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType, BYTE* pData,
                        DWORD* pcbData, DWORD dwView) override;

 private:
  // Applies the script to one listing call around the real one.
  template <class F>
  LONG ScriptList(bool bFill, DWORD* pdwCount, F&& real);

  IZuWinExt* m_pPrevious;
  int m_cListCalls = 0;
};
