// Terminal sessions from systemd-logind: the Terminal Services functions
// and ProcessIdToSessionId (the mapping is described in <wtsapi32.h>).
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wtsapi32.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts.h"
#include "platform/no_destructor.h"
#include "platform/session_source.h"
#include "privileges.h"
#include "process_id.h"
#include "processes.h"

namespace kelmyr::winapi {
namespace {

// ---------------------------------------------------------------------------
// The entry points: libsystemd.so.0, or a machine without logind.

int AbsentGetSessions(char*** sessions) {
  if (sessions != nullptr) *sessions = nullptr;
  return 0;
}
int AbsentSessionString(const char*, char**) { return -ENXIO; }
int AbsentSessionUid(const char*, uid_t*) { return -ENXIO; }
int AbsentSessionIsRemote(const char*) { return -ENXIO; }
int AbsentPidGetSession(pid_t, char**) { return -ENODATA; }
int AbsentMonitorNew(const char*, sd_login_monitor**) { return -ENOSYS; }
sd_login_monitor* AbsentMonitorUnref(sd_login_monitor*) { return nullptr; }
int AbsentMonitorFlush(sd_login_monitor*) { return -EINVAL; }
int AbsentMonitorGetFd(sd_login_monitor*) { return -EINVAL; }

constexpr SSdLoginEntryPoints kAbsent = {
    AbsentGetSessions,     AbsentSessionString, AbsentSessionString, AbsentSessionUid,
    AbsentSessionIsRemote, AbsentSessionString, AbsentPidGetSession, AbsentMonitorNew,
    AbsentMonitorUnref,    AbsentMonitorFlush,  AbsentMonitorGetFd,
};

template <class F>
bool Resolve(void* hLibrary, const char* pszName, F* pfn) {
  void* pSymbol = dlsym(hLibrary, pszName);
  if (pSymbol == nullptr) return false;
  *pfn = reinterpret_cast<F>(pSymbol);
  return true;
}

// The library stays loaded for the life of the process, as a system
// library does; a library without every entry point counts as missing.
SSdLoginEntryPoints LoadSdLogin() {
  void* hLibrary = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (hLibrary == nullptr) {
    dlerror();
    return kAbsent;
  }
  SSdLoginEntryPoints entry{};
  const bool bComplete =
      Resolve(hLibrary, "sd_get_sessions", &entry.sd_get_sessions) &&
      Resolve(hLibrary, "sd_session_get_state", &entry.sd_session_get_state) &&
      Resolve(hLibrary, "sd_session_get_class", &entry.sd_session_get_class) &&
      Resolve(hLibrary, "sd_session_get_uid", &entry.sd_session_get_uid) &&
      Resolve(hLibrary, "sd_session_is_remote", &entry.sd_session_is_remote) &&
      Resolve(hLibrary, "sd_session_get_remote_host", &entry.sd_session_get_remote_host) &&
      Resolve(hLibrary, "sd_pid_get_session", &entry.sd_pid_get_session) &&
      Resolve(hLibrary, "sd_login_monitor_new", &entry.sd_login_monitor_new) &&
      Resolve(hLibrary, "sd_login_monitor_unref", &entry.sd_login_monitor_unref) &&
      Resolve(hLibrary, "sd_login_monitor_flush", &entry.sd_login_monitor_flush) &&
      Resolve(hLibrary, "sd_login_monitor_get_fd", &entry.sd_login_monitor_get_fd);
  if (!bComplete) {
    dlclose(hLibrary);
    return kAbsent;
  }
  return entry;
}

// ---------------------------------------------------------------------------
// Sessions as the layer reports them.

constexpr DWORD kFirstAssignedId = 0x40000000;

struct SSession {
  DWORD dwId = 0;
  WTS_CONNECTSTATE_CLASS state = WTSInit;
  bool bHasUser = false;
  uid_t uid = 0;
  bool bRemote = false;
  std::string logindId;
  std::string remoteHost;
};

// What an enumeration reported of a session, to report it once more when
// it has gone.
struct SListed {
  WTS_CONNECTSTATE_CLASS state;
  std::u16string winStationName;
};
using Listing = std::map<DWORD, SListed>;

// A waiter in WTSWaitSystemEvent, woken by a flush through its eventfd.
struct SWaiter {
  int fd = -1;
  bool bFlushed = false;  // under the source's lock
};

using SessionStateMap = std::map<DWORD, WTS_CONNECTSTATE_CLASS>;

// Process-wide state of the source, built on first use and never
// destroyed: threads may still wait or enumerate while static objects are
// destroyed at exit.
struct SSessionSource {
  std::mutex lock;
  std::map<std::string, DWORD> assignedIds;
  DWORD nextAssignedId = kFirstAssignedId;
  Listing lastListing;  // the last enumeration of any thread
  std::vector<SWaiter*> waiters;
  // The session states the last wait ended with: the next wait reports
  // what changed since, so nothing that happens between two waits is lost.
  std::optional<SessionStateMap> waitBaseline;
};

SSessionSource& Source() noexcept {
  static TNoDestructor<SSessionSource> object;
  return *object;
}

// The previous enumeration of this thread; a thread's first enumeration
// compares with the last one of any thread, so that a monitor thread that
// is restarted still learns of sessions that ended meanwhile.
thread_local std::optional<Listing> tPreviousListing;

class CFreeString {
 public:
  CFreeString() = default;
  ~CFreeString() { std::free(m_psz); }
  CFreeString(const CFreeString&) = delete;
  CFreeString& operator=(const CFreeString&) = delete;
  char** Receive() { return &m_psz; }
  const char* Get() const { return m_psz; }

