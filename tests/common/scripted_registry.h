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
  // Counts the call and runs it unless it is scripted to fail (a close
  // runs even then); then runs the action scripted after it.
  template <class F>
  LSTATUS Scripted(ECall eCall, F&& call, bool bCallWhenFailing = false);
  void SetInAction(bool bInAction);
  // Counts a key opened or created outside an action.
  LSTATUS Opened(LSTATUS l, PHKEY phkResult);

  IRegistry& m_real;
  IRegistry* m_pPrevious;
  mutable std::mutex m_lock;
  std::map<ECall, unsigned> m_calls;
  std::map<ECall, std::map<unsigned, LONG>> m_failures;  // occurrence -> error
  std::map<ECall, std::map<unsigned, std::function<void()>>> m_actions;
  std::set<HKEY> m_openKeys;
  bool m_bInAction = false;
};
