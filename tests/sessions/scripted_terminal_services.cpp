#include "sessions/scripted_terminal_services.h"

#include <atomic>
#include <chrono>
#include <cstring>

namespace {
std::atomic<CScriptedTerminalServices*> gpCurrent{nullptr};

template <class F>
FARPROC Export(F f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}
}  // namespace

CScriptedTerminalServices::CScriptedTerminalServices() { gpCurrent = this; }

CScriptedTerminalServices::~CScriptedTerminalServices() {
  std::unique_lock lock(m_lock);
  m_bRetired = true;
  m_changed.notify_all();
  m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_inside == 0; });
}

// WTSQueryUserToken must exist but is never called.
std::map<std::string, FARPROC> CScriptedTerminalServices::Exports() const {
  return {{"WTSEnumerateSessionsW", Export(&Enumerate)},
          {"WTSQuerySessionInformationW", Export(&QueryInfo)},
          {"WTSWaitSystemEvent", Export(&Wait)},
          {"WTSQueryUserToken", Export(&FreeMemory)},
          {"WTSFreeMemory", Export(&FreeMemory)}};
}

void CScriptedTerminalServices::SetSessions(std::vector<SSession> sessions) {
  std::lock_guard lock(m_lock);
  m_sessions = std::move(sessions);
  m_index.clear();
  for (size_t i = 0; i < m_sessions.size(); ++i) m_index[m_sessions[i].dwId] = i;
}

void CScriptedTerminalServices::FailNext(int call, DWORD dwError) {
  std::lock_guard lock(m_lock);
  m_failures[call] = dwError;
}

void CScriptedTerminalServices::Inject(DWORD dwFlags, BOOL bOk) {
  std::lock_guard lock(m_lock);
  m_results.emplace_back(bOk, dwFlags);
  m_changed.notify_all();
}

bool CScriptedTerminalServices::AwaitIdle(size_t n) {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return m_waiting >= n && m_results.empty(); });
}

unsigned CScriptedTerminalServices::Enumerations() const {
  std::lock_guard lock(m_lock);
  return m_enumerations;
}

bool CScriptedTerminalServices::Failing(int call) {
  auto it = m_failures.find(call);
  if (it == m_failures.end()) return false;
  SetLastError(it->second);
  m_failures.erase(it);
  return true;
}

LPWSTR CScriptedTerminalServices::Hand(const void* p, size_t cb) {
  BYTE* pBuffer = new BYTE[cb + 1];
  memcpy(pBuffer, p, cb);
  return reinterpret_cast<LPWSTR>(pBuffer);
}

BOOL WINAPI CScriptedTerminalServices::Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* ppInfo,
                                                 DWORD* pCount) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::lock_guard lock(ts.m_lock);
  ++ts.m_enumerations;
  if (ts.Failing(kEnumerate)) return FALSE;
  std::vector<WTS_SESSION_INFOW> info;
  for (const SSession& s : ts.m_sessions) {
    info.push_back({s.dwId, nullptr, static_cast<WTS_CONNECTSTATE_CLASS>(s.dwState)});
  }
  *pCount = static_cast<DWORD>(info.size());
  *ppInfo = reinterpret_cast<PWTS_SESSION_INFOW>(
      Hand(info.data(), info.size() * sizeof(WTS_SESSION_INFOW)));
  return TRUE;
}

BOOL WINAPI CScriptedTerminalServices::QueryInfo(HANDLE, DWORD dwSessionId, WTS_INFO_CLASS eClass,
                                                 LPWSTR* ppBuffer, DWORD* pBytes) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::lock_guard lock(ts.m_lock);
  if (ts.Failing(eClass)) return FALSE;
  auto it = ts.m_index.find(dwSessionId);
  if (it != ts.m_index.end()) {
    const SSession& s = ts.m_sessions[it->second];
    const OleString text = eClass == WTSClientName ? s.client : OLESTR("user");
    const void* p = text.c_str();
    *pBytes = DWORD((text.size() + 1) * sizeof(OLECHAR));
    if (eClass == WTSSessionId) p = &s.dwId, *pBytes = sizeof(DWORD);
    if (eClass == WTSClientProtocolType) p = &s.usProtocol, *pBytes = sizeof(USHORT);
    *ppBuffer = Hand(p, *pBytes);
    return TRUE;
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

BOOL WINAPI CScriptedTerminalServices::Wait(HANDLE, DWORD dwMask, DWORD* pFlags) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::unique_lock lock(ts.m_lock);
  *pFlags = WTS_EVENT_NONE;
  if (dwMask & WTS_EVENT_FLUSH) {
    if (ts.Failing(kFlush)) return FALSE;
    ts.m_flushes += ts.bIgnoreFlush ? 0 : 1;
    ts.m_changed.notify_all();
    return TRUE;
  }
  ++ts.m_inside;
  ++ts.m_waiting;
  ts.m_changed.notify_all();
  const unsigned flushes = ts.m_flushes;
  ts.m_changed.wait(
      lock, [&] { return !ts.m_results.empty() || ts.m_flushes != flushes || ts.m_bRetired; });
  --ts.m_waiting;
  --ts.m_inside;
  ts.m_changed.notify_all();
  std::pair<BOOL, DWORD> result{FALSE, ERROR_OPERATION_ABORTED};
  if (ts.m_flushes != flushes) {
    result = {TRUE, WTS_EVENT_NONE};
  } else if (!ts.m_results.empty()) {
    result = ts.m_results.front();
    ts.m_results.pop_front();
  }
  if (result.first) *pFlags = result.second;
  if (!result.first) SetLastError(result.second);
  return result.first;
}

void WINAPI CScriptedTerminalServices::FreeMemory(PVOID p) { delete[] static_cast<BYTE*>(p); }
