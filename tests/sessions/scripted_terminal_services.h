// CScriptedTerminalServices: the Terminal Services entry points of a
// scripted machine, given to the code under test with
// CScriptedMachine::ProvideModule(OLESTR("Wtsapi32.dll"), Exports()).
//
// Sessions are what the test sets. The event wait hands out the injected
// results one by one and blocks while there are none; a flush makes every
// blocked wait return WTS_EVENT_NONE unless bIgnoreFlush is set. Any single
// call can be made to fail. Destruction ends the blocked waits with
// ERROR_OPERATION_ABORTED and waits for every caller to leave.
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
    DWORD dwId;
    DWORD dwState;
    USHORT usProtocol;
    OleString client;
    OleString user = OLESTR("alice");
  };
  // The calls a test can make fail; queries by information class.
  enum class ECall { Enumerate, Flush, Query };

  CScriptedTerminalServices();
  ~CScriptedTerminalServices();

  std::map<std::string, FARPROC> Exports() const;

  void SetSessions(std::vector<SSession> sessions);
  // The next call of this kind (of this information class) fails with dwError.
  void FailNext(ECall eCall, DWORD dwError, WTS_INFO_CLASS eClass = WTSInitialProgram);
  // The next wait returns these flags, or fails with dwError.
  void Inject(DWORD dwFlags);
  void InjectError(DWORD dwError);
  // Until a thread is blocked in the wait with nothing left to hand out
  // (false after ten seconds: a deadlock guard).
  bool AwaitIdle();
  // A flush succeeds but wakes nobody (the injected results still do).
  bool bIgnoreFlush = false;

  unsigned Enumerations() const;
  // Buffers handed out and not yet freed.
  size_t Outstanding() const;

 private:
  struct SResult {
    BOOL bOk;
    DWORD dwValue;  // flags, or the error
  };
  static BOOL WINAPI Enumerate(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
  static BOOL WINAPI QueryInfo(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
  static BOOL WINAPI Wait(HANDLE, DWORD, DWORD*);
  static BOOL WINAPI QueryUserToken(ULONG, PHANDLE);
  static void WINAPI FreeMemory(PVOID);

  bool Failing(ECall eCall, WTS_INFO_CLASS eClass);  // under the lock; sets the last error
  LPWSTR Hand(std::vector<BYTE> bytes);

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<SSession> m_sessions;
  std::map<std::pair<ECall, int>, DWORD> m_failures;
  std::deque<SResult> m_results;
  std::map<void*, std::vector<BYTE>> m_buffers;
  unsigned m_enumerations = 0;
  unsigned m_flushes = 0;
  size_t m_waiting = 0;
  size_t m_inside = 0;
  bool m_bRetired = false;
};
