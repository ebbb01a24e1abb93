#include "sessions/sessionmonitor.h"

#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "platform/machine.h"
#include "sessions/terminalservices.h"
#include "support/logscope.h"
#include "support/scopedlock.h"

using ZU::Framework::secwstring;

struct CSessionMonitor::SRun {
  SRun(CSessionMonitor* pMonitorIn, const STerminalServicesEntryPoints& entryIn) noexcept
      : pMonitor(pMonitorIn), entry(entryIn) {}

  CSessionMonitor* const pMonitor;  // reached only inside a pass that found no stop
  const STerminalServicesEntryPoints entry;
  CCriticalSection csSessions;
  std::atomic<bool> bStopping{false};
  std::atomic<bool> bDone{false};  // the thread has finished with the machine and the module
};

namespace {

using SRun = CSessionMonitor::SRun;

constexpr DWORD kNoSession = 0xFFFFFFFF;
constexpr DWORD kWaitMask = 0xFB;
constexpr DWORD kPassFlags = WTS_EVENT_DELETE | WTS_EVENT_STATECHANGE;
constexpr ULONGLONG kRetryPauseMs = 500;
constexpr ULONGLONG kStopWaitMs = 5000;
constexpr ULONGLONG kReflushMs = 50;
constexpr DWORD kComputerNameUnits = 16;

std::atomic<LONG> gThreadsAlive{0};

struct SStateInfo {
  const OLECHAR* pszName;
  logformat::CLogFormat<DWORD> seen;
};

constexpr SStateInfo kStates[] = {
    {OLESTR("WTSActive"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSActive. A user is logged on to the "
            "WinStation.")},
    {OLESTR("WTSConnected"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSConnected. The WinStation is connected to "
            "the client.")},
    {OLESTR("WTSConnectQuery"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSConnectQuery. The WinStation is in the "
            "process of connecting to the client.")},
    {OLESTR("WTSShadow"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSShadow. The WinStation is shadowing another "
            "WinStation.")},
    {OLESTR("WTSDisconnected"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSDisconnected. The WinStation is shadowing "
            "another WinStation. The WinStation is active but the client is disconnected.")},
    {OLESTR("WTSIdle"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSIdle. The WinStation is waiting for a client "
            "to connect.")},
    {OLESTR("WTSListen"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSListen. The WinStation is listening for a "
            "connection.")},
    {OLESTR("WTSReset"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSReset. The WinStation is being reset.")},
    {OLESTR("WTSDown"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSDown. The WinStation is down due to an "
            "error.")},
    {OLESTR("WTSInit"),
     OLESTR("UpdateSessions: Session 0x%x state = WTSInit. The WinStation is initializing.")},
};
constexpr DWORD kStateCount = sizeof(kStates) / sizeof(kStates[0]);

struct SEventInfo {
  DWORD dwFlag;
  LONG lLevel;
  logformat::CLogFormat<> message;
};

// In the order the messages are written when several flags come together.
constexpr SEventInfo kEvents[] = {
    {WTS_EVENT_LICENSE, LOG_FAILURE,
     OLESTR("SessionMonitoringThread: the Terminal Services's license state changed (wEventFlag "
            "= WTS_EVENT_LICENSE)")},
    {WTS_EVENT_RENAME, LOG_FAILURE,
     OLESTR("SessionMonitoringThread: an existing WinStation was renamed (wEventFlag = "
            "WTS_EVENT_RENAME)")},
    {WTS_EVENT_CONNECT, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a client connected to a WinStation (wEventFlag = "
            "WTS_EVENT_CONNECT)")},
    {WTS_EVENT_DISCONNECT, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a client disconnected from a WinStation (wEventFlag = "
            "WTS_EVENT_DISCONNECT)")},
    {WTS_EVENT_CREATE, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a new WinStation was created (wEventFlag = "
            "WTS_EVENT_CREATE)")},
    {WTS_EVENT_DELETE, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: an existing WinStation was deleted (wEventFlag = "
            "WTS_EVENT_DELETE)")},
    {WTS_EVENT_LOGON, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a user logged on to the system from either the Terminal "
            "Services console or from a client WinStation (wEventFlag = WTS_EVENT_LOGON)")},
    {WTS_EVENT_LOGOFF, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a user logged off from either the Terminal Services "
            "console or from a client WinStation (wEventFlag = WTS_EVENT_LOGOFF)")},
    {WTS_EVENT_STATECHANGE, LOG_NOTABLE,
     OLESTR("SessionMonitoringThread: a WinStation connection state changed (wEventFlag = "
            "WTS_EVENT_STATECHANGE)")},
};

// The entry points in the order Start takes them, each with its message.
struct SEntryPointInfo {
  LPCSTR pszExport;
  logformat::CLogFormat<DWORD> missing;
  void (*take)(STerminalServicesEntryPoints& entry, FARPROC p);
};

template <class F>
F As(FARPROC p) noexcept {
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(p));
}

