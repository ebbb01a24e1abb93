#include "platform/registry_seam.h"

#include "platform/no_destructor.h"

namespace {

// CPlatformRegistry forwards every call to the platform.
class CPlatformRegistry final : public IRegistry {
 public:
  LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                          DWORD dwOptions, REGSAM samDesired,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                          LPDWORD lpdwDisposition) override {
    return ::RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                             lpSecurityAttributes, phkResult, lpdwDisposition);
  }
  LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                        PHKEY phkResult) override {
    return ::RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult);
  }
  LSTATUS RegCloseKey(HKEY hKey) override { return ::RegCloseKey(hKey); }
  LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                         const BYTE* lpData, DWORD cbData) override {
    return ::RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
  }
  LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) override {
    return ::RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  }
  LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                        LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                        PFILETIME lpftLastWriteTime) override {
    return ::RegEnumKeyExW(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                           lpftLastWriteTime);
  }
  LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                        LPDWORD lpcbData) override {
    return ::RegEnumValueW(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData,
                           lpcbData);
  }
  LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) override {
    return ::RegQueryInfoKeyW(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys, lpcbMaxSubKeyLen,
                              lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen, lpcbMaxValueLen,
                              lpcbSecurityDescriptor, lpftLastWriteTime);
  }
  LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) override {
    return ::RegDeleteKeyExW(hKey, lpSubKey, samDesired, Reserved);
  }
  LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) override {
    return ::RegDeleteValueW(hKey, lpValueName);
  }
  LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) override {
    return ::RegDeleteTreeW(hKey, lpSubKey);
  }
};

}  // namespace

// Never destroyed, as the machine: keys may be closed by threads at exit.
TSeam<IRegistry>& RegistrySeam() noexcept {
  static TNoDestructor<CPlatformRegistry> real;
  static TNoDestructor<TSeam<IRegistry>> seam(*real);
  return *seam;
}

IRegistry& Registry() noexcept { return RegistrySeam().Get(); }
