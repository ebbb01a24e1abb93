// CScriptedZuWinExt: the helper library as a test decides it. Every call
// goes to the real helper unless the script changes the listing calls:
// making a listing report more entries on its fill call than it had when
// counted (a key that grew between the two calls), reporting a count of its
// own, or failing one call. Installs itself for its lifetime.
#pragma once

#include <optional>

#include "support/zuwinext.h"

class CScriptedZuWinExt final : public IZuWinExt {
 public:
  CScriptedZuWinExt();
  ~CScriptedZuWinExt() override;
  CScriptedZuWinExt(const CScriptedZuWinExt&) = delete;
  CScriptedZuWinExt& operator=(const CScriptedZuWinExt&) = delete;

  // Script of the listing calls (zuRegList*), numbered from 0.
  DWORD dwGrowOnFill = 0;              // entries added on every fill call
  std::optional<DWORD> countOverride;  // the count a count call reports
  int iFailListCall = -1;              // this call fails with lFailCode
  LONG lFailCode = ERROR_ACCESS_DENIED;
  // Script of zuRegReadValueEx: its fill call reports the value this many
  // bytes larger than the size call did (a value that grew in between).
  DWORD cbGrowValueOnRead = 0;

  int ListCalls() const { return m_cListCalls; }

  LONG zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount,
                       DWORD dwView) override;
  LONG zuRegListKeys(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                     DWORD* pdwCount) override;
  LONG zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                             DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) override;
  LONG zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType, BYTE* pData,
                        DWORD* pcbData, DWORD dwView) override;
  LONG zuRegReadDWORDValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwValue,
                             DWORD dwView) override;
  LONG zuRegReadStringValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, WCHAR* pszBuffer,
                              DWORD* pcch, DWORD dwView) override;
  LONG zuRegDeleteKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwReserved, DWORD dwView) override;
  LONG zuRegDeleteSubKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwView, DWORD dwReserved) override;
  LONG zuRegDeleteValue(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) override;
  HRESULT zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) override;
  void zuSysFreeString(BSTR bstr, DWORD dwFlag) override;
  BOOL zuIsAppContainer() override;
  DWORD zuGetIntegrityLevel() override;

 private:
  // Applies the script to one listing call around the real one.
  template <class F>
  LONG ScriptList(bool bFill, DWORD* pdwCount, F&& real);

  IZuWinExt& m_real;
  IZuWinExt* m_pPrevious;
  int m_cListCalls = 0;
};
