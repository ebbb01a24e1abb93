#include "common/scripted_registry.h"

#include <utility>

CScriptedRegistry::CScriptedRegistry()
    : m_real(RegistrySeam().Real()), m_pPrevious(RegistrySeam().Install(this)) {}

CScriptedRegistry::~CScriptedRegistry() { RegistrySeam().Uninstall(this, m_pPrevious); }

void CScriptedRegistry::FailNext(ECall eCall, LONG lError) {
  std::lock_guard lock(m_lock);
  m_next[eCall].lError = lError;
}

void CScriptedRegistry::AfterNext(ECall eCall, std::function<void()> action) {
  std::lock_guard lock(m_lock);
  m_next[eCall].action = std::move(action);
}

size_t CScriptedRegistry::OpenKeys() const {
  std::lock_guard lock(m_lock);
  return m_openKeys.size();
}

template <class F>
LSTATUS CScriptedRegistry::Scripted(ECall eCall, F&& call) {
  SNext next;
  {
    std::lock_guard lock(m_lock);
    if (const auto it = m_next.find(eCall); it != m_next.end()) {
      next = std::move(it->second);
      m_next.erase(it);
    }
  }
  const bool bFail = next.lError != ERROR_SUCCESS;
  const LSTATUS l = !bFail || eCall == ECall::CloseKey ? call() : next.lError;
  if (next.action) next.action();
  return bFail ? next.lError : l;
}

LSTATUS CScriptedRegistry::Opened(LSTATUS l, PHKEY phkResult) {
  std::lock_guard lock(m_lock);
  if (l == ERROR_SUCCESS) m_openKeys.insert(*phkResult);
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
  return Scripted(ECall::CloseKey, [&] {
    {
      std::lock_guard lock(m_lock);
      m_openKeys.erase(a);
    }
    return m_real.RegCloseKey(a);
  });
}

// The calls that a failure replaces, and those no test scripts.
#define KELMYR_SCRIPTED(eCall, name, params, args)                   \
  LSTATUS CScriptedRegistry::name params {                           \
    return Scripted(ECall::eCall, [&] { return m_real.name args; }); \
  }
#define KELMYR_PLAIN(name, params, args) \
  LSTATUS CScriptedRegistry::name params { return m_real.name args; }
KELMYR_SCRIPTED(SetValue, RegSetValueExW,
                (HKEY a, LPCWSTR b, DWORD c, DWORD d, const BYTE* e, DWORD f), (a, b, c, d, e, f))
KELMYR_SCRIPTED(QueryValue, RegQueryValueExW,
                (HKEY a, LPCWSTR b, LPDWORD c, LPDWORD d, LPBYTE e, LPDWORD f), (a, b, c, d, e, f))
KELMYR_SCRIPTED(QueryInfoKey, RegQueryInfoKeyW,
                (HKEY a, LPWSTR b, LPDWORD c, LPDWORD d, LPDWORD e, LPDWORD f, LPDWORD g, LPDWORD h,
                 LPDWORD i, LPDWORD j, LPDWORD k, PFILETIME l),
                (a, b, c, d, e, f, g, h, i, j, k, l))
KELMYR_SCRIPTED(DeleteValue, RegDeleteValueW, (HKEY a, LPCWSTR b), (a, b))
KELMYR_PLAIN(RegEnumKeyExW,
             (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPWSTR f, LPDWORD g, PFILETIME h),
             (a, b, c, d, e, f, g, h))
KELMYR_PLAIN(RegEnumValueW,
             (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPDWORD f, LPBYTE g, LPDWORD h),
             (a, b, c, d, e, f, g, h))
KELMYR_PLAIN(RegDeleteKeyExW, (HKEY a, LPCWSTR b, REGSAM c, DWORD d), (a, b, c, d))
KELMYR_PLAIN(RegDeleteTreeW, (HKEY a, LPCWSTR b), (a, b))
#undef KELMYR_PLAIN
#undef KELMYR_SCRIPTED
