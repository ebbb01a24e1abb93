#include "common/scripted_zuwinext.h"

CScriptedZuWinExt::CScriptedZuWinExt()
    : m_real(ZuWinExtSeam().Real()), m_pPrevious(ZuWinExtSeam().Install(this)) {}

CScriptedZuWinExt::~CScriptedZuWinExt() { ZuWinExtSeam().Install(m_pPrevious); }

template <class F>
LONG CScriptedZuWinExt::ScriptList(bool bFill, DWORD* pdwCount, F&& real) {
  const int iCall = m_cListCalls++;
  if (iCall == iFailListCall) return lFailCode;
  if (!bFill && countOverride) {
    *pdwCount = *countOverride;
    return ERROR_SUCCESS;
  }
  LONG l = real();
  if (bFill && dwGrowOnFill != 0 && (l == ERROR_SUCCESS || l == ERROR_MORE_DATA)) {
    *pdwCount += dwGrowOnFill;
    l = ERROR_MORE_DATA;
  }
  return l;
}

LONG CScriptedZuWinExt::zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                                        DWORD* pdwCount, DWORD dwView) {
  return ScriptList(pSlots != nullptr, pdwCount, [&] {
    return m_real.zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, dwView);
  });
}

LONG CScriptedZuWinExt::zuRegListKeys(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                                      DWORD* pdwCount) {
  return ScriptList(pSlots != nullptr, pdwCount,
                    [&] { return m_real.zuRegListKeys(hRoot, pszPath, pSlots, pdwCount); });
}

LONG CScriptedZuWinExt::zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath,
                                              ZU_REG_VALUE_RECORD* pRecords, DWORD* pdwCount,
                                              DWORD dwTypeFilter, DWORD dwView) {
  return ScriptList(pRecords != nullptr, pdwCount, [&] {
    return m_real.zuRegListValueNamesEx(hRoot, pszPath, pRecords, pdwCount, dwTypeFilter, dwView);
  });
}

LONG CScriptedZuWinExt::zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                         DWORD* pdwType, BYTE* pData, DWORD* pcbData,
                                         DWORD dwView) {
  if (pData != nullptr && cbGrowValueOnRead != 0 && pcbData != nullptr) {
    DWORD cb = 0;
    const LONG l = m_real.zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, nullptr, &cb, dwView);
    if (l != ERROR_SUCCESS) return l;
    *pcbData = cb + cbGrowValueOnRead;
    return ERROR_MORE_DATA;
  }
  return m_real.zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, pData, pcbData, dwView);
}

LONG CScriptedZuWinExt::zuRegReadDWORDValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                              DWORD* pdwValue, DWORD dwView) {
  return m_real.zuRegReadDWORDValueEx(hRoot, pszPath, pszValue, pdwValue, dwView);
}

LONG CScriptedZuWinExt::zuRegReadStringValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                               WCHAR* pszBuffer, DWORD* pcch, DWORD dwView) {
  return m_real.zuRegReadStringValueEx(hRoot, pszPath, pszValue, pszBuffer, pcch, dwView);
}

LONG CScriptedZuWinExt::zuRegDeleteKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwReserved,
                                       DWORD dwView) {
  return m_real.zuRegDeleteKey(hRoot, pszPath, dwReserved, dwView);
}

LONG CScriptedZuWinExt::zuRegDeleteSubKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwView,
                                          DWORD dwReserved) {
  return m_real.zuRegDeleteSubKey(hRoot, pszPath, dwView, dwReserved);
}

LONG CScriptedZuWinExt::zuRegDeleteValue(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                         DWORD dwView) {
  return m_real.zuRegDeleteValue(hRoot, pszPath, pszValue, dwView);
}

HRESULT CScriptedZuWinExt::zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) {
  return m_real.zuSafeArrayDestroy(psa, dwFlag);
}

void CScriptedZuWinExt::zuSysFreeString(BSTR bstr, DWORD dwFlag) {
  m_real.zuSysFreeString(bstr, dwFlag);
}

BOOL CScriptedZuWinExt::zuIsAppContainer() { return m_real.zuIsAppContainer(); }

DWORD CScriptedZuWinExt::zuGetIntegrityLevel() { return m_real.zuGetIntegrityLevel(); }