using SEntry = STerminalServicesEntryPoints;
const SEntryPointInfo kEntryPoints[] = {
    {"WTSQuerySessionInformationW",
     OLESTR("CSessionMonitor::Start: GetProcAddress(WTSQuerySessionInformationA) failed with "
            "error code 0x%x"),
     [](SEntry& e, FARPROC p) {
       e.pWTSQuerySessionInformation = As<decltype(e.pWTSQuerySessionInformation)>(p);
     }},
    {"WTSWaitSystemEvent",
     OLESTR("CSessionMonitor::Start: GetProcAddress(WTSWaitSystemEvent) failed with error code "
            "0x%x"),
     [](SEntry& e, FARPROC p) { e.pWTSWaitSystemEvent = As<decltype(e.pWTSWaitSystemEvent)>(p); }},
    {"WTSQueryUserToken",
     OLESTR("CSessionMonitor::Start: GetProcAddress(WTSQueryUserToken) failed with error code "
            "0x%x"),
     [](SEntry& e, FARPROC p) { e.pWTSQueryUserToken = As<decltype(e.pWTSQueryUserToken)>(p); }},
    {"WTSFreeMemory",
     OLESTR("CSessionMonitor::Start: GetProcAddress(WTSFreeMemory) failed with error code 0x%x"),
     [](SEntry& e, FARPROC p) { e.pWTSFreeMemory = As<decltype(e.pWTSFreeMemory)>(p); }},
    {"WTSEnumerateSessionsW",
     OLESTR("CSessionMonitor::Start: GetProcAddress(WTSEnumerateSessions) failed with error code "
            "0x%x"),
     [](SEntry& e, FARPROC p) {
       e.pWTSEnumerateSessions = As<decltype(e.pWTSEnumerateSessions)>(p);
     }},
};

// Takes the five entry points into the shared table, in table order. On a
// missing one, logs its message, clears the ones taken and answers false.
bool TakeEntryPoints(STerminalServicesEntryPoints& copy) noexcept {
  CTerminalServicesModule::Lock();
  STerminalServicesEntryPoints& shared = CTerminalServicesModule::EntryPoints();
  bool bAll = true;
  for (const SEntryPointInfo& info : kEntryPoints) {
    FARPROC p = CTerminalServicesModule::GetProcAddress(info.pszExport);
    if (p == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE, info.missing, GetLastError());
      shared = STerminalServicesEntryPoints{};
      bAll = false;
      break;
    }
    info.take(shared, p);
  }
  copy = shared;
  CTerminalServicesModule::Unlock();
  return bAll;
}

// A buffer the Terminal Services calls hand out, freed with their
// WTSFreeMemory.
class CWtsBuffer {
 public:
  explicit CWtsBuffer(const STerminalServicesEntryPoints& entry) noexcept : m_entry(entry) {}
  ~CWtsBuffer() {
    if (m_p != nullptr) m_entry.pWTSFreeMemory(m_p);
  }
  CWtsBuffer(const CWtsBuffer&) = delete;
  CWtsBuffer& operator=(const CWtsBuffer&) = delete;

  LPWSTR* Receive() noexcept { return &m_p; }
  LPWSTR Get() const noexcept { return m_p; }
  DWORD dwBytes = 0;

  // The text of the buffer, never read past its size.
  secwstring Text() const {
    secwstring s;
    if (m_p == nullptr) return s;
    const DWORD cUnits = dwBytes / sizeof(WCHAR);
    for (DWORD i = 0; i < cUnits && m_p[i] != 0; ++i) s += static_cast<OLECHAR>(m_p[i]);
    return s;
  }