 private:
  char* m_psz = nullptr;
};

// A numeric logind id below 0x40000000 other than 0 is the session id; any
// other id gets the next id from 0x40000000 on first sight.
DWORD SessionIdOf(const std::string& logindId) {
  if (!logindId.empty() && logindId.size() <= 10 && logindId[0] != '0' &&
      std::all_of(logindId.begin(), logindId.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const unsigned long long value = std::strtoull(logindId.c_str(), nullptr, 10);
    if (value < kFirstAssignedId) return static_cast<DWORD>(value);
  }
  SSessionSource& source = Source();
  std::lock_guard lock(source.lock);
  auto it = source.assignedIds.find(logindId);
  if (it != source.assignedIds.end()) return it->second;
  const DWORD id = source.nextAssignedId++;
  source.assignedIds.emplace(logindId, id);
  return id;
}

WTS_CONNECTSTATE_CLASS StateOf(const char* pszState) {
  if (std::strcmp(pszState, "active") == 0) return WTSActive;
  if (std::strcmp(pszState, "online") == 0) return WTSDisconnected;
  if (std::strcmp(pszState, "closing") == 0) return WTSDown;
  return WTSInit;
}

bool IsUserSession(const SSdLoginEntryPoints& api, const char* pszSession) {
  CFreeString clazz;
  return api.sd_session_get_class(pszSession, clazz.Receive()) >= 0 && clazz.Get() != nullptr &&
         std::strcmp(clazz.Get(), "user") == 0;
}

// False for a session that is not a terminal session, or that ended while
// it was being read.
bool ReadSession(const SSdLoginEntryPoints& api, const char* pszSession, SSession* pSession) {
  if (!IsUserSession(api, pszSession)) return false;
  CFreeString state;
  if (api.sd_session_get_state(pszSession, state.Receive()) < 0 || state.Get() == nullptr) {
    return false;
  }
  SSession session;
  session.logindId = pszSession;
  session.dwId = SessionIdOf(session.logindId);
  session.state = StateOf(state.Get());
  session.bHasUser = api.sd_session_get_uid(pszSession, &session.uid) >= 0;
  session.bRemote = api.sd_session_is_remote(pszSession) > 0;
  if (session.bRemote) {
    CFreeString host;
    if (api.sd_session_get_remote_host(pszSession, host.Receive()) >= 0 && host.Get() != nullptr) {
      session.remoteHost = host.Get();
    }
  }
  *pSession = std::move(session);
  return true;
}

// The session list of sd_get_sessions, released on every path (a failed
// allocation while the sessions are read included).
class CSessionNames {
 public:
  explicit CSessionNames(const SSdLoginEntryPoints& api) : m_count(api.sd_get_sessions(&m_ppsz)) {}
  ~CSessionNames() {
    if (m_ppsz == nullptr) return;
    for (int i = 0; i < m_count; ++i) std::free(m_ppsz[i]);
    std::free(m_ppsz);
  }
  CSessionNames(const CSessionNames&) = delete;
  CSessionNames& operator=(const CSessionNames&) = delete;
  int Count() const { return m_ppsz != nullptr ? m_count : 0; }
  const char* operator[](int i) const { return m_ppsz[i]; }

 private:
  char** m_ppsz = nullptr;
  int m_count;
};

// The terminal sessions now, in logind's order; empty when they cannot be
// read.
std::vector<SSession> CurrentSessions(const SSdLoginEntryPoints& api) {
  const CSessionNames names(api);
  std::vector<SSession> sessions;
  for (int i = 0; i < names.Count(); ++i) {
    SSession session;
    if (names[i] != nullptr && ReadSession(api, names[i], &session)) {
      sessions.push_back(std::move(session));
    }
  }
  return sessions;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    char32_t cp = extra == 0 ? lead : lead & (0x3F >> extra);
    bool bValid = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
    for (int k = 1; bValid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) bValid = false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if (!bValid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::u16string WinStationNameOf(const SSession& session) {
  if (!session.bRemote) return u"Console";
  return u"Remote#" + FromUtf8(session.logindId);
}

std::u16string UserNameOf(uid_t uid) {
  SUserEntry user;
  return FromUtf8(LookUpUser(uid, &user) ? user.name : std::to_string(uid));
}

std::u16string ComputerName() {
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD cch = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &cch) ? std::u16string(name, cch) : std::u16string();
}

// The session of the services (0): no user, never connected to a client.
SSession ServicesSession() {
  SSession session;
  session.dwId = 0;
  session.state = WTSDisconnected;
  return session;
}

// ERROR_SUCCESS with the session, or ERROR_CTX_WINSTATION_NOT_FOUND.
DWORD FindSession(const SSdLoginEntryPoints& api, DWORD dwId, SSession* pSession) {
  if (dwId == 0) {
    *pSession = ServicesSession();
    return ERROR_SUCCESS;
  }
  for (SSession& session : CurrentSessions(api)) {
    if (session.dwId == dwId) {
      *pSession = std::move(session);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_CTX_WINSTATION_NOT_FOUND;
}

// The session of a process (see <wtsapi32.h>); a Windows error code.
DWORD SessionOfProcess(const SSdLoginEntryPoints& api, DWORD pid, DWORD* pdwSessionId) {
  if (pid == 0 || pid > static_cast<DWORD>(INT_MAX)) return ERROR_INVALID_PARAMETER;
  SProcessIdentity identity;
  if (pid == CurrentProcessId()) {
    ReadCurrentProcessIdentity(kIdentityUser, &identity);
  } else {
    const DWORD error = ReadProcessIdentity(pid, &identity);
    if (error != ERROR_SUCCESS) return error;
  }
  CFreeString session;
  const int rc = api.sd_pid_get_session(static_cast<pid_t>(pid), session.Receive());
  if (rc == -ESRCH) return ERROR_INVALID_PARAMETER;  // the process ended meanwhile
  if (rc >= 0 && session.Get() != nullptr && IsUserSession(api, session.Get())) {
    *pdwSessionId = SessionIdOf(session.Get());
    return ERROR_SUCCESS;
  }
  if (identity.effectiveUid == 0) {
    *pdwSessionId = 0;
    return ERROR_SUCCESS;
  }
  return ERROR_NO_SUCH_LOGON_SESSION;
}

// The session-change events between two states of the sessions.
DWORD EventsBetween(const SessionStateMap& before, const SessionStateMap& after) {
  DWORD events = WTS_EVENT_NONE;
  for (const auto& [id, state] : after) {
    auto it = before.find(id);
    if (it == before.end()) {
      events |= WTS_EVENT_CREATE | WTS_EVENT_LOGON;
      if (state == WTSActive) events |= WTS_EVENT_CONNECT;
      continue;
    }
    if (it->second == state) continue;
    events |= WTS_EVENT_STATECHANGE;
    if (state == WTSActive) events |= WTS_EVENT_CONNECT;
    if (it->second == WTSActive) events |= WTS_EVENT_DISCONNECT;
  }
  for (const auto& entry : before) {
    if (after.count(entry.first) == 0) events |= WTS_EVENT_DELETE | WTS_EVENT_LOGOFF;
  }
  return events;
}

SessionStateMap SessionStates(const SSdLoginEntryPoints& api) {
  SessionStateMap states;
  for (const SSession& session : CurrentSessions(api)) states[session.dwId] = session.state;
  return states;
}

// A waiter registered for flushes for its lifetime.
class CRegisteredWaiter {
 public:
  CRegisteredWaiter() {
    m_waiter.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_waiter.fd < 0) return;
    SSessionSource& source = Source();
    std::lock_guard lock(source.lock);
    source.waiters.push_back(&m_waiter);
    m_bRegistered = true;
  }
  ~CRegisteredWaiter() {
    if (m_bRegistered) {
      SSessionSource& source = Source();
      std::lock_guard lock(source.lock);
      source.waiters.erase(std::find(source.waiters.begin(), source.waiters.end(), &m_waiter));
    }
    if (m_waiter.fd >= 0) close(m_waiter.fd);
  }
  CRegisteredWaiter(const CRegisteredWaiter&) = delete;
  CRegisteredWaiter& operator=(const CRegisteredWaiter&) = delete;

  bool IsRegistered() const { return m_bRegistered; }
  int Fd() const { return m_waiter.fd; }
  bool IsFlushed() const {
    std::lock_guard lock(Source().lock);
    return m_waiter.bFlushed;
  }

 private:
  SWaiter m_waiter;
  bool m_bRegistered = false;
};

// As on Windows, a flush reaches the waits in progress only: remembered for
// a later wait, it would end the first wait of a monitor started after the
// one it was meant for.
void FlushWaiters() {
  SSessionSource& source = Source();
  std::lock_guard lock(source.lock);
  for (SWaiter* pWaiter : source.waiters) {
    pWaiter->bFlushed = true;
    const uint64_t one = 1;
    ssize_t written;
    do {
      written = write(pWaiter->fd, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
  }
}

// logind's change notification; absent when logind cannot be watched.
class CLoginMonitor {
 public:
  explicit CLoginMonitor(const SSdLoginEntryPoints& api) : m_api(api) {
    if (m_api.sd_login_monitor_new("session", &m_pMonitor) < 0) m_pMonitor = nullptr;
    if (m_pMonitor != nullptr) m_fd = m_api.sd_login_monitor_get_fd(m_pMonitor);
  }
  ~CLoginMonitor() {
    if (m_pMonitor != nullptr) m_api.sd_login_monitor_unref(m_pMonitor);
  }
  CLoginMonitor(const CLoginMonitor&) = delete;
  CLoginMonitor& operator=(const CLoginMonitor&) = delete;

  int Fd() const { return m_fd; }
  void Flush() { m_api.sd_login_monitor_flush(m_pMonitor); }
  void Disable() { m_fd = -1; }

 private:
  const SSdLoginEntryPoints& m_api;
  sd_login_monitor* m_pMonitor = nullptr;
  int m_fd = -1;
};

// A block from malloc for the caller to release with WTSFreeMemory.
template <class T>
T* NewBuffer(size_t cb) {
  return static_cast<T*>(std::malloc(cb != 0 ? cb : 1));
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace
}  // namespace kelmyr::winapi

using namespace kelmyr::winapi;

TSeam<SSdLoginEntryPoints>& SdLoginSeam() noexcept {
  static SSdLoginEntryPoints real = LoadSdLogin();
  static TSeam<SSdLoginEntryPoints> seam(real);
  return seam;
}

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  if (pSessionId == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  try {
    DWORD dwSessionId = 0;
    const DWORD error = SessionOfProcess(SdLoginSeam().Get(), dwProcessId, &dwSessionId);
    if (error != ERROR_SUCCESS) return Fail(error);
    *pSessionId = dwSessionId;
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI WTSEnumerateSessionsW(HANDLE hServer, DWORD Reserved, DWORD Version,
                                  PWTS_SESSION_INFOW* ppSessionInfo, DWORD* pCount) {
  if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
  if (Reserved != 0 || Version != 1 || ppSessionInfo == nullptr || pCount == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  try {
    const std::vector<SSession> sessions = CurrentSessions(SdLoginSeam().Get());
    Listing now;
    for (const SSession& session : sessions) {
      now[session.dwId] = SListed{session.state, WinStationNameOf(session)};
    }
    // The sessions listed before and gone now are listed once more, ended.
    std::vector<std::pair<DWORD, SListed>> entries;
    for (const SSession& session : sessions) entries.emplace_back(session.dwId, now[session.dwId]);
    {
      SSessionSource& source = Source();
      std::lock_guard lock(source.lock);
      const Listing& previous = tPreviousListing ? *tPreviousListing : source.lastListing;
      for (const auto& [id, listed] : previous) {
        if (now.count(id) == 0 && listed.state != WTSDown) {
          entries.emplace_back(id, SListed{WTSDown, listed.winStationName});
        }
      }
      source.lastListing = now;
    }
    tPreviousListing = std::move(now);

    size_t cb = entries.size() * sizeof(WTS_SESSION_INFOW);
    for (const auto& entry : entries)
      cb += (entry.second.winStationName.size() + 1) * sizeof(WCHAR);
    auto* pInfo = NewBuffer<WTS_SESSION_INFOW>(cb);
    if (pInfo == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    auto* pText = reinterpret_cast<WCHAR*>(pInfo + entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const std::u16string& name = entries[i].second.winStationName;
      pInfo[i].SessionId = entries[i].first;
      pInfo[i].State = entries[i].second.state;
      pInfo[i].pWinStationName = pText;
      name.copy(pText, name.size());
      pText[name.size()] = u'\0';
      pText += name.size() + 1;
    }
    *ppSessionInfo = pInfo;
    *pCount = static_cast<DWORD>(entries.size());
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

// Strings are returned with their terminator, counted in *pBytesReturned;
// numbers with their Windows width (USHORT for the protocol type and the
// product id, DWORD for the others).
BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId,
                                        WTS_INFO_CLASS WTSInfoClass, LPWSTR* ppBuffer,
                                        DWORD* pBytesReturned) {
  if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
  if (ppBuffer == nullptr || pBytesReturned == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  try {
    const SSdLoginEntryPoints& api = SdLoginSeam().Get();
    DWORD dwId = SessionId;
    if (SessionId == WTS_CURRENT_SESSION) {
      const DWORD error = SessionOfProcess(api, CurrentProcessId(), &dwId);
      if (error != ERROR_SUCCESS) return Fail(error);
    }
    SSession session;
    const DWORD error = FindSession(api, dwId, &session);
    if (error != ERROR_SUCCESS) return Fail(error);

    std::u16string text;
    DWORD number = 0;
    size_t cbNumber = 0;
    switch (WTSInfoClass) {
      case WTSInitialProgram:
      case WTSApplicationName:
      case WTSWorkingDirectory:
      case WTSOEMId:
      case WTSClientDirectory:
        break;
      case WTSUserName:
        if (session.bHasUser) text = UserNameOf(session.uid);
        break;
      case WTSDomainName:
        if (session.bHasUser) text = ComputerName();
        break;
      case WTSWinStationName:
        text = session.dwId == 0 ? u"Services" : WinStationNameOf(session);
        break;
      case WTSClientName:
        text = FromUtf8(session.remoteHost);
        break;
      case WTSSessionId:
        number = session.dwId;
        cbNumber = sizeof(DWORD);
        break;
      case WTSConnectState:
        number = static_cast<DWORD>(session.state);
        cbNumber = sizeof(DWORD);
        break;
      case WTSClientBuildNumber:
      case WTSClientHardwareId:
        cbNumber = sizeof(DWORD);
        break;
      case WTSClientProductId:
        cbNumber = sizeof(USHORT);
        break;
      case WTSClientProtocolType:
        number = session.bRemote ? WTS_PROTOCOL_TYPE_RDP : WTS_PROTOCOL_TYPE_CONSOLE;
        cbNumber = sizeof(USHORT);
        break;
      default:
        return Fail(ERROR_NOT_SUPPORTED);
    }
    if (cbNumber != 0) {
      auto* pBuffer = NewBuffer<BYTE>(cbNumber);
      if (pBuffer == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
      if (cbNumber == sizeof(USHORT)) {
        const auto value = static_cast<USHORT>(number);
        std::memcpy(pBuffer, &value, sizeof value);
      } else {
        std::memcpy(pBuffer, &number, sizeof number);
      }
      *ppBuffer = reinterpret_cast<LPWSTR>(pBuffer);
      *pBytesReturned = static_cast<DWORD>(cbNumber);
      return TRUE;
    }
    const size_t cb = (text.size() + 1) * sizeof(WCHAR);
    auto* pszText = NewBuffer<WCHAR>(cb);
    if (pszText == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    text.copy(pszText, text.size());
    pszText[text.size()] = u'\0';
    *ppBuffer = pszText;
    *pBytesReturned = static_cast<DWORD>(cb);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

// Waits until a session event of the mask happens and answers the events
// of the mask that did, counting from where the previous wait of the
// process ended. WTS_EVENT_FLUSH in the mask wakes every pending wait of
// the process (they answer WTS_EVENT_NONE) and returns at once; with no
// wait pending, the next wait answers the flush at once.
BOOL WINAPI WTSWaitSystemEvent(HANDLE hServer, DWORD EventMask, DWORD* pEventFlags) {
  if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
  if (pEventFlags == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if ((EventMask & WTS_EVENT_FLUSH) != 0) {
    FlushWaiters();
    *pEventFlags = WTS_EVENT_NONE;
    return TRUE;
  }
  try {
    CRegisteredWaiter waiter;
    if (!waiter.IsRegistered()) return Fail(ERROR_NO_SYSTEM_RESOURCES);
    const SSdLoginEntryPoints& api = SdLoginSeam().Get();
    CLoginMonitor monitor(api);
    // The monitor watches before the sessions are read, so no change is
    // missed between the two.
    std::optional<SessionStateMap> baseline;
    {
      SSessionSource& source = Source();
      std::lock_guard lock(source.lock);
      baseline = source.waitBaseline;
    }
    // The first pass compares with the baseline; a first wait has none.
    bool bCompare = baseline.has_value();
    SessionStateMap states = bCompare ? std::move(*baseline) : SessionStates(api);
    // The baseline for the next wait is what this one has seen last.
    struct SKeepBaseline {
      SessionStateMap& states;
      ~SKeepBaseline() {
        SSessionSource& source = Source();
        std::lock_guard lock(source.lock);
        source.waitBaseline = std::move(states);
      }
    } keep{states};
    for (;;) {
      if (waiter.IsFlushed()) {
        *pEventFlags = WTS_EVENT_NONE;
        return TRUE;
      }
      if (bCompare) {
        SessionStateMap now = SessionStates(api);
        const DWORD events = EventsBetween(states, now) & EventMask;
        states.swap(now);
        if (events != WTS_EVENT_NONE) {
          *pEventFlags = events;
          return TRUE;
        }
      }
      pollfd fds[2] = {{waiter.Fd(), POLLIN, 0}, {monitor.Fd(), POLLIN, 0}};
      const nfds_t count = monitor.Fd() >= 0 ? 2 : 1;
      bCompare = false;
      if (poll(fds, count, -1) < 0) {
        if (errno == EINTR) continue;
        return Fail(ERROR_NO_SYSTEM_RESOURCES);
      }
      if (count < 2 || fds[1].revents == 0) continue;
      if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        // logind can no longer be watched; only a flush ends the wait now.
        monitor.Disable();
        continue;
      }
      monitor.Flush();
      bCompare = true;
    }
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
  if (phToken == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  try {
    if (!CurrentProcessPrivileges()->IsEnabled(PrivilegeLuidOf(SE_TCB_NAME))) {
      return Fail(ERROR_PRIVILEGE_NOT_HELD);
    }
    SSession session;
    const DWORD error = FindSession(SdLoginSeam().Get(), SessionId, &session);
    if (error != ERROR_SUCCESS) return Fail(error);
    if (!session.bHasUser) return Fail(ERROR_NO_TOKEN);
    HANDLE hToken = NewAccountToken(session.uid);
    if (hToken == nullptr) return FALSE;
    *phToken = hToken;
    return TRUE;
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

void WINAPI WTSFreeMemory(PVOID pMemory) { std::free(pMemory); }
