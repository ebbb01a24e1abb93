// The registry functions of the platform layer: argument checks with the
// codes Windows gives, the access checks of key handles, and the copying of
// results into the caller's buffers. The storage is CHive.
#include <windows.h>

#include <winreg.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "registry_handles.h"
#include "registry_names.h"
#include "registry_values.h"

using namespace kelmyr::winapi::registry;

namespace {

// A value name: null and "" are the default value.
LONG ValueNameOf(LPCWSTR pszName, RegNameView* pName) {
  if (pszName == nullptr) {
    *pName = RegNameView();
    return ERROR_SUCCESS;
  }
  const size_t cch = BoundedLength(pszName, kMaxValueNameLength);
  if (cch > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
  *pName = RegNameView(pszName, cch);
  return ERROR_SUCCESS;
}

// The handle's key, provided the handle grants all the rights asked; a
// missing hive is created only for bWrite.
LONG LookupWithAccess(HKEY hKey, REGSAM required, SOpenKey* pKey, bool bWrite = false,
                      SEnumCursor SOpenKey::*cursor = nullptr) {
  const LONG l = LookupKey(hKey, pKey, bWrite, cursor);
  if (l != ERROR_SUCCESS) return l;
  return (pKey->access & required) == required ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Copies a name and its terminator when the buffer of *pcch units holds
// both; *pcch becomes the name's length. False (nothing written) otherwise.
bool CopyName(const RegName& name, LPWSTR pBuffer, LPDWORD pcch) {
  if (name.size() + 1 > *pcch) return false;
  std::memcpy(pBuffer, name.data(), name.size() * sizeof(WCHAR));
  pBuffer[name.size()] = 0;
  *pcch = static_cast<DWORD>(name.size());
  return true;
}

void EmptyClass(LPWSTR lpClass, LPDWORD lpcchClass) {
  if (lpcchClass == nullptr) return;
  if (lpClass != nullptr && *lpcchClass > 0) lpClass[0] = 0;
  *lpcchClass = 0;
}

bool IsStringType(DWORD dwType) {
  return dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ;
}

// Copies value data into a caller's buffer as RegQueryValueExW does: the
// size is always reported; data is written only when it fits. A string
// whose last unit is not zero gets a zero unit after it when the buffer has
// room for one; the size reported stays the stored one.
LONG CopyData(const SValue& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpType != nullptr) *lpType = value.type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const DWORD cb = static_cast<DWORD>(value.data.size());
  LONG l = ERROR_SUCCESS;
  if (lpData != nullptr) {
    if (*lpcbData < cb) {
      l = ERROR_MORE_DATA;
    } else if (cb != 0) {
      std::memcpy(lpData, value.data.data(), cb);
      if (IsStringType(value.type) && cb >= sizeof(WCHAR) && *lpcbData - cb >= sizeof(WCHAR) &&
          (value.data[cb - 2] != 0 || value.data[cb - 1] != 0)) {
        lpData[cb] = 0;
        lpData[cb + 1] = 0;
      }
    }
  }
  *lpcbData = cb;
  return l;
}

// The size a string is stored with: a caller that counted its text without
// the terminator, while a zero unit follows the text in its buffer, gets
// the terminator stored too (the unit after the counted data is read, as
// the Windows registry reads it).
DWORD StoredSize(DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr || !IsStringType(dwType) || cbData < sizeof(WCHAR)) return cbData;
  const DWORD iNext = cbData / sizeof(WCHAR);
  WCHAR unit = 0;
  std::memcpy(&unit, lpData + (iNext - 1) * sizeof(WCHAR), sizeof unit);
  if (unit == 0) return cbData;  // terminated: nothing past the data is read
  std::memcpy(&unit, lpData + iNext * sizeof(WCHAR), sizeof unit);
  return unit == 0 ? cbData + sizeof(WCHAR) : cbData;
}

LONG OpenOrCreate(HKEY hKey, LPCWSTR lpSubKey, bool bCreate, DWORD dwOptions, REGSAM samDesired,
                  PHKEY phkResult, LPDWORD lpdwDisposition) {
  std::vector<RegName> names;
  LONG l = SplitSubKeyPath(lpSubKey, &names);
  if (l != ERROR_SUCCESS) return l;
  if (bCreate && (dwOptions & (REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK)) != 0) {
    return ERROR_NOT_SUPPORTED;
  }
  // A predefined root opened as itself is answered with the root itself.
  if (!bCreate && names.empty() && IsPredefinedKey(hKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  SOpenKey base;
  l = LookupKey(hKey, &base, bCreate);
  if (l != ERROR_SUCCESS) return l;
  SOpenKey opened{base.pHive, {ERoot::kKey, 0}, GrantedKeyAccess(samDesired), {}, {}};
  bool bCreated = false;
  if (bCreate) {
    // Creating a key below a handle needs the right to create subkeys.
    const bool bMayCreate = (base.access & KEY_CREATE_SUB_KEY) != 0;
    l = base.pHive->CreateKey(base.ref, names, bMayCreate, &opened.ref.id, &bCreated);
  } else {
    l = base.pHive->OpenKey(base.ref, names, &opened.ref.id);
  }
  if (l == ERROR_SUCCESS) l = InsertKey(std::move(opened), phkResult);
  if (l == ERROR_SUCCESS && lpdwDisposition != nullptr) {
    *lpdwDisposition = bCreated ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  }
  return l;
}

}  // namespace

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR, DWORD dwOptions,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (phkResult == nullptr || lpSubKey == nullptr || Reserved != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    *phkResult = nullptr;
    return OpenOrCreate(hKey, lpSubKey, true, dwOptions, samDesired, phkResult, lpdwDisposition);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired,
                             PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    *phkResult = nullptr;
    return OpenOrCreate(hKey, lpSubKey, false, 0, samDesired, phkResult, nullptr);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (IsPredefinedKey(hKey)) return ERROR_SUCCESS;
  return RemoveKey(hKey);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  RegNameView name;
  LONG l = ValueNameOf(lpValueName, &name);
  if (l != ERROR_SUCCESS) return l;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  try {
    SOpenKey key;
    l = LookupWithAccess(hKey, KEY_SET_VALUE, &key, true);
    if (l != ERROR_SUCCESS) return l;
    return key.pHive->SetValue(key.ref, name, dwType, lpData, StoredSize(dwType, lpData, cbData));
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  RegNameView name;
  LONG l = ValueNameOf(lpValueName, &name);
  if (l != ERROR_SUCCESS) return l;
  try {
    SOpenKey key;
    l = LookupWithAccess(hKey, KEY_QUERY_VALUE, &key);
    if (l != ERROR_SUCCESS) return l;
    SValue value;
    l = key.pHive->QueryValue(key.ref, name, &value);
    if (l != ERROR_SUCCESS) return l;
    return CopyData(value, lpType, lpData, lpcbData);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags,
                            LPDWORD pdwType, PVOID pvData, LPDWORD pcbData) {
  if (pvData != nullptr && pcbData == nullptr) return ERROR_INVALID_PARAMETER;
  if ((dwFlags & RRF_RT_ANY) == 0) return ERROR_UNSUPPORTED_TYPE;
  if ((dwFlags & RRF_RT_ANY) == RRF_RT_REG_EXPAND_SZ && (dwFlags & RRF_NOEXPAND) == 0) {
    return ERROR_INVALID_PARAMETER;
  }
  RegNameView name;
  LONG l = ValueNameOf(lpValue, &name);
  if (l != ERROR_SUCCESS) return l;
  const DWORD cbBuffer = pcbData != nullptr ? *pcbData : 0;
  try {
    SOpenKey key;
    l = LookupKey(hkey, &key);
    if (l == ERROR_SUCCESS && lpSubKey != nullptr && lpSubKey[0] != 0) {
      std::vector<RegName> names;
      l = SplitSubKeyPath(lpSubKey, &names);
      if (l == ERROR_SUCCESS) l = key.pHive->OpenKey(key.ref, names, &key.ref.id);
      key.ref.root = ERoot::kKey;
      key.access = KEY_QUERY_VALUE;
    }
    if (l == ERROR_SUCCESS && (key.access & KEY_QUERY_VALUE) == 0) l = ERROR_ACCESS_DENIED;
    SValue value;
    if (l == ERROR_SUCCESS) l = key.pHive->QueryValue(key.ref, name, &value);
    if (l == ERROR_SUCCESS) l = ShapeForGetValue(dwFlags, &value);
    if (l == ERROR_SUCCESS) l = CopyData(value, pdwType, static_cast<LPBYTE>(pvData), pcbData);
    if (l != ERROR_SUCCESS && (dwFlags & RRF_ZEROONFAILURE) != 0 && pvData != nullptr) {
      std::memset(pvData, 0, cbBuffer);
    }
    return l;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
      (lpClass != nullptr && lpcchClass == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    SOpenKey key;
    LONG l = LookupWithAccess(hKey, KEY_ENUMERATE_SUB_KEYS, &key, false, &SOpenKey::subKeys);
    if (l != ERROR_SUCCESS) return l;
    RegName name;
    FILETIME written{};
    l = key.pHive->EnumKey(key.ref, dwIndex, &key.subKeys, &name, &written);
    SaveCursor(hKey, &key, &SOpenKey::subKeys);
    if (l != ERROR_SUCCESS) return l;
    if (!CopyName(name, lpName, lpcchName)) return ERROR_MORE_DATA;
    EmptyClass(lpClass, lpcchClass);
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = written;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
      (lpData != nullptr && lpcbData == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    SOpenKey key;
    LONG l = LookupWithAccess(hKey, KEY_QUERY_VALUE, &key, false, &SOpenKey::values);
    if (l != ERROR_SUCCESS) return l;
    RegName name;
    SValue value;
    DWORD cbData = 0;
    // The data is read only for a caller that takes it.
    l = key.pHive->EnumValue(key.ref, dwIndex, lpData != nullptr, &key.values, &name, &value,
                             &cbData);
    SaveCursor(hKey, &key, &SOpenKey::values);
    if (l != ERROR_SUCCESS) return l;
    // The type and the data size are reported even when the name does not
    // fit; the data is written only when both fit.
    const bool bNameFits = CopyName(name, lpValueName, lpcchValueName);
    if (lpData == nullptr) {
      if (lpType != nullptr) *lpType = value.type;
      if (lpcbData != nullptr) *lpcbData = cbData;
      l = ERROR_SUCCESS;
    } else {
      l = CopyData(value, lpType, bNameFits ? lpData : nullptr, lpcbData);
    }
    if (!bNameFits) return ERROR_MORE_DATA;
    return l;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    SOpenKey key;
    LONG l = LookupWithAccess(hKey, KEY_QUERY_VALUE, &key);
    if (l != ERROR_SUCCESS) return l;
    SKeyInfo info;
    const bool bOther = lpcbMaxSubKeyLen != nullptr || lpcbMaxValueNameLen != nullptr ||
                        lpcbMaxValueLen != nullptr || lpftLastWriteTime != nullptr;
    DWORD dwFields = bOther ? DWORD{kKeyInfoOther} : 0;
    if (lpcSubKeys != nullptr) dwFields |= kKeyInfoSubKeys;
    if (lpcValues != nullptr) dwFields |= kKeyInfoValues;
    l = key.pHive->QueryInfo(key.ref, dwFields, &info);
    if (l != ERROR_SUCCESS) return l;
    EmptyClass(lpClass, lpcchClass);
    if (lpcSubKeys != nullptr) *lpcSubKeys = info.cSubKeys;
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = info.cchMaxSubKeyName;
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = info.cValues;
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = info.cchMaxValueName;
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = info.cbMaxValueData;
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = info.written;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  return RegDeleteKeyExW(hKey, lpSubKey, 0, 0);
}

LSTATUS WINAPI RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM, DWORD) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    std::vector<RegName> names;
    LONG l = SplitSubKeyPath(lpSubKey, &names);
    if (l != ERROR_SUCCESS) return l;
    SOpenKey key;
    // A subkey is opened for deletion on the caller's behalf; the handle's
    // own key may be deleted only through a handle with DELETE access.
    l = LookupWithAccess(hKey, names.empty() ? DELETE : 0, &key);
    if (l != ERROR_SUCCESS) return l;
    return key.pHive->DeleteKey(key.ref, names);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  RegNameView name;
  LONG l = ValueNameOf(lpValueName, &name);
  if (l != ERROR_SUCCESS) return l;
  try {
    SOpenKey key;
    l = LookupWithAccess(hKey, KEY_SET_VALUE, &key);
    if (l != ERROR_SUCCESS) return l;
    return key.pHive->DeleteValue(key.ref, name);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  try {
    std::vector<RegName> names;
    LONG l = SplitSubKeyPath(lpSubKey, &names);
    if (l != ERROR_SUCCESS) return l;
    SOpenKey key;
    // Without a subkey the handle's own content goes, which needs the
    // rights to list and delete it.
    const REGSAM required = names.empty() ? DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE : 0;
    l = LookupWithAccess(hKey, required, &key);
    if (l != ERROR_SUCCESS) return l;
    return key.pHive->DeleteTree(key.ref, names, !names.empty());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  try {
    SOpenKey key;
    const LONG l = LookupKey(hKey, &key);
    if (l != ERROR_SUCCESS) return l;
    return key.pHive->Flush(key.ref);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}
