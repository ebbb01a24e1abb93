#include "support/zuwinext.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/machine.h"
#include "platform/machine_owners.h"
#include "platform/no_destructor.h"
#include "platform/registry_seam.h"
#include "support/qvlog.h"
#include "support/scopedhkey.h"
#include "support/secstring.h"

namespace {

// Reads one token information class of the current process with the
// two-call protocol; empty on any failure.
std::vector<BYTE> QueryOwnToken(TOKEN_INFORMATION_CLASS eClass) {
  IMachine& machine = Machine();
  CMachineHandle token;
  if (!machine.OpenProcessToken(machine.GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext OpenProcessToken failed : rc = %d"),
             GetLastError());
    return {};
  }
  DWORD cb = 0;
  machine.GetTokenInformation(token.Get(), eClass, nullptr, 0, &cb);
  if (cb == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext GetTokenInformation failed : rc = %d"),
             GetLastError());
    return {};
  }
  std::vector<BYTE> info(cb);
  if (!machine.GetTokenInformation(token.Get(), eClass, info.data(), cb, &cb)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("zuwinext GetTokenInformation failed : rc = %d"),
             GetLastError());
    return {};
  }
  info.resize(cb);
  return info;
}

// The key one helper call works on: root\path opened for the call, or the
// root itself for an empty path, used as the caller holds it (neither
// opened again nor closed), which spares a caller that already holds the
// key a lookup of its path on every call.
class CHelperKey {
 public:
  HKEY Get() const noexcept { return m_owned ? m_owned.Get() : m_hRoot; }
  LONG Open(HKEY hRoot, LPCWSTR pszPath, REGSAM access) {
    if (pszPath == nullptr || pszPath[0] == 0) {
      m_hRoot = hRoot;
      return ERROR_SUCCESS;
    }
    return Registry().RegOpenKeyExW(hRoot, pszPath, 0, access, m_owned.Receive());
  }

 private:
  CScopedHKEY m_owned;
  HKEY m_hRoot = nullptr;
};

bool TypeSelected(DWORD dwType, DWORD dwTypeFilter) {
  return dwTypeFilter == ZU_REG_ALL_TYPES || (dwType < 32 && (dwTypeFilter >> dwType) & 1u);
}

// Room for the longest name a slot or record could take, plus one unit to
// recognise a longer one.
constexpr DWORD kNameProbe = 257;

}  // namespace

LONG CZuWinExt::zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                                DWORD* pdwCount, DWORD dwView) {
  if (pdwCount == nullptr) return ERROR_INVALID_PARAMETER;
  CHelperKey key;
  LONG l = key.Open(hRoot, pszPath, KEY_READ | dwView);
  if (l != ERROR_SUCCESS) return l;
  if (pSlots == nullptr) {
    return Registry().RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, pdwCount, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  const DWORD dwCapacity = *pdwCount;
  DWORD i = 0;
  for (;; ++i) {
    WCHAR szName[kNameProbe];
    DWORD cch = kNameProbe;
    l = Registry().RegEnumKeyExW(key.Get(), i, szName, &cch, nullptr, nullptr, nullptr, nullptr);
    if (l == ERROR_NO_MORE_ITEMS) break;
    if (l == ERROR_MORE_DATA) return ERROR_FILENAME_EXCED_RANGE;
    if (l != ERROR_SUCCESS) return l;
    if (i >= dwCapacity) continue;
    if (cch >= sizeof(ZU_REG_KEY_SLOT::szName) / sizeof(WCHAR)) return ERROR_FILENAME_EXCED_RANGE;
    std::memset(&pSlots[i], 0, sizeof(ZU_REG_KEY_SLOT));
    std::memcpy(pSlots[i].szName, szName, cch * sizeof(WCHAR));
  }
  *pdwCount = i;
  return i > dwCapacity ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

LONG CZuWinExt::zuRegListKeys(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                              DWORD* pdwCount) {
  return zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, 0);
}

LONG CZuWinExt::zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                                      DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) {
  if (pdwCount == nullptr) return ERROR_INVALID_PARAMETER;
  CHelperKey key;
  LONG l = key.Open(hRoot, pszPath, KEY_READ | dwView);
  if (l != ERROR_SUCCESS) return l;
  if (pRecords == nullptr && dwTypeFilter == ZU_REG_ALL_TYPES) {
    return Registry().RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, pdwCount, nullptr, nullptr, nullptr, nullptr);
  }
  const DWORD dwCapacity = pRecords != nullptr ? *pdwCount : 0;
  DWORD cSelected = 0;
  for (DWORD i = 0;; ++i) {
    WCHAR szName[kNameProbe];
    DWORD cch = kNameProbe;
    DWORD dwType = REG_NONE;
    DWORD cbData = 0;
    l = Registry().RegEnumValueW(key.Get(), i, szName, &cch, nullptr, &dwType, nullptr, &cbData);
    if (l == ERROR_NO_MORE_ITEMS) break;
    if (l == ERROR_MORE_DATA) return ERROR_FILENAME_EXCED_RANGE;
    if (l != ERROR_SUCCESS) return l;
    if (!TypeSelected(dwType, dwTypeFilter)) continue;
    if (pRecords != nullptr && cSelected < dwCapacity) {
      if (cch >= sizeof(ZU_REG_VALUE_RECORD::szName) / sizeof(WCHAR)) {
        return ERROR_FILENAME_EXCED_RANGE;
      }
      ZU_REG_VALUE_RECORD& record = pRecords[cSelected];
      std::memset(&record, 0, sizeof record);
      std::memcpy(record.szName, szName, cch * sizeof(WCHAR));
      record.dwType = dwType;
      record.cbData = cbData;
    }
    ++cSelected;
  }
  *pdwCount = cSelected;
  return pRecords != nullptr && cSelected > dwCapacity ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

