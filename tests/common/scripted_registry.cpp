#include "common/scripted_registry.h"

#include <optional>
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
LSTATUS CScriptedRegistry::Scripted(ECall eCall, F&& call, bool bCallWhenFailing) {
  std::function<void()> action;
  std::optional<LONG> failure;
  {
    std::lock_guard lock(m_lock);
    if (m_bInAction) return call();
    const unsigned n = ++m_calls[eCall];
    if (const auto it = m_failures[eCall].find(n); it != m_failures[eCall].end()) {
      failure = it->second;
    }
    if (const auto it = m_actions[eCall].find(n); it != m_actions[eCall].end()) {
      action = std::move(it->second);
    }
  }
  LSTATUS l = failure && !bCallWhenFailing ? *failure : call();
  if (failure) l = *failure;
  if (action) {
    SetInAction(true);
    action();
    SetInAction(false);
  }
  return l;
}

void CScriptedRegistry::SetInAction(bool bInAction) {
  std::lock_guard lock(m_lock);
  m_bInAction = bInAction;
}

LSTATUS CScriptedRegistry::Opened(LSTATUS l, PHKEY phkResult) {
  std::lock_guard lock(m_lock);
  if (l == ERROR_SUCCESS && !m_bInAction) m_openKeys.insert(*phkResult);
  return l;
}

LSTATUS CScriptedRegistry::RegCreateKeyExW(HKEY a, LPCWSTR b, DWORD c, LPWSTR d, DWORD e, REGSAM f,
                                           LPSECURITY_ATTRIBUTES g, PHKEY h, LPDWORD i) {
  return Scripted(ECall::CreateKey,
                  [&] { return Opened(m_real.RegCreateKeyExW(a, b, c, d, e, f, g, h, i), h); });
}

LSTATUS CScriptedRegistry::RegOpenKeyExW(HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e) {
  return Scripted(ECall::OpenKey, [&] { return Opened(m_real.RegOpenKeyExW(a, b, c, d, e), e); });
}

LSTATUS CScriptedRegistry::RegCloseKey(HKEY a) {
  return Scripted(
      ECall::CloseKey,
      [&] {
        {
          std::lock_guard lock(m_lock);
          m_openKeys.erase(a);
        }
        return m_real.RegCloseKey(a);
      },
      true);
}

// The calls that a failure replaces.
#define KELMYR_SCRIPTED(eCall, name, params, args)                   \
  LSTATUS CScriptedRegistry::name params {                           \
    return Scripted(ECall::eCall, [&] { return m_real.name args; }); \
  }
KELMYR_SCRIPTED(SetValue, RegSetValueExW,
                (HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f), (a, b, c, d, e, f))
KELMYR_SCRIPTED(QueryValue, RegQueryValueExW,
                (HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f), (a, b, c, d, e, f))
KELMYR_SCRIPTED(EnumKey, RegEnumKeyExW,
                (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPWSTR f, LPDWORD g, PFILETIME h),
                (a, b, c, d, e, f, g, h))
KELMYR_SCRIPTED(EnumValue, RegEnumValueW,
                (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPDWORD f, LPBYTE g, LPDWORD h),
                (a, b, c, d, e, f, g, h))
KELMYR_SCRIPTED(QueryInfoKey, RegQueryInfoKeyW,
                (HKEY a, LPWSTR b, LPDWORD c, LPDWORD d, LPDWORD e, LPDWORD f, LPDWORD g, LPDWORD h,
                 LPDWORD i, LPDWORD j, LPDWORD k, PFILETIME l),
                (a, b, c, d, e, f, g, h, i, j, k, l))
KELMYR_SCRIPTED(DeleteKey, RegDeleteKeyExW, (HKEY a, LPCWSTR b, REGSAM c, DWORD d), (a, b, c, d))
KELMYR_SCRIPTED(DeleteValue, RegDeleteValueW, (HKEY a, LPCWSTR b), (a, b))
KELMYR_SCRIPTED(DeleteTree, RegDeleteTreeW, (HKEY a, LPCWSTR b), (a, b))
#undef KELMYR_SCRIPTED