  DWORD Number() const noexcept {
    DWORD dw = 0;
    if (m_p != nullptr && dwBytes == sizeof(DWORD)) memcpy(&dw, m_p, sizeof(DWORD));
    return dw;
  }

 private:
  const STerminalServicesEntryPoints& m_entry;
  LPWSTR m_p = nullptr;
};

// Queries one class of the session's information. False (logged) when the
// call fails or answers no buffer.
bool Query(const SRun& run, DWORD dwSessionId, WTS_INFO_CLASS eClass, const OLECHAR* pszClass,
           CWtsBuffer& buffer) noexcept {
  if (!run.entry.pWTSQuerySessionInformation(WTS_CURRENT_SERVER_HANDLE, dwSessionId, eClass,
                                             buffer.Receive(), &buffer.dwBytes)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("UpdateSessions: WTSQuerySessionInformation(%s) failed with error code 0x%x"),
             pszClass, GetLastError());
    return false;
  }
  if (buffer.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("UpdateSessions: WTSQuerySessionInformation(%s) returned NULL"), pszClass);
    return false;
  }
  return true;
}

// Queries and logs who is behind the session; answers the client name
// (empty when it could not be learned).
secwstring QueryClient(const SRun& run, DWORD dwSessionId) {
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("UpdateSessions: Querying SessionInformation for session 0x%x"), dwSessionId);
  bool bConsole = false;
  secwstring wsComputerName;
  {
    CWtsBuffer buffer(run.entry);
    if (Query(run, dwSessionId, WTSClientProtocolType, OLESTR("WTSClientProtocolType"), buffer) &&
        buffer.dwBytes >= sizeof(USHORT)) {
      USHORT usProtocol = 0;
      memcpy(&usProtocol, buffer.Get(), sizeof(USHORT));
      if (usProtocol == WTS_PROTOCOL_TYPE_CONSOLE) {
        bConsole = true;
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("UpdateSessions: WTSQuerySessionInformation(WTSClientProtocolType) "
                        "returned WTS_PROTOCOL_TYPE_CONSOLE"));
        WCHAR szName[kComputerNameUnits] = {};
        DWORD cUnits = kComputerNameUnits;
        if (GetComputerNameW(szName, &cUnits)) {
          for (DWORD i = 0; i < cUnits && i < kComputerNameUnits; ++i) {
            wsComputerName += static_cast<OLECHAR>(szName[i]);
          }
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("UpdateSessions: GetComputerName succeded ComputerName = %s"),
                   wsComputerName.c_str());
        } else {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("UpdateSessions: GetComputerName failed error = 0x%x"), GetLastError());
        }
      } else if (usProtocol == WTS_PROTOCOL_TYPE_ICA) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("UpdateSessions: WTSQuerySessionInformation(WTSClientProtocolType) "
                        "returned WTS_PROTOCOL_TYPE_ICA"));
      } else if (usProtocol == WTS_PROTOCOL_TYPE_RDP) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("UpdateSessions: WTSQuerySessionInformation(WTSClientProtocolType) "
                        "returned WTS_PROTOCOL_TYPE_RDP"));
      }
    }
  }
  secwstring wsSessionClient;
  {
    CWtsBuffer buffer(run.entry);
    if (Query(run, dwSessionId, WTSClientName, OLESTR("WTSClientName"), buffer)) {
      const secwstring wsName = buffer.Text();
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("UpdateSessions: WTSQuerySessionInformation(WTSClientName) returned %s "
                      "(dwBytesReturned=0x%x)"),
               wsName.c_str(), buffer.dwBytes);
      wsSessionClient = bConsole ? wsComputerName : wsName;
    }
  }
  // Only logged.
  struct SLogged {
    WTS_INFO_CLASS eClass;
    const OLECHAR* pszClass;
    bool bNumber;
  };
  static constexpr SLogged kLogged[] = {
      {WTSDomainName, OLESTR("WTSDomainName"), false},
      {WTSUserName, OLESTR("WTSUserName"), false},
      {WTSClientHardwareId, OLESTR("WTSClientHardwareId"), true},
      {WTSSessionId, OLESTR("WTSSessionId"), true},
  };
  for (const SLogged& logged : kLogged) {
    CWtsBuffer buffer(run.entry);
    if (!Query(run, dwSessionId, logged.eClass, logged.pszClass, buffer)) continue;
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("UpdateSessions: WTSQuerySessionInformation(%s) returned %s "
                    "(dwBytesReturned=0x%x)"),
             logged.pszClass, buffer.Text().c_str(), buffer.dwBytes);
    if (logged.bNumber && buffer.dwBytes == sizeof(DWORD)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("UpdateSessions: WTSQuerySessionInformation(%s) returned %d"),
               logged.pszClass, buffer.Number());
    }
  }
  return wsSessionClient;
}

