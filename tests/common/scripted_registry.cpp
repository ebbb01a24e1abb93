#include "common/scripted_registry.h"

#include <utility>

CScriptedRegistry::CScriptedRegistry()
    : m_real(RegistrySeam().Real()), m_pPrevious(RegistrySeam().Install(this)) {}

CScriptedRegistry::~CScriptedRegistry() { RegistrySeam().Uninstall(this, m_pPrevious); }

void CScriptedRegistry::FailCall(ECall eCall, LONG lError, unsigned uOccurrence) {
  std::lock_guard lock(m_lock);
  m_failures[eCall][m_calls[eCall] + uOccurrence] = lError;
}

void CScriptedRegistry::AfterCall(ECall eCall, unsigned uOccurrence, std::function<void()> action) {
  std::lock_guard lock(m_lock);
  m_actions[eCall][m_calls[eCall] + uOccurrence] = std::move(action);
}

unsigned CScriptedRegistry::Calls(ECall eCall) const {
  std::lock_guard lock(m_lock);
  const auto it = m_calls.find(eCall);
  return it == m_calls.end() ? 0 : it->second;
}

size_t CScriptedRegistry::OpenKeys() const {
  std::lock_guard lock(m_lock);
  return m_openKeys.size();
}

template <class F>
LSTATUS CScriptedRegistry::Scripted(ECall eCall, F&& call) {
  std::function<void()> action;
  bool bFail = false;
  LONG lError = ERROR_SUCCESS;
  {
    std::lock_guard lock(m_lock);
    if (m_bInAction) return call(false, false);
    const unsigned n = ++m_calls[eCall];
    auto& failures = m_failures[eCall];
    if (const auto it = failures.find(n); it != failures.end()) {
      bFail = true;
      lError = it->second;
      failures.erase(it);
    }
    auto& actions = m_actions[eCall];
    if (const auto it = actions.find(n); it != actions.end()) {
      action = std::move(it->second);
      actions.erase(it);
    }
  }
  LSTATUS l = call(bFail, true);
  if (bFail) l = lError;
  if (action) {
    {
      std::lock_guard lock(m_lock);
      m_bInAction = true;
    }
    action();
    {
      std::lock_guard lock(m_lock);
      m_bInAction = false;
    }
  }
  return l;
}

LSTATUS CScriptedRegistry::RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved,
                                           LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                                           LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                           PHKEY phkResult, LPDWORD lpdwDisposition) {
  return Scripted(ECall::CreateKey, [&](bool bFail, bool bCounted) -> LSTATUS {
    if (bFail) return ERROR_SUCCESS;
    const LSTATUS l =
        m_real.RegCreateKeyExW(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                               lpSecurityAttributes, phkResult, lpdwDisposition);
    if (l == ERROR_SUCCESS && bCounted) {
      std::lock_guard lock(m_lock);
      m_openKeys.insert(*phkResult);
    }
    return l;
  });
}

LSTATUS CScriptedRegistry::RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                         REGSAM samDesired, PHKEY phkResult) {
  return Scripted(ECall::OpenKey, [&](bool bFail, bool bCounted) -> LSTATUS {
    if (bFail) return ERROR_SUCCESS;
    const LSTATUS l = m_real.RegOpenKeyExW(hKey, lpSubKey, ulOptions, samDesired, phkResult);
    if (l == ERROR_SUCCESS && bCounted) {
      std::lock_guard lock(m_lock);
      m_openKeys.insert(*phkResult);
    }
    return l;
  });
}

// A close scripted to fail still closes the key.
LSTATUS CScriptedRegistry::RegCloseKey(HKEY hKey) {
  return Scripted(ECall::CloseKey, [&](bool, bool) -> LSTATUS {
    {
      std::lock_guard lock(m_lock);
      m_openKeys.erase(hKey);
    }
    return m_real.RegCloseKey(hKey);
  });
}

LSTATUS CScriptedRegistry::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved,
                                          DWORD dwType, const BYTE* lpData, DWORD cbData) {
  return Scripted(ECall::SetValue, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS
                 : m_real.RegSetValueExW(hKey, lpValueName, Reserved, dwType, lpData, cbData);
  });
}

LSTATUS CScriptedRegistry::RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                            LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  return Scripted(ECall::QueryValue, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS
                 : m_real.RegQueryValueExW(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
  });
}

LSTATUS CScriptedRegistry::RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                                         LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                                         PFILETIME lpftLastWriteTime) {
  return Scripted(ECall::EnumKey, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS
                 : m_real.RegEnumKeyExW(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass,
                                        lpcchClass, lpftLastWriteTime);
  });
}

LSTATUS CScriptedRegistry::RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName,
                                         LPDWORD lpcchValueName, LPDWORD lpReserved, LPDWORD lpType,
                                         LPBYTE lpData, LPDWORD lpcbData) {
  return Scripted(ECall::EnumValue, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS
                 : m_real.RegEnumValueW(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved,
                                        lpType, lpData, lpcbData);
  });
}

LSTATUS CScriptedRegistry::RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass,
                                            LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                            LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                            LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                            LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                            PFILETIME lpftLastWriteTime) {
  return Scripted(ECall::QueryInfoKey, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS
                 : m_real.RegQueryInfoKeyW(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
                                           lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues,
                                           lpcbMaxValueNameLen, lpcbMaxValueLen,
                                           lpcbSecurityDescriptor, lpftLastWriteTime);
  });
}

LSTATUS CScriptedRegistry::RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired,
                                           DWORD Reserved) {
  return Scripted(ECall::DeleteKey, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS : m_real.RegDeleteKeyExW(hKey, lpSubKey, samDesired, Reserved);
  });
}

LSTATUS CScriptedRegistry::RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return Scripted(ECall::DeleteValue, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS : m_real.RegDeleteValueW(hKey, lpValueName);
  });
}

LSTATUS CScriptedRegistry::RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  return Scripted(ECall::DeleteTree, [&](bool bFail, bool) -> LSTATUS {
    return bFail ? ERROR_SUCCESS : m_real.RegDeleteTreeW(hKey, lpSubKey);
  });
}