LONG CZuWinExt::zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType,
                                 BYTE* pData, DWORD* pcbData, DWORD dwView) {
  if (pcbData == nullptr) return ERROR_INVALID_PARAMETER;
  CHelperKey key;
  const LONG l = key.Open(hRoot, pszPath, KEY_QUERY_VALUE | dwView);
  if (l != ERROR_SUCCESS) return l;
  return Registry().RegQueryValueExW(key.Get(), pszValue, nullptr, pdwType, pData, pcbData);
}

LONG CZuWinExt::zuRegReadDWORDValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                      DWORD* pdwValue, DWORD dwView) {
  if (pdwValue == nullptr) return ERROR_INVALID_PARAMETER;
  CHelperKey key;
  LONG l = key.Open(hRoot, pszPath, KEY_QUERY_VALUE | dwView);
  if (l != ERROR_SUCCESS) return l;
  DWORD dwType = REG_NONE;
  DWORD dwValue = 0;
  DWORD cb = sizeof dwValue;
  l = Registry().RegQueryValueExW(key.Get(), pszValue, nullptr, &dwType,
                                  reinterpret_cast<BYTE*>(&dwValue), &cb);
  if (l == ERROR_MORE_DATA) return ERROR_UNSUPPORTED_TYPE;
  if (l != ERROR_SUCCESS) return l;
  if (dwType != REG_DWORD || cb != sizeof dwValue) return ERROR_UNSUPPORTED_TYPE;
  *pdwValue = dwValue;
  return ERROR_SUCCESS;
}