// What removing a session from one of the maps logs.
struct SRemovalMessages {
  logformat::CLogFormat<> notFound;
  logformat::CLogFormat<DWORD> removed;
};

template <class Map>
void RemoveLogged(Map& map, DWORD dwSessionId, const SRemovalMessages& messages) noexcept {
  if (map.erase(dwSessionId) == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, messages.notFound);
    return;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, messages.removed, dwSessionId);
}

// Stop's flag, read under the session lock before every notification.
bool MayNotify(const SRun& run, ISessionSubscriber* pSubscriber) noexcept {
  return pSubscriber != nullptr && !run.bStopping.load();
}

// The 500 ms pause after a failed wait; false when Stop ended it.
bool PauseBeforeRetry(IMachine& machine, const SRun& run) noexcept {
  const ULONGLONG ullDeadline = machine.GetTickCount64() + kRetryPauseMs;
  for (;;) {
    const ULONGLONG ullWakeCount = machine.GetWakeCount();
    if (run.bStopping.load()) return false;
    if (machine.WaitForTick(ullDeadline, ullWakeCount) == WAIT_TIMEOUT) return true;
  }
}

// The thread's loop, from the first pass to its end.
void MonitorSessions(SRun& run) noexcept {
  auto machine = MachineSeam().Use();
  if (run.entry.pWTSQuerySessionInformation == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("SessionMonitoringThread: CSessionMonitor::pWTSQuerySessionInformation should "
                    "not be NULL"));
    return;
  }
  bool bPass = true;
  for (;;) {
    if (bPass) UpdateSessions(*run.pMonitor, run);
    if (run.bStopping.load()) return;
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("SessionMonitoringThread: calling WTSWaitSystemEvent to monitor sessions."));
    DWORD dwEventFlag = 0;
    if (!run.entry.pWTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, kWaitMask, &dwEventFlag)) {
      const DWORD dwError = GetLastError();
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("SessionMonitoringThread: WTSWaitSystemEvent(WTS_EVENT_ALL) failed with "
                      "error code 0x%x"),
               dwError);
      if (dwError == ERROR_OPERATION_ABORTED) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("SessionMonitoringThread: exiting from monitoring thread (GetLastError "
                        "returned ERROR_OPERATION_ABORTED)"));
        return;
      }
      if (!PauseBeforeRetry(*machine, run)) return;
      bPass = false;
      continue;
    }
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("SessionMonitoringThread: WTSWaitSystemEvent(WTS_EVENT_ALL) returned "
                    "dwEventFlag = 0x%x"),
             dwEventFlag);
    if (dwEventFlag == WTS_EVENT_NONE) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("SessionMonitoringThread: exiting from monitoring thread (wEventFlag = "
                      "WTS_EVENT_NONE)"));
      return;
    }
    if (run.bStopping.load()) return;
    for (const SEventInfo& event : kEvents) {
      if (dwEventFlag & event.dwFlag) qvlogLog(gLogChannel, event.lLevel, event.message);
    }
    bPass = (dwEventFlag & kPassFlags) != 0;
  }
}

}  // namespace

const OLECHAR* GetSessionStateName(DWORD dwState) noexcept {
  return dwState < kStateCount ? kStates[dwState].pszName : OLESTR("UnknownState");
}

LONG SessionMonitorThreadsAlive() noexcept { return gThreadsAlive.load(); }

CSessionMonitor::CSessionMonitor() noexcept {
  CLogScope scope(LOG_SCOPE_NAME("CSessionMonitor::CSessionMonitor"));
}

CSessionMonitor::~CSessionMonitor() {
  CLogScope scope(LOG_SCOPE_NAME("CSessionMonitor::~CSessionMonitor"));
  Stop();
  if (m_bHoldsModule) CTerminalServicesModule::Release();
  m_bHoldsModule = false;
  m_SessionStates.clear();
  m_SessionClients.clear();
}

