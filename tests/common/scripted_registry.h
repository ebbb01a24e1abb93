// CScriptedRegistry: the registry as a test decides it; installs itself for
// its lifetime and restores the previous registry when destroyed. Every call
// is the platform's unless the script changes it: FailNext makes the next
// call of a kind fail with an error (a failing close still closes the key,
// so that nothing leaks); AfterNext runs an action right after the next call
// of a kind has been answered, to change the registry between two calls (a
// value rewritten between its size query and its read). OpenKeys counts the
// keys opened or created through the seam and not yet closed through it.
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
    QueryInfoKey,
    DeleteValue
  };

  CScriptedRegistry();
  ~CScriptedRegistry() override;
  CScriptedRegistry(const CScriptedRegistry&) = delete;
  CScriptedRegistry& operator=(const CScriptedRegistry&) = delete;

  void FailNext(ECall eCall, LONG lError);
  void AfterNext(ECall eCall, std::function<void()> action);
  size_t OpenKeys() const;

  LSTATUS RegCreateKeyExW(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY,
                          LPDWORD) override;
  LSTATUS RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) override;
  LSTATUS RegCloseKey(HKEY) override;
  LSTATUS RegSetValueExW(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD) override;
  LSTATUS RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override;
  LSTATUS RegEnumKeyExW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPWSTR, LPDWORD, PFILETIME) override;
  LSTATUS RegEnumValueW(HKEY, DWORD, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPBYTE, LPDWORD) override;
  LSTATUS RegQueryInfoKeyW(HKEY, LPWSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD, LPDWORD,
                           LPDWORD, LPDWORD, LPDWORD, PFILETIME) override;
  LSTATUS RegDeleteKeyExW(HKEY, LPCWSTR, REGSAM, DWORD) override;
  LSTATUS RegDeleteValueW(HKEY, LPCWSTR) override;
  LSTATUS RegDeleteTreeW(HKEY, LPCWSTR) override;

 private:
  struct SNext {
    LONG lError = ERROR_SUCCESS;
    std::function<void()> action;
  };
  // Runs the call unless it is scripted to fail (a close runs even then),
  // then the action scripted after it.
  template <class F>
  LSTATUS Scripted(ECall eCall, F&& call);
  // Counts a key opened or created.
  LSTATUS Opened(LSTATUS l, PHKEY phkResult);

  IRegistry& m_real;
  IRegistry* m_pPrevious;
  mutable std::mutex m_lock;
  std::map<ECall, SNext> m_next;
  std::set<HKEY> m_openKeys;
};