LONG CZuWinExt::zuRegReadStringValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                       WCHAR* pszBuffer, DWORD* pcch, DWORD dwView) {
  if (pcch == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    CHelperKey key;
    LONG l = key.Open(hRoot, pszPath, KEY_QUERY_VALUE | dwView);
    if (l != ERROR_SUCCESS) return l;
    // The value may change between its size and its data; a few attempts
    // read a consistent one. Its copies are wiped when freed.
    std::vector<BYTE, ZU::Framework::secallocator<BYTE>> data;
    DWORD dwType = REG_NONE;
    for (int attempt = 0;; ++attempt) {
      DWORD cb = 0;
      l = Registry().RegQueryValueExW(key.Get(), pszValue, nullptr, &dwType, nullptr, &cb);
      if (l != ERROR_SUCCESS) return l;
      data.assign(cb, 0);
      l = Registry().RegQueryValueExW(key.Get(), pszValue, nullptr, &dwType, data.data(), &cb);
      if (l == ERROR_SUCCESS) {
        data.resize(cb);
        break;
      }
      if (l != ERROR_MORE_DATA || attempt == 2) return l;
    }
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ) return ERROR_UNSUPPORTED_TYPE;
    const size_t cUnits = data.size() / sizeof(WCHAR);
    std::vector<WCHAR, ZU::Framework::secallocator<WCHAR>> text(cUnits);
    if (cUnits != 0) std::memcpy(text.data(), data.data(), cUnits * sizeof(WCHAR));
    size_t cch = 0;
    while (cch < cUnits && text[cch] != 0) ++cch;
    const DWORD cchNeeded = static_cast<DWORD>(cch + 1);
    if (pszBuffer == nullptr) {
      *pcch = cchNeeded;
      return ERROR_SUCCESS;
    }
    if (*pcch < cchNeeded) {
      *pcch = cchNeeded;
      return ERROR_MORE_DATA;
    }
    if (cch != 0) std::memcpy(pszBuffer, text.data(), cch * sizeof(WCHAR));
    pszBuffer[cch] = 0;
    *pcch = cchNeeded;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG CZuWinExt::zuRegDeleteKey(HKEY hRoot, LPCWSTR pszPath, DWORD, DWORD dwView) {
  if (pszPath == nullptr || pszPath[0] == 0) return ERROR_INVALID_PARAMETER;
  return Registry().RegDeleteKeyExW(hRoot, pszPath, dwView, 0);
}

LONG CZuWinExt::zuRegDeleteSubKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwView, DWORD) {
  if (pszPath == nullptr || pszPath[0] == 0) return ERROR_INVALID_PARAMETER;
  CScopedHKEY key;
  LONG l = Registry().RegOpenKeyExW(
      hRoot, pszPath, 0, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE | dwView,
      key.Receive());
  if (l != ERROR_SUCCESS) return l;
  l = Registry().RegDeleteTreeW(key.Get(), nullptr);
  key.Reset();
  if (l != ERROR_SUCCESS) return l;
  return Registry().RegDeleteKeyExW(hRoot, pszPath, dwView, 0);
}

LONG CZuWinExt::zuRegDeleteValue(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) {
  CHelperKey key;
  const LONG l = key.Open(hRoot, pszPath, KEY_SET_VALUE | dwView);
  if (l != ERROR_SUCCESS) return l;
  return Registry().RegDeleteValueW(key.Get(), pszValue);
}

HRESULT CZuWinExt::zuSafeArrayDestroy(SAFEARRAY* psa, DWORD dwFlag) {
  const HRESULT hr = SafeArrayDestroy(psa);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("zuSafeArrayDestroy SafeArrayDestroy failed with error code 0x%x flag = %d"),
             hr, dwFlag);
  }
  return hr;
}

void CZuWinExt::zuSysFreeString(BSTR bstr, DWORD) { SysFreeString(bstr); }

BOOL CZuWinExt::zuIsAppContainer() {
  const std::vector<BYTE> info = QueryOwnToken(TokenIsAppContainer);
  if (info.size() < sizeof(DWORD)) return FALSE;
  DWORD dwIsAppContainer = 0;
  std::memcpy(&dwIsAppContainer, info.data(), sizeof(dwIsAppContainer));
  return dwIsAppContainer != 0 ? TRUE : FALSE;
}

DWORD CZuWinExt::zuGetIntegrityLevel() {
  const std::vector<BYTE> info = QueryOwnToken(TokenIntegrityLevel);
  if (info.size() < sizeof(TOKEN_MANDATORY_LABEL)) return 0;
  const auto* pLabel = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(info.data());
  PSID pSid = pLabel->Label.Sid;
  // The SID lies inside the buffer; a label pointing elsewhere is refused
  // rather than followed.
  const BYTE* pBegin = info.data();
  const BYTE* pEnd = pBegin + info.size();
  const BYTE* p = static_cast<const BYTE*>(pSid);
  if (p < pBegin || p + 8 > pEnd) return 0;
  const BYTE cSub = *GetSidSubAuthorityCount(pSid);
  if (cSub == 0 || p + 8 + 4 * static_cast<size_t>(cSub) > pEnd) return 0;
  return *GetSidSubAuthority(pSid, cSub - 1);
}

// Never destroyed, as the machine: threads may call the helper at exit.
TSeam<IZuWinExt>& ZuWinExtSeam() noexcept {
  static TNoDestructor<CZuWinExt> real;
  static TNoDestructor<TSeam<IZuWinExt>> seam(*real);
  return *seam;
}