BOOL CSessionMonitor::Start() noexcept {
  CLogScope scope(LOG_SCOPE_NAME("CSessionMonitor::Start"));
  if (m_hMonitoringThread != nullptr) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CSessionMonitor::Start: SessionMonitoringThread is already started."));
    return TRUE;
  }
  if (!m_bHoldsModule) {
    if (!CTerminalServicesModule::AddRef()) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CSessionMonitor::Start: LoadLibrary(Wtsapi32.dll) failed with error code "
                      "0x%x"),
               GetLastError());
      return TRUE;
    }
    m_bHoldsModule = true;  // kept after any later failure, until destruction
  }
  STerminalServicesEntryPoints entry;
  if (!TakeEntryPoints(entry)) return TRUE;

  std::shared_ptr<SRun>* pHandOver = nullptr;
  try {
    pHandOver = new std::shared_ptr<SRun>(std::make_shared<SRun>(this, entry));
  } catch (const std::bad_alloc&) {
    pHandOver = nullptr;
  }
  DWORD dwError = ERROR_NOT_ENOUGH_MEMORY;
  HANDLE hThread = nullptr;
  if (pHandOver != nullptr) {
    std::shared_ptr<SRun> pRun = *pHandOver;
    // The thread's own reference on the module, dropped when it finishes.
    CTerminalServicesModule::AddRef();
    ++gThreadsAlive;
    hThread = CreateThread(nullptr, 0, SessionMonitoringThread, pHandOver, 0, nullptr);
    if (hThread == nullptr) {
      dwError = GetLastError();
      --gThreadsAlive;
      CTerminalServicesModule::Release();
    } else {
      m_hMonitoringThread = hThread;
      m_pRun = std::move(pRun);
    }
  }
  if (hThread == nullptr) {
    delete pHandOver;
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CSessionMonitor::Start: CreateThread(SessionMonitoringThread) failed with "
                    "error code 0x%x"),
             dwError);
  }
  return TRUE;
}

BOOL CSessionMonitor::Stop() noexcept {
  CLogScope scope(LOG_SCOPE_NAME("CSessionMonitor::Stop"));
  if (m_hMonitoringThread == nullptr) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CSessionMonitor::Stop: SessionMonitoringThread is already stopped."));
    return TRUE;
  }
  SRun& run = *m_pRun;
  if (run.entry.pWTSWaitSystemEvent == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CSessionMonitor::Stop: CSessionMonitor::pWTSWaitSystemEvent should not be "
                    "NULL"));
    return TRUE;
  }
  IMachine& machine = Machine();
  run.bStopping = true;
  machine.Wake();  // ends the retry pause
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CSessionMonitor::Stop: calling WTSWaitSystemEvent(WTS_EVENT_FLUSH) to stop "
                  "SessionMonitoringThread."));
  DWORD dwEventFlag = 0;
  if (run.entry.pWTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwEventFlag)) {
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("CSessionMonitor::Stop: WTSWaitSystemEvent(WTS_EVENT_FLUSH) succeded."));
  } else {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CSessionMonitor::Stop: WTSWaitSystemEvent(WTS_EVENT_FLUSH) failed with error "
                    "code 0x%x"),
             GetLastError());
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CSessionMonitor::Stop: waiting for SessionMonitoringThread to complete"));
  const ULONGLONG ullDeadline = machine.GetTickCount64() + kStopWaitMs;
  bool bDone = false;
  for (;;) {
    const ULONGLONG ullWakeCount = machine.GetWakeCount();
    bDone = run.bDone.load();
    const ULONGLONG ullNow = machine.GetTickCount64();
    if (bDone || ullNow >= ullDeadline) break;
    // A flush reaches only a wait in progress: one sent while the thread
    // was between its stop check and its wait is lost, so it is sent again.
    if (machine.WaitForTick(std::min(ullDeadline, ullNow + kReflushMs), ullWakeCount) ==
        WAIT_TIMEOUT) {
      run.entry.pWTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwEventFlag);
    }
  }
  if (bDone) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CSessionMonitor::Stop: SessionMonitoringThread completed succesfully"));
    // The thread has finished its work and is returning; this wait is short.
    WaitForSingleObject(m_hMonitoringThread, INFINITE);
  } else {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CSessionMonitor::Stop: waiting for SessionMonitoringThread to complete, "
                    "timed out"));
    // A pass in progress finishes its notification; every later one sees
    // the flag.
    CScopedLock lock(run.csSessions);
  }
  CloseHandle(m_hMonitoringThread);
  m_hMonitoringThread = nullptr;
  m_pRun.reset();
  return TRUE;
}

