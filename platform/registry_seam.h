// IRegistry: the registry calls of the storage trees and of the helper
// library, behind a seam so that any one of them can be made to fail, or
// the registry changed between two of them, in both builds.
//
// Every method has the name, arguments and results of the Win32 call it
// stands for; the real default forwards to the platform (Windows itself, or
// the Linux layer's hive). Keys opened or created through the seam are
// closed through it.
#pragma once

#include <windows.h>

#include <winreg.h>

#include "platform/seam.h"

class IRegistry {
 public:
  virtual ~IRegistry() = default;

  virtual LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                  DWORD dwOptions, REGSAM samDesired,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                  LPDWORD lpdwDisposition) = 0;
  virtual LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                PHKEY phkResult) = 0;
  virtual LSTATUS RegCloseKey(HKEY hKey) = 0;
  virtual LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                 const BYTE* lpData, DWORD cbData) = 0;
  virtual LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) = 0;
  virtual LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                PFILETIME lpftLastWriteTime) = 0;
  virtual LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) = 0;
  // The key-information query.
  virtual LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                   LPDWORD lpReserved, LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                   LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                   LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                   LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) = 0;
  virtual LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired,
                                  DWORD Reserved) = 0;
  virtual LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) = 0;
  virtual LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) = 0;
};

// The current registry: the platform's unless a host installed another.
IRegistry& Registry() noexcept;
TSeam<IRegistry>& RegistrySeam() noexcept;
