#include "common/scripted_zuwinext.h"

CScriptedZuWinExt::CScriptedZuWinExt() : m_pPrevious(ZuWinExtSeam().Install(this)) {}

CScriptedZuWinExt::~CScriptedZuWinExt() { ZuWinExtSeam().Uninstall(this, m_pPrevious); }

template <class F>
LONG CScriptedZuWinExt::ScriptList(bool bFill, DWORD* pdwCount, F&& real) {
  if (m_cListCalls++ == iFailListCall) return lFailCode;
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
    return CZuWinExt::zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, dwView);
  });
}

LONG CScriptedZuWinExt::zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath,
                                              ZU_REG_VALUE_RECORD* pRecords, DWORD* pdwCount,
                                              DWORD dwTypeFilter, DWORD dwView) {
  return ScriptList(pRecords != nullptr, pdwCount, [&] {
    return CZuWinExt::zuRegListValueNamesEx(hRoot, pszPath, pRecords, pdwCount, dwTypeFilter,
                                            dwView);
  });
}

LONG CScriptedZuWinExt::zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                         DWORD* pdwType, BYTE* pData, DWORD* pcbData,
                                         DWORD dwView) {
  if (pData == nullptr || cbGrowValueOnRead == 0 || pcbData == nullptr) {
    return CZuWinExt::zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, pData, pcbData, dwView);
  }
  DWORD cb = 0;
  const LONG l =
      CZuWinExt::zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, nullptr, &cb, dwView);
  if (l != ERROR_SUCCESS) return l;
  *pcbData = cb + cbGrowValueOnRead;
  return ERROR_MORE_DATA;
}
