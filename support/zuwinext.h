// The helper library: registry access, release of automation values and the
// process-token queries the system asks of it. IZuWinExt is the seam through
// which the system reaches it; the free functions with the library's names
// call the installed implementation, by default CZuWinExt.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <winreg.h>

#include "platform/seam.h"

// Release flag: 1 for an argument a client passed in, 0 for a temporary of
// the system's own. Both release the value; the flag names whose value it
// was in the helper's log line.
enum : DWORD { ZU_RELEASE_TEMPORARY = 0, ZU_RELEASE_CALLER_ARGUMENT = 1 };

// Registry view flag the system passes (the 64-bit view), and the type
// filter that lists values of every type. A filter other than all types
// selects the types whose bit (1 << type) it sets.
enum : DWORD { ZU_REG_VIEW_64 = KEY_WOW64_64KEY, ZU_REG_ALL_TYPES = 0xFFFFFFFF };

// One subkey of a key listing: the name, zero-terminated, in 255 UTF-16
// units (510 bytes), so at most 254 characters.
struct ZU_REG_KEY_SLOT {
  WCHAR szName[255];
};
static_assert(sizeof(ZU_REG_KEY_SLOT) == 510);

// One value of a value-name listing (524 bytes): the name, zero-terminated
// and zero-filled (at most 255 characters), its type and its data size.
struct ZU_REG_VALUE_RECORD {
  WCHAR szName[256];
  DWORD dwType;
  DWORD cbData;
  DWORD dwReserved;
};
static_assert(sizeof(ZU_REG_VALUE_RECORD) == 524);

class IZuWinExt {
 public:
  virtual ~IZuWinExt() = default;

  // Registry. Each returns 0 or a Windows error code. A key is named by a
  // root and a path below it (null or "" for the root itself, whose handle
  // is then used as the caller holds it, with its access); dwView is 0 or
  // the view flag (ZU_REG_VIEW_64).
  //
  // Listings: with a null buffer, *pdwCount receives the number of entries.
  // With a buffer, *pdwCount holds its capacity in entries on entry; at most
  // that many entries are written, and *pdwCount receives the number of
  // entries the key has, which exceeds the capacity (and the call returns
  // ERROR_MORE_DATA) when the key gained entries since it was counted. A
  // name that does not fit its slot fails the listing with
  // ERROR_FILENAME_EXCED_RANGE. Subkeys come in the registry's order.
  virtual LONG zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                               DWORD* pdwCount, DWORD dwView) = 0;
  virtual LONG zuRegListKeys(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots,
                             DWORD* pdwCount) = 0;
  virtual LONG zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                                     DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) = 0;
  // With a null buffer, stores the type and the size in bytes; otherwise
  // fills the buffer of *pcbData bytes (ERROR_MORE_DATA with the size needed
  // when it is too small).
  virtual LONG zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType,
                                BYTE* pData, DWORD* pcbData, DWORD dwView) = 0;
  // A REG_DWORD value; ERROR_FILE_NOT_FOUND when absent, ERROR_UNSUPPORTED_TYPE
  // for a value of another type or size.
  virtual LONG zuRegReadDWORDValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwValue,
                                     DWORD dwView) = 0;
  // A REG_SZ or REG_EXPAND_SZ value (not expanded) up to its first zero.
  // *pcch is in UTF-16 units with the terminator: with a null buffer it
  // receives the length needed; with a buffer of *pcch units the text is
  // copied and terminated (ERROR_MORE_DATA with the length needed when the
  // buffer is too small).
  virtual LONG zuRegReadStringValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue,
                                      WCHAR* pszBuffer, DWORD* pcch, DWORD dwView) = 0;
  // Deletes a key without subkeys (ERROR_ACCESS_DENIED for one with).
  virtual LONG zuRegDeleteKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwReserved, DWORD dwView) = 0;
  // Deletes a key with everything below it.
  virtual LONG zuRegDeleteSubKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwView, DWORD dwReserved) = 0;
  virtual LONG zuRegDeleteValue(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) = 0;

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

// The real helper: registry calls through the registry seam
// (platform/registry_seam.h), the platform's automation calls, and the token
// queries through the machine seam.
class CZuWinExt : public IZuWinExt {
 public:
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

inline LONG zuRegListKeysEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount,
                            DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegListKeysEx(hRoot, pszPath, pSlots, pdwCount, dwView);
}
inline LONG zuRegListKeys(HKEY hRoot, LPCWSTR pszPath, ZU_REG_KEY_SLOT* pSlots, DWORD* pdwCount) {
  return ZuWinExtSeam().Get().zuRegListKeys(hRoot, pszPath, pSlots, pdwCount);
}
inline LONG zuRegListValueNamesEx(HKEY hRoot, LPCWSTR pszPath, ZU_REG_VALUE_RECORD* pRecords,
                                  DWORD* pdwCount, DWORD dwTypeFilter, DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegListValueNamesEx(hRoot, pszPath, pRecords, pdwCount,
                                                    dwTypeFilter, dwView);
}
inline LONG zuRegReadValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwType,
                             BYTE* pData, DWORD* pcbData, DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegReadValueEx(hRoot, pszPath, pszValue, pdwType, pData, pcbData,
                                               dwView);
}
inline LONG zuRegReadDWORDValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD* pdwValue,
                                  DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegReadDWORDValueEx(hRoot, pszPath, pszValue, pdwValue, dwView);
}
inline LONG zuRegReadStringValueEx(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, WCHAR* pszBuffer,
                                   DWORD* pcch, DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegReadStringValueEx(hRoot, pszPath, pszValue, pszBuffer, pcch,
                                                     dwView);
}
inline LONG zuRegDeleteKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwReserved, DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegDeleteKey(hRoot, pszPath, dwReserved, dwView);
}
inline LONG zuRegDeleteSubKey(HKEY hRoot, LPCWSTR pszPath, DWORD dwView, DWORD dwReserved) {
  return ZuWinExtSeam().Get().zuRegDeleteSubKey(hRoot, pszPath, dwView, dwReserved);
}
inline LONG zuRegDeleteValue(HKEY hRoot, LPCWSTR pszPath, LPCWSTR pszValue, DWORD dwView) {
  return ZuWinExtSeam().Get().zuRegDeleteValue(hRoot, pszPath, pszValue, dwView);
}
