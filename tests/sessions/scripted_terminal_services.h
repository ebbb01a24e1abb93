// CScriptedTerminalServices: Terminal Services entry points for a scripted
// machine: CScriptedMachine::ProvideModule(OLESTR("Wtsapi32.dll"), Exports()).
// The sessions are what the test sets; the monitor queries only sessions it
// enumerated. The event wait hands out the injected results one by one and
// blocks while there are none; a flush makes every blocked wait return
// WTS_EVENT_NONE unless bIgnoreFlush is set. The enumeration and the flush
// fail once with a nonzero dwFailEnumerate or dwFailFlush. Buffers are heap
// blocks that WTSFreeMemory deletes, so the leak checker reports a buffer
// never freed. The object must outlive every wait.
//
// Shared by the tests of the monitor and of its owner, the store manager.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

using OleString = std::basic_string<OLECHAR>;

class CScriptedTerminalServices {
 public:
  struct SSession {
    DWORD dwId, dwState;
    USHORT usProtocol = WTS_PROTOCOL_TYPE_RDP;
    OleString client;
  };

  CScriptedTerminalServices() { gpCurrent = this; }
  // WTSQueryUserToken must exist but is never called.
  std::map<std::string, FARPROC> Exports() const {
    return {{"WTSEnumerateSessionsW", Export(&Enumerate)},
            {"WTSQuerySessionInformationW", Export(&QueryInfo)},
            {"WTSWaitSystemEvent", Export(&Wait)},
            {"WTSQueryUserToken", Export(&FreeMemory)},
            {"WTSFreeMemory", Export(&FreeMemory)}};
  }
  void SetSessions(std::vector<SSession> sessions) {
    std::lock_guard lock(m_lock);
    m_sessions = std::move(sessions);
  }
  // The next wait returns TRUE with these flags, or FALSE with this error.
  void Inject(DWORD dwFlags, BOOL bOk = TRUE) {
    std::lock_guard lock(m_lock);
    m_results.emplace_back(bOk, dwFlags);
    m_changed.notify_all();
  }
  // Until a thread waits with nothing left to hand out (false after ten
  // seconds: a deadlock guard).
  bool AwaitIdle() {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(10),
                              [&] { return m_waiting != 0 && m_results.empty(); });
  }
  // Set before the call is due; read under the lock.
  bool bIgnoreFlush = false;
  DWORD dwFailEnumerate = 0, dwFailFlush = 0;

 private:
  template <class F>
  static FARPROC Export(F f) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
  }
  static LPWSTR Hand(const void* p, size_t cb) {
    BYTE* pBuffer = new BYTE[cb + 1];
    if (cb != 0) memcpy(pBuffer, p, cb);
    return reinterpret_cast<LPWSTR>(pBuffer);
  }
  static bool Failing(DWORD& dwError) {
    if (dwError == 0) return false;
    SetLastError(std::exchange(dwError, 0));
    return true;
  }
  static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* ppInfo, DWORD* pCount) {
    CScriptedTerminalServices& ts = *gpCurrent;
    std::lock_guard lock(ts.m_lock);
    if (Failing(ts.dwFailEnumerate)) return FALSE;
    std::vector<WTS_SESSION_INFOW> info;
    for (const SSession& s : ts.m_sessions) {
      info.push_back({s.dwId, nullptr, static_cast<WTS_CONNECTSTATE_CLASS>(s.dwState)});
    }
    *pCount = static_cast<DWORD>(info.size());
    *ppInfo = reinterpret_cast<PWTS_SESSION_INFOW>(
        Hand(info.data(), info.size() * sizeof(WTS_SESSION_INFOW)));
    return TRUE;
  }
  static BOOL WINAPI QueryInfo(HANDLE, DWORD dwSessionId, WTS_INFO_CLASS eClass, LPWSTR* ppBuffer,
                               DWORD* pBytes) {
    CScriptedTerminalServices& ts = *gpCurrent;
    std::lock_guard lock(ts.m_lock);
    const SSession& s = *std::find_if(ts.m_sessions.begin(), ts.m_sessions.end(),
                                      [&](const SSession& x) { return x.dwId == dwSessionId; });
    const OleString text = eClass == WTSClientName ? s.client : OLESTR("user");
    const void* p = text.c_str();
    *pBytes = DWORD((text.size() + 1) * sizeof(OLECHAR));
    if (eClass == WTSSessionId) p = &s.dwId, *pBytes = sizeof(DWORD);
    if (eClass == WTSClientProtocolType) p = &s.usProtocol, *pBytes = sizeof(USHORT);
    *ppBuffer = Hand(p, *pBytes);
    return TRUE;
  }
  static BOOL WINAPI Wait(HANDLE, DWORD dwMask, DWORD* pFlags) {
    CScriptedTerminalServices& ts = *gpCurrent;
    std::unique_lock lock(ts.m_lock);
    *pFlags = WTS_EVENT_NONE;
    if (dwMask & WTS_EVENT_FLUSH) {
      if (Failing(ts.dwFailFlush)) return FALSE;
      ts.m_flushes += ts.bIgnoreFlush ? 0 : 1;
      ts.m_changed.notify_all();
      return TRUE;
    }
    const unsigned flushes = ts.m_flushes;
    ++ts.m_waiting;
    ts.m_changed.notify_all();
    ts.m_changed.wait(lock, [&] { return !ts.m_results.empty() || ts.m_flushes != flushes; });
    --ts.m_waiting;
    if (ts.m_flushes != flushes) return TRUE;
    const auto [bOk, dwValue] = ts.m_results.front();
    ts.m_results.pop_front();
    SetLastError(bOk ? 0 : dwValue);
    *pFlags = bOk ? dwValue : 0;
    return bOk;
  }
  static void WINAPI FreeMemory(PVOID p) { delete[] static_cast<BYTE*>(p); }

  static inline std::atomic<CScriptedTerminalServices*> gpCurrent{nullptr};
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<SSession> m_sessions;
  std::deque<std::pair<BOOL, DWORD>> m_results;
  unsigned m_flushes = 0;
  size_t m_waiting = 0;
};