void CSessionMonitor::UpdateSessionState(DWORD dwSessionId, DWORD dwState) {
  m_SessionStates[dwSessionId] = dwState;
}

void CSessionMonitor::RemoveSessionState(DWORD dwSessionId) noexcept {
  static constexpr SRemovalMessages kMessages = {
      OLESTR("CSessionMonitor::RemoveSessionState dwSession not found"),
      OLESTR("CSessionMonitor::RemoveSessionState: dwSession = 0x%x")};
  RemoveLogged(m_SessionStates, dwSessionId, kMessages);
}

secwstring CSessionMonitor::GetSessionClient(DWORD dwSessionId) const {
  auto it = m_SessionClients.find(dwSessionId);
  return it == m_SessionClients.end() ? secwstring() : it->second;
}

void CSessionMonitor::UpdateSessionClient(DWORD dwSessionId, const secwstring& wsSessionClient) {
  m_SessionClients[dwSessionId] = wsSessionClient;
}

void CSessionMonitor::RemoveSessionClient(DWORD dwSessionId) noexcept {
  static constexpr SRemovalMessages kMessages = {
      OLESTR("CSessionMonitor::RemoveSessionClient dwSession not found"),
      OLESTR("CSessionMonitor::RemoveSessionClient: dwSessionId = 0x%x")};
  RemoveLogged(m_SessionClients, dwSessionId, kMessages);
}

DWORD CSessionMonitor::GetOtherSessionId(DWORD dwSessionId,
                                         const secwstring& wsSessionClient) const noexcept {
  CLogScope scope(LOG_SCOPE_NAME("CSessionMonitor::GetOtherSessionId"));
  DWORD dwOtherSessionId = kNoSession;
  DWORD dwFound = kNoSession;
  LONG nbSessionIdFound = 0;
  for (const auto& [dwSessionIdCurrent, wsSessionClientCurrent] : m_SessionClients) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CSessionMonitor::GetOtherSessionId dwSessionIdCurrent = %d "
                    "wsSessionClientCurrent = %s"),
             dwSessionIdCurrent, wsSessionClientCurrent.c_str());
    // Sessions 0 and 65536 are the services' and the console's, never the
    // continuation of a remote user.
    if (dwSessionIdCurrent != dwSessionId && wsSessionClientCurrent == wsSessionClient &&
        dwSessionIdCurrent != 0 && dwSessionIdCurrent != 0x10000) {
      ++nbSessionIdFound;
      dwFound = dwSessionIdCurrent;
    }
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CSessionMonitor::GetOtherSessionId nbSessionIdFound = %d"), nbSessionIdFound);
  if (nbSessionIdFound != 1) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CSessionMonitor::GetOtherSessionId nbSessionIdFound = %d != 1 => cannot get "
                    "other session id"),
             nbSessionIdFound);
  } else {
    dwOtherSessionId = dwFound;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CSessionMonitor::GetOtherSessionId dwOtherSessionId = %d"), dwOtherSessionId);
  return dwOtherSessionId;
}

DWORD CSessionMonitor::PreviousState(DWORD dwSessionId) const noexcept {
  auto it = m_SessionStates.find(dwSessionId);
  return it == m_SessionStates.end() ? static_cast<DWORD>(WTSDown) : it->second;
}

