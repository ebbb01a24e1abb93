// CScriptedTerminalServices: Terminal Services entry points for a scripted
// machine: CScriptedMachine::ProvideModule(OLESTR("Wtsapi32.dll"), Exports()).
// The monitor queries only sessions it enumerated; every information class
// but the protocol answers the client name. The event wait hands out the injected results one by
// one and blocks while there are none; a flush makes every blocked wait return WTS_EVENT_NONE
// unless bIgnoreFlush is set. The next enumeration or flush fails once with a nonzero dwFail.
// Buffers are heap blocks that WTSFreeMemory deletes, so the leak checker reports a buffer never
// freed. The object must outlive every wait.
//
// Shared by the tests of the monitor and of its owner, the store manager.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class CScriptedTerminalServices {
 public:
  struct SSession {
    DWORD dwId, dwState;
    USHORT usProtocol = WTS_PROTOCOL_TYPE_RDP;
    std::basic_string<OLECHAR> client;
  };

  CScriptedTerminalServices() { gpCurrent = this; }
  // WTSQueryUserToken must exist but is never called.
  std::map<std::string, FARPROC> Exports() const {
    const auto Export = [](auto f) {
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
    };
    return {{"WTSEnumerateSessionsW", Export(&Enumerate)},
            {"WTSQuerySessionInformationW", Export(&QueryInfo)},
            {"WTSWaitSystemEvent", Export(&Wait)},
            {"WTSQueryUserToken", Export(&FreeMemory)},
            {"WTSFreeMemory", Export(&FreeMemory)}};
  }
  // Set while no thread is in a call: before the monitor starts, or after
  // AwaitIdle.
  std::vector<SSession> sessions;
  // The next wait returns TRUE with these flags, or FALSE with this error.
  void Inject(DWORD dwValue, BOOL bOk = TRUE) {
    std::lock_guard lock(m_lock);
    m_results.emplace_back(bOk, dwValue);
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
  DWORD dwFail = 0;

 private:
  static LPWSTR Hand(const void* p, size_t cb) {
    BYTE* pBuffer = new BYTE[cb + 1];
    std::copy_n(static_cast<const BYTE*>(p), cb, pBuffer);
    return reinterpret_cast<LPWSTR>(pBuffer);
  }
  // Under the lock: whether this call fails (dwFail, once).
  static bool Failing() {
    return gpCurrent->dwFail != 0 && (SetLastError(std::exchange(gpCurrent->dwFail, 0)), true);
  }
  static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* ppInfo, DWORD* pCount) {
    std::lock_guard lock(gpCurrent->m_lock);
    if (Failing()) return FALSE;
    std::vector<WTS_SESSION_INFOW> info;
    for (const SSession& s : gpCurrent->sessions) {
      info.push_back({s.dwId, nullptr, static_cast<WTS_CONNECTSTATE_CLASS>(s.dwState)});
    }
    *pCount = DWORD(info.size());
    *ppInfo = PWTS_SESSION_INFOW(Hand(info.data(), info.size() * sizeof(WTS_SESSION_INFOW)));
    return TRUE;
  }
  static BOOL WINAPI QueryInfo(HANDLE, DWORD dwId, WTS_INFO_CLASS eClass, LPWSTR* ppBuffer,
                               DWORD* pBytes) {
    std::lock_guard lock(gpCurrent->m_lock);
    for (const SSession& s : gpCurrent->sessions) {
      if (s.dwId != dwId) continue;
      const bool bProtocol = eClass == WTSClientProtocolType;
      *pBytes = DWORD(bProtocol ? sizeof(USHORT) : (s.client.size() + 1) * sizeof(OLECHAR));
      *ppBuffer =
          Hand(bProtocol ? static_cast<const void*>(&s.usProtocol) : s.client.c_str(), *pBytes);
    }
    return TRUE;
  }
  static BOOL WINAPI Wait(HANDLE, DWORD dwMask, DWORD* pFlags) {
    CScriptedTerminalServices& ts = *gpCurrent;
    std::unique_lock lock(ts.m_lock);
    *pFlags = WTS_EVENT_NONE;
    if (dwMask & WTS_EVENT_FLUSH) {
      if (Failing()) return FALSE;
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

  static inline CScriptedTerminalServices* gpCurrent = nullptr;
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<std::pair<BOOL, DWORD>> m_results;
  unsigned m_flushes = 0, m_waiting = 0;
};
