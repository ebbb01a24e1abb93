// CScriptedTerminalServices: Terminal Services entry points for a scripted
// machine: CScriptedMachine::ProvideModule(OLESTR("Wtsapi32.dll"), Exports()).
//
// The sessions are what the test sets. The event wait hands out the injected
// results one by one and blocks while there are none; a flush makes every
// blocked wait return WTS_EVENT_NONE unless bIgnoreFlush is set. Any single
// call can be made to fail. Destruction ends blocked waits with
// ERROR_OPERATION_ABORTED. Buffers are heap blocks that WTSFreeMemory
// deletes, so the leak checker reports a buffer never freed.
#pragma once

#include <windows.h>

#include <wtsapi32.h>

#include <condition_variable>
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
    SSession(DWORD id, DWORD state, USHORT protocol = WTS_PROTOCOL_TYPE_RDP, OleString name = {})
        : dwId(id), dwState(state), usProtocol(protocol), client(std::move(name)) {}
    DWORD dwId, dwState;
    USHORT usProtocol;
    OleString client;
  };
  // The calls that can fail: -1 the enumeration, -2 the flush, else the
  // query of that information class.
  static constexpr int kEnumerate = -1, kFlush = -2;

  CScriptedTerminalServices();
  ~CScriptedTerminalServices();
  std::map<std::string, FARPROC> Exports() const;

  void SetSessions(std::vector<SSession> sessions);
  void FailNext(int call, DWORD dwError);
  // The next wait returns TRUE with these flags, or FALSE with this error.
  void Inject(DWORD dwFlags, BOOL bOk = TRUE);
  // Until n threads wait with nothing left to hand out (false after ten
  // seconds: a deadlock guard).
  bool AwaitIdle(size_t n = 1);
  bool bIgnoreFlush = false;

  unsigned Enumerations() const;

 private:
  static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
  static BOOL WINAPI QueryInfo(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
  static BOOL WINAPI Wait(HANDLE, DWORD, DWORD*);
  static void WINAPI FreeMemory(PVOID);
  bool Failing(int call);  // under the lock; sets the last error
  static LPWSTR Hand(const void* p, size_t cb);

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<SSession> m_sessions;
  std::map<DWORD, size_t> m_index;  // position of each session id
  std::map<int, DWORD> m_failures;
  std::deque<std::pair<BOOL, DWORD>> m_results;
  unsigned m_enumerations = 0, m_flushes = 0;
  size_t m_waiting = 0, m_inside = 0;
  bool m_bRetired = false;
};
