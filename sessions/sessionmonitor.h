// CSessionMonitor: follows the terminal sessions of the machine on a thread
// of its own and tells one subscriber when a session ends (flush), when its
// cached state becomes usable or unusable (availability), and when the user
// of an ended session continues in another session from the same client
// machine (move).
//
// The thread waits in the Terminal Services event wait; on a deletion or a
// state change it enumerates the sessions once (UpdateSessions) and compares
// each with the state it saw last. A session is forgotten only when a pass
// sees it down; one that simply vanishes from the enumeration is kept.
//
// Stopping. Stop guarantees that no subscriber call starts after it returns,
// even when the flush wake-up is lost or the thread does not end within the
// 5000 ms Stop waits for it:
// - Stop raises the run's stop flag before anything else and wakes the
//   machine clock, which ends the 500 ms pause between failed waits;
// - a flush reaches only a wait in progress, so Stop sends it again every
//   50 ms while it waits (one sent just before the thread began to wait
//   would be lost);
// - the thread reads the flag after every wake-up, and each pass reads it
//   under the session lock before it starts and before every notification;
// - when the wait times out, Stop enters the session lock once before it
//   returns, so a notification in progress has finished and none follows.
// A thread left behind this way touches only its run (the lock, the flag
// and its copy of the entry points), which it shares with the monitor by
// reference count, never the monitor itself: the owner may destroy the
// monitor at once. The waits run on the machine clock.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

#include "sessions/sessionsubscriber.h"
#include "support/secstring.h"

class CSessionMonitor {
 public:
  CSessionMonitor() noexcept;
  ~CSessionMonitor();
  CSessionMonitor(const CSessionMonitor&) = delete;
  CSessionMonitor& operator=(const CSessionMonitor&) = delete;

  // Not owned; set before Start. While null the maps are kept as usual and
  // nothing is notified.
  void SetSubscriber(ISessionSubscriber* pSubscriber) noexcept { m_pSubscriber = pSubscriber; }

  // Both always answer TRUE: every failure is logged and passed over.
  BOOL Start() noexcept;
  BOOL Stop() noexcept;

  // What one run of the thread shares with it; private to the monitor.
  struct SRun;

 private:
  friend void UpdateSessions(CSessionMonitor& monitor, SRun& run) noexcept;

  // The map operations, called by a pass with the session lock held.
  void UpdateSessionState(DWORD dwSessionId, DWORD dwState);
  void RemoveSessionState(DWORD dwSessionId) noexcept;
  ZU::Framework::secwstring GetSessionClient(DWORD dwSessionId) const;
  void UpdateSessionClient(DWORD dwSessionId, const ZU::Framework::secwstring& wsSessionClient);
  void RemoveSessionClient(DWORD dwSessionId) noexcept;
  DWORD GetOtherSessionId(DWORD dwSessionId,
                          const ZU::Framework::secwstring& wsSessionClient) const noexcept;
  // The state a pass saw last, WTSDown when none.
  DWORD PreviousState(DWORD dwSessionId) const noexcept;

  HANDLE m_hMonitoringThread = nullptr;
  // The running thread's run; its lock is the session lock (m_csSessions).
  std::shared_ptr<SRun> m_pRun;
  std::map<DWORD, DWORD> m_SessionStates;
  std::map<DWORD, ZU::Framework::secwstring> m_SessionClients;
  ISessionSubscriber* m_pSubscriber = nullptr;
  bool m_bHoldsModule = false;  // this monitor's reference on "Wtsapi32.dll"
};

// One pass over the sessions; takes the run's session lock.
void UpdateSessions(CSessionMonitor& monitor, CSessionMonitor::SRun& run) noexcept;

// The thread procedure; its parameter is a heap-allocated
// std::shared_ptr<CSessionMonitor::SRun>, which it takes over.
DWORD WINAPI SessionMonitoringThread(LPVOID lpParameter);

// "WTSActive" ... "WTSInit", or "UnknownState".
const OLECHAR* GetSessionStateName(DWORD dwState) noexcept;

// Monitor threads of the process that have not finished; the module may not
// be unloaded while any runs.
LONG SessionMonitorThreadsAlive() noexcept;