void UpdateSessions(CSessionMonitor& monitor, CSessionMonitor::SRun& run) noexcept {
  CLogScope scope(LOG_SCOPE_NAME("UpdateSessions"));
  CScopedLock lock(run.csSessions);
  // After Stop a left-behind thread must not reach the monitor at all: the
  // owner may have destroyed it.
  if (run.bStopping.load()) return;
  ISessionSubscriber* const pSubscriber = monitor.m_pSubscriber;
  PWTS_SESSION_INFOW pSessions = nullptr;
  DWORD dwCount = 0;
  if (!run.entry.pWTSEnumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pSessions, &dwCount)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("UpdateSessions: WTSEnumerateSessions failed with error code 0x%x"),
             GetLastError());
    return;
  }
  if (pSessions == nullptr) dwCount = 0;
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("UpdateSessions: Found %d sessions."), dwCount);
  try {
    for (DWORD i = 0; i < dwCount; ++i) {
      const DWORD dwSessionId = pSessions[i].SessionId;
      const DWORD dwState = static_cast<DWORD>(pSessions[i].State);
      const DWORD dwPrevious = monitor.PreviousState(dwSessionId);
      if (dwPrevious != dwState) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("UpdateSessions: Session 0x%x state changed from %s to %s."), dwSessionId,
                 GetSessionStateName(dwPrevious), GetSessionStateName(dwState));
      }
      if (dwState < kStateCount) {
        qvlogLog(gLogChannel, LOG_NOTABLE, kStates[dwState].seen, dwSessionId);
        if (dwState == WTSActive && dwPrevious == WTSConnected) {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("UpdateSessions: Previous state = WTSConnected. The WinStation was "
                          "connected to the client."));
        } else if (dwState == WTSActive && dwPrevious == WTSDisconnected) {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("UpdateSessions: Previous state = WTSDisconnected. The WinStation was "
                          "active but the client was disconnected."));
        }
        monitor.UpdateSessionState(dwSessionId, dwState);
      }
      // The state stored now: a state outside the table is not stored, and
      // a session without one counts as down.
      const DWORD dwStored = dwState < kStateCount ? dwState : dwPrevious;
      if (dwStored == WTSDown) {
        const secwstring wsSessionClient = monitor.GetSessionClient(dwSessionId);
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("UpdateSessions: wsSessionClient corresponding to session Id %d = %s"),
                 dwSessionId, wsSessionClient.c_str());
        if (!wsSessionClient.empty()) {
          const DWORD dwOtherSessionId = monitor.GetOtherSessionId(dwSessionId, wsSessionClient);
          qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("UpdateSessions: dwOtherSessionId = %d"),
                   dwOtherSessionId);
          if (dwOtherSessionId != kNoSession && MayNotify(run, pSubscriber)) {
            pSubscriber->NotifyMove(dwSessionId, dwOtherSessionId);
          }
        }
        monitor.RemoveSessionClient(dwSessionId);
        if (MayNotify(run, pSubscriber)) pSubscriber->NotifyFlush(dwSessionId);
        if (MayNotify(run, pSubscriber)) pSubscriber->NotifyAvailability(dwSessionId, FALSE);
        monitor.RemoveSessionState(dwSessionId);
      }
      // An ended session has been forgotten, so only a stored state counts.
      if ((dwStored == WTSConnected || dwStored == WTSConnectQuery) &&
          MayNotify(run, pSubscriber)) {
        pSubscriber->NotifyAvailability(dwSessionId, TRUE);
      }
      if (dwPrevious != dwState) {
        const secwstring wsSessionClient = QueryClient(run, dwSessionId);
        if (dwState == WTSActive || dwState == WTSConnected) {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("UpdateSessions: UpdateSessionClient SessionId = %d wsSessionClient = "
                          "%s"),
                   dwSessionId, wsSessionClient.c_str());
          monitor.UpdateSessionClient(dwSessionId, wsSessionClient);
        }
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateSessions: out of memory"));
  }
  run.entry.pWTSFreeMemory(pSessions);
}

DWORD WINAPI SessionMonitoringThread(LPVOID lpParameter) {
  std::shared_ptr<SRun> pRun;
  {
    CLogScope scope(LOG_SCOPE_NAME("SessionMonitoringThread"));
    if (lpParameter == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("SessionMonitoringThread: lpParameter should not be NULL"));
      return 0;
    }
    auto* pHandOver = static_cast<std::shared_ptr<SRun>*>(lpParameter);
    pRun = std::move(*pHandOver);
    delete pHandOver;
    MonitorSessions(*pRun);
  }
  // Last: the module, the count and the signal Stop waits for.
  CTerminalServicesModule::Release();
  --gThreadsAlive;
  pRun->bDone = true;
  MachineSeam().Use()->Wake();
  return 0;
}
