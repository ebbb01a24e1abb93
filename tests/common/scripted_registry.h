// CScriptedRegistry: the registry as a test decides it; installs itself for
// its lifetime and restores the previous registry when destroyed. Every call
// is the platform's unless the script changes it:
// - FailCall: the occurrence-th call of a kind from now fails with an error
//   (a failing close still closes the key, so that nothing leaks);
// - AfterCall: an action runs right after the occurrence-th call of a kind
//   has been answered, to change the registry between two calls (a value
//   rewritten between its size query and its read). Calls made inside the
//   action go straight to the platform: they are neither counted nor failed.
// OpenKeys counts the keys opened or created through the seam and not yet
// closed through it.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "platform/registry_seam.h"

class CScriptedRegistry final : public IRegistry {
 public:
  enum class ECall {
    CreateKey,
    OpenKey,
    CloseKey,
    SetValue,
    QueryValue,
    EnumKey,
    EnumValue,
    QueryInfoKey,
    DeleteKey,
    DeleteValue,
    DeleteTree,
  };

  CScriptedRegistry();
  ~CScriptedRegistry() override;
  CScriptedRegistry(const CScriptedRegistry&) = delete;
  CScriptedRegistry& operator=(const CScriptedRegistry&) = delete;

  void FailCall(ECall eCall, LONG lError, unsigned uOccurrence = 1);
  void AfterCall(ECall eCall, unsigned uOccurrence, std::function<void()> action);
  unsigned Calls(ECall eCall) const;
  size_t OpenKeys() const;

  LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                          DWORD dwOptions, REGSAM samDesired,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                          LPDWORD lpdwDisposition) override;
  LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                        PHKEY phkResult) override;
  LSTATUS RegCloseKey(HKEY hKey) override;
  LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                         const BYTE* lpData, DWORD cbData) override;
  LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                           LPBYTE lpData, LPDWORD lpcbData) override;
  LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                        LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                        PFILETIME lpftLastWriteTime) override;
  LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                        LPDWORD lpcbData) override;
  LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) override;
  LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved) override;
  LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) override;
  LSTATUS RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) override;

 private:
  // Counts the call and runs it unless it is scripted to fail; then runs
  // the action scripted after it.
  template <class F>
  LSTATUS Scripted(ECall eCall, F&& call);

  IRegistry& m_real;
  IRegistry* m_pPrevious;
  mutable std::mutex m_lock;
  std::map<ECall, unsigned> m_calls;
  std::map<ECall, std::map<unsigned, LONG>> m_failures;  // occurrence -> error
  std::map<ECall, std::map<unsigned, std::function<void()>>> m_actions;
  std::set<HKEY> m_openKeys;
  bool m_bInAction = false;
};
