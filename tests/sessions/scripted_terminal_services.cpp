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
  gpCurrent = nullptr;
}

std::map<std::string, FARPROC> CScriptedTerminalServices::Exports() const {
  return {{"WTSEnumerateSessionsW", Export(&Enumerate)},
          {"WTSQuerySessionInformationW", Export(&QueryInfo)},
          {"WTSWaitSystemEvent", Export(&Wait)},
          {"WTSQueryUserToken", Export(&QueryUserToken)},
          {"WTSFreeMemory", Export(&FreeMemory)}};
}

void CScriptedTerminalServices::SetSessions(std::vector<SSession> sessions) {
  std::lock_guard lock(m_lock);
  m_sessions = std::move(sessions);
}

void CScriptedTerminalServices::FailNext(ECall eCall, DWORD dwError, WTS_INFO_CLASS eClass) {
  std::lock_guard lock(m_lock);
  m_failures[{eCall, eCall == ECall::Query ? eClass : 0}] = dwError;
}

void CScriptedTerminalServices::Inject(DWORD dwFlags) {
  std::lock_guard lock(m_lock);
  m_results.push_back({TRUE, dwFlags});
  m_changed.notify_all();
}

void CScriptedTerminalServices::InjectError(DWORD dwError) {
  std::lock_guard lock(m_lock);
  m_results.push_back({FALSE, dwError});
  m_changed.notify_all();
}

bool CScriptedTerminalServices::AwaitIdle() {
  std::unique_lock lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::seconds(10),
                            [&] { return m_waiting > 0 && m_results.empty(); });
}

unsigned CScriptedTerminalServices::Enumerations() const {
  std::lock_guard lock(m_lock);
  return m_enumerations;
}

size_t CScriptedTerminalServices::Outstanding() const {
  std::lock_guard lock(m_lock);
  return m_buffers.size();
}

bool CScriptedTerminalServices::Failing(ECall eCall, WTS_INFO_CLASS eClass) {
  auto it = m_failures.find({eCall, eCall == ECall::Query ? eClass : 0});
  if (it == m_failures.end()) return false;
  SetLastError(it->second);
  m_failures.erase(it);
  return true;
}

LPWSTR CScriptedTerminalServices::Hand(std::vector<BYTE> bytes) {
  void* p = bytes.data();
  m_buffers.emplace(p, std::move(bytes));
  return static_cast<LPWSTR>(p);
}

BOOL WINAPI CScriptedTerminalServices::Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* ppInfo,
                                                 DWORD* pCount) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::lock_guard lock(ts.m_lock);
  ++ts.m_enumerations;
  if (ts.Failing(ECall::Enumerate, WTSInitialProgram)) return FALSE;
  std::vector<BYTE> bytes(ts.m_sessions.size() * sizeof(WTS_SESSION_INFOW) + 1);
  auto* pInfo = reinterpret_cast<PWTS_SESSION_INFOW>(bytes.data());
  for (size_t i = 0; i < ts.m_sessions.size(); ++i) {
    pInfo[i] = {ts.m_sessions[i].dwId, nullptr,
                static_cast<WTS_CONNECTSTATE_CLASS>(ts.m_sessions[i].dwState)};
  }
  *pCount = static_cast<DWORD>(ts.m_sessions.size());
  *ppInfo = reinterpret_cast<PWTS_SESSION_INFOW>(ts.Hand(std::move(bytes)));
  return TRUE;
}

BOOL WINAPI CScriptedTerminalServices::QueryInfo(HANDLE, DWORD dwSessionId, WTS_INFO_CLASS eClass,
                                                 LPWSTR* ppBuffer, DWORD* pBytes) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::lock_guard lock(ts.m_lock);
  if (ts.Failing(ECall::Query, eClass)) return FALSE;
  const SSession* pSession = nullptr;
  for (const SSession& session : ts.m_sessions) {
    if (session.dwId == dwSessionId) pSession = &session;
  }
  if (pSession == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<BYTE> bytes;
  auto put = [&](const void* p, size_t n) { bytes.assign((const BYTE*)p, (const BYTE*)p + n); };
  const OleString* pText = eClass == WTSClientName ? &pSession->client
                           : eClass == WTSUserName ? &pSession->user
                                                   : nullptr;
  if (eClass == WTSClientProtocolType) {
    put(&pSession->usProtocol, sizeof(USHORT));
  } else if (eClass == WTSSessionId || eClass == WTSClientHardwareId) {
    const DWORD dw = eClass == WTSSessionId ? dwSessionId : 0;
    put(&dw, sizeof(DWORD));
  } else {
    const OleString text = pText != nullptr ? *pText : OleString(OLESTR("DOMAIN"));
    put(text.c_str(), (text.size() + 1) * sizeof(OLECHAR));
  }
  *pBytes = static_cast<DWORD>(bytes.size());
  *ppBuffer = ts.Hand(std::move(bytes));
  return TRUE;
}

BOOL WINAPI CScriptedTerminalServices::Wait(HANDLE, DWORD dwMask, DWORD* pFlags) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::unique_lock lock(ts.m_lock);
  if (dwMask & WTS_EVENT_FLUSH) {
    *pFlags = WTS_EVENT_NONE;
    if (ts.Failing(ECall::Flush, WTSInitialProgram)) return FALSE;
    if (!ts.bIgnoreFlush) ++ts.m_flushes;
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
  SResult result{FALSE, ERROR_OPERATION_ABORTED};
  if (ts.m_flushes != flushes) {
    result = {TRUE, WTS_EVENT_NONE};
  } else if (!ts.m_results.empty()) {
    result = ts.m_results.front();
    ts.m_results.pop_front();
  }
  --ts.m_inside;
  ts.m_changed.notify_all();
  *pFlags = result.bOk ? result.dwValue : 0;
  if (!result.bOk) SetLastError(result.dwValue);
  return result.bOk;
}

BOOL WINAPI CScriptedTerminalServices::QueryUserToken(ULONG, PHANDLE) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

void WINAPI CScriptedTerminalServices::FreeMemory(PVOID p) {
  CScriptedTerminalServices& ts = *gpCurrent;
  std::lock_guard lock(ts.m_lock);
  ts.m_buffers.erase(p);
}
