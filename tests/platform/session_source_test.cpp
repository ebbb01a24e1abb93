// The terminal sessions of the Linux layer: the mapping of logind's login
// sessions (ids, states, classes, sessions that vanish, client names, the
// session of a process, session events) on a scripted sd-login table
// installed through the session source's seam; and the real source on this
// machine, where logind does not run.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wtsapi32.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/session_source.h"
#include "platform/win32_helpers.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

// The sessions and processes the scripted logind knows, in enumeration
// order.
struct SScriptedSession {
  // A remote session has a remote host.
  SScriptedSession(const char* pszId, const char* pszState = "active",
                   const char* pszClass = "user", uid_t uidUser = 0,
                   const char* pszRemoteHost = nullptr)
      : id(pszId),
        state(pszState),
        clazz(pszClass),
        uid(uidUser),
        bRemote(pszRemoteHost != nullptr),
        remoteHost(pszRemoteHost != nullptr ? pszRemoteHost : "") {}

  std::string id;
  std::string state;
  std::string clazz;
  uid_t uid;
  bool bRemote;
  std::string remoteHost;
};

struct SScriptedLogind {
  std::mutex lock;
  std::vector<SScriptedSession> sessions;
  std::map<pid_t, std::string> processSessions;
  int monitorFd = -1;
  // Completed reads of the whole table: an enumeration of an empty table,
  // or the read of the last session's remote flag, the last thing the
  // layer reads of a local session.
  std::atomic<int> passes{0};
};

SScriptedLogind gLogind;

const SScriptedSession* FindScripted(const char* pszId) {
  for (const SScriptedSession& session : gLogind.sessions) {
    if (session.id == pszId) return &session;
  }
  return nullptr;
}

int CopyString(const std::string& text, char** ppsz) {
  *ppsz = strdup(text.c_str());
  return *ppsz != nullptr ? 0 : -ENOMEM;
}

int ScriptedGetSessions(char*** pppszSessions) {
  std::lock_guard lock(gLogind.lock);
  if (gLogind.sessions.empty()) ++gLogind.passes;
  auto** ppsz = static_cast<char**>(std::calloc(gLogind.sessions.size() + 1, sizeof(char*)));
  for (size_t i = 0; i < gLogind.sessions.size(); ++i)
    ppsz[i] = strdup(gLogind.sessions[i].id.c_str());
  *pppszSessions = ppsz;
  return static_cast<int>(gLogind.sessions.size());
}

int ScriptedState(const char* pszSession, char** ppsz) {
  std::lock_guard lock(gLogind.lock);
  const SScriptedSession* pSession = FindScripted(pszSession);
  return pSession != nullptr ? CopyString(pSession->state, ppsz) : -ENXIO;
}

int ScriptedClass(const char* pszSession, char** ppsz) {
  std::lock_guard lock(gLogind.lock);
  const SScriptedSession* pSession = FindScripted(pszSession);
  return pSession != nullptr ? CopyString(pSession->clazz, ppsz) : -ENXIO;
}

int ScriptedUid(const char* pszSession, uid_t* pUid) {
  std::lock_guard lock(gLogind.lock);
  const SScriptedSession* pSession = FindScripted(pszSession);
  if (pSession == nullptr) return -ENXIO;
  *pUid = pSession->uid;
  return 0;
}

int ScriptedIsRemote(const char* pszSession) {
  std::lock_guard lock(gLogind.lock);
  const SScriptedSession* pSession = FindScripted(pszSession);
  if (pSession != nullptr && pSession == &gLogind.sessions.back()) ++gLogind.passes;
  return pSession != nullptr ? (pSession->bRemote ? 1 : 0) : -ENXIO;
}

int ScriptedRemoteHost(const char* pszSession, char** ppsz) {
  std::lock_guard lock(gLogind.lock);
  const SScriptedSession* pSession = FindScripted(pszSession);
  if (pSession == nullptr) return -ENXIO;
  if (pSession->remoteHost.empty()) return -ENODATA;
  return CopyString(pSession->remoteHost, ppsz);
}

int ScriptedPidSession(pid_t pid, char** ppsz) {
  std::lock_guard lock(gLogind.lock);
  auto it = gLogind.processSessions.find(pid);
  return it != gLogind.processSessions.end() ? CopyString(it->second, ppsz) : -ENODATA;
}

// The monitor is the eventfd the test signals after changing the table.
sd_login_monitor* const kMonitor = reinterpret_cast<sd_login_monitor*>(0x5D);
int ScriptedMonitorNew(const char*, sd_login_monitor** ppMonitor) {
  *ppMonitor = kMonitor;
  return 0;
}
sd_login_monitor* ScriptedMonitorUnref(sd_login_monitor*) { return nullptr; }
int ScriptedMonitorFlush(sd_login_monitor*) {
  uint64_t value = 0;
  return read(gLogind.monitorFd, &value, sizeof value) < 0 && errno != EAGAIN ? -errno : 0;
}
int ScriptedMonitorFd(sd_login_monitor*) { return gLogind.monitorFd; }

const SSdLoginEntryPoints kScriptedEntryPoints = {
    ScriptedGetSessions,  ScriptedState,        ScriptedClass,      ScriptedUid,
    ScriptedIsRemote,     ScriptedRemoteHost,   ScriptedPidSession, ScriptedMonitorNew,
    ScriptedMonitorUnref, ScriptedMonitorFlush, ScriptedMonitorFd,
};

struct SListed {
  DWORD dwId;
  WTS_CONNECTSTATE_CLASS state;
  OleString name;
};

std::vector<SListed> Enumerate() {
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0;
  std::vector<SListed> listed;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count)) {
    ADD_FAILURE() << GetLastError();
    return listed;
  }
  for (DWORD i = 0; i < count; ++i) {
    listed.push_back({pInfo[i].SessionId, pInfo[i].State, pInfo[i].pWinStationName});
  }
  WTSFreeMemory(pInfo);
  return listed;
}

OleString QueryText(DWORD dwSessionId, WTS_INFO_CLASS eClass) {
  LPWSTR psz = nullptr;
  DWORD cb = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwSessionId, eClass, &psz, &cb)) {
    return OLESTR("(failed)");
  }
  OleString text(psz);
  WTSFreeMemory(psz);
  return text;
}

DWORD QueryNumber(DWORD dwSessionId, WTS_INFO_CLASS eClass) {
  LPWSTR p = nullptr;
  DWORD cb = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwSessionId, eClass, &p, &cb)) {
    return 0xFFFFFFFF;
  }
  DWORD value = 0;
  std::memcpy(&value, p, cb < sizeof value ? cb : sizeof value);
  WTSFreeMemory(p);
  return value;
}

// The scripted logind in place of the real one, for the test's lifetime.
class SessionSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gLogind.monitorFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(gLogind.monitorFd, 0);
    m_pPrevious = SdLoginSeam().Install(const_cast<SSdLoginEntryPoints*>(&kScriptedEntryPoints));
  }
  void TearDown() override {
    // The sessions end and are seen ending, so that no later enumeration
    // of this process reports them.
    Script([](SScriptedLogind& l) {
      l.sessions.clear();
      l.processSessions.clear();
    });
    Enumerate();
    SdLoginSeam().Install(m_pPrevious);
    close(gLogind.monitorFd);
  }

  template <class F>
  void Script(F change) {
    std::lock_guard lock(gLogind.lock);
    change(gLogind);
  }

  // Tells the waiters that logind's sessions changed.
  void Notify() {
    const uint64_t one = 1;
    ASSERT_EQ(write(gLogind.monitorFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }

 private:
  SSdLoginEntryPoints* m_pPrevious = nullptr;
};

TEST_F(SessionSourceTest, IdsOfTheSessions) {
  Script([](SScriptedLogind& l) {
    l.sessions = {{"3"}, {"c1"}, {"c2"}, {"0"}, {"1073741824"}, {"007"}};
  });
  const std::vector<SListed> first = Enumerate();
  ASSERT_EQ(first.size(), 6u);
  EXPECT_EQ(first[0].dwId, 3u) << "a numeric id is the session id";
  std::vector<DWORD> assigned;
  for (size_t i = 1; i < first.size(); ++i) {
    EXPECT_GE(first[i].dwId, 0x40000000u) << i << ": not a numeric id below 0x40000000";
    for (DWORD other : assigned) EXPECT_NE(first[i].dwId, other);
    assigned.push_back(first[i].dwId);
  }
  const std::vector<SListed> second = Enumerate();
  ASSERT_EQ(second.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(second[i].dwId, first[i].dwId) << "ids are stable";
  }
}

TEST_F(SessionSourceTest, StatesAndClasses) {
  Script([](SScriptedLogind& l) {
    l.sessions = {{"1", "active"},
                  {"2", "online"},
                  {"3", "closing"},
                  {"4", "opening"},
                  {"5", "lingering"},
                  {"6", "active", "greeter"},
                  {"7", "active", "background"},
                  {"8", "online", "lock-screen"}};
  });
  const std::vector<SListed> listed = Enumerate();
  ASSERT_EQ(listed.size(), 5u) << "only sessions of class user";
  const WTS_CONNECTSTATE_CLASS expected[] = {WTSActive, WTSDisconnected, WTSDown, WTSInit, WTSInit};
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].dwId, i + 1);
    EXPECT_EQ(listed[i].state, expected[i]) << listed[i].dwId;
    EXPECT_EQ(QueryNumber(listed[i].dwId, WTSConnectState), static_cast<DWORD>(expected[i]));
  }
  EXPECT_EQ(QueryNumber(6, WTSConnectState), 0xFFFFFFFF) << "a greeter is no terminal session";
}

// A session that disappears is reported once more, ended; one that was
// already reported ended is not.
TEST_F(SessionSourceTest, VanishedSessionsAreReportedEndedOnce) {
  Script([](SScriptedLogind& l) {
    l.sessions = {{"5"}, {"6", "closing"}, {"7", "online", "user", 0, "far"}};
  });
  ASSERT_EQ(Enumerate().size(), 3u);
  Script([](SScriptedLogind& l) { l.sessions = {{"5"}}; });

  const std::vector<SListed> after = Enumerate();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].dwId, 5u);
  EXPECT_EQ(after[1].dwId, 7u);
  EXPECT_EQ(after[1].state, WTSDown);
  EXPECT_EQ(after[1].name, OleString(OLESTR("Remote#7"))) << "under the name it had";
  EXPECT_EQ(Enumerate().size(), 1u) << "reported once";
}

// Each thread that follows the sessions learns of the end, the first
// enumeration of a new thread included.
TEST_F(SessionSourceTest, EveryFollowingThreadLearnsOfTheEnd) {
  Script([](SScriptedLogind& l) { l.sessions = {{"9"}}; });
  ASSERT_EQ(Enumerate().size(), 1u);
  Script([](SScriptedLogind& l) { l.sessions.clear(); });
  std::vector<SListed> seenByOther;
  std::thread other([&seenByOther] { seenByOther = Enumerate(); });
  other.join();
  ASSERT_EQ(seenByOther.size(), 1u);
  EXPECT_EQ(seenByOther[0].state, WTSDown);
  const std::vector<SListed> seenHere = Enumerate();
  ASSERT_EQ(seenHere.size(), 1u);
  EXPECT_EQ(seenHere[0].state, WTSDown);
}

TEST_F(SessionSourceTest, ClientNamesAndProtocols) {
  Script([](SScriptedLogind& l) {
    l.sessions = {{"11", "active", "user", 0}, {"12", "active", "user", 0, "client7.example"}};
  });
  const std::vector<SListed> listed = Enumerate();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].name, OleString(OLESTR("Console")));
  EXPECT_EQ(listed[1].name, OleString(OLESTR("Remote#12")));

  EXPECT_EQ(QueryNumber(11, WTSClientProtocolType), DWORD{WTS_PROTOCOL_TYPE_CONSOLE});
  EXPECT_EQ(QueryText(11, WTSClientName), OleString());
  EXPECT_EQ(QueryNumber(12, WTSClientProtocolType), DWORD{WTS_PROTOCOL_TYPE_RDP});
  EXPECT_EQ(QueryText(12, WTSClientName), OleString(OLESTR("client7.example")));
  EXPECT_EQ(QueryText(12, WTSUserName), OleString(OLESTR("root")));
  EXPECT_EQ(QueryNumber(12, WTSSessionId), 12u);
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD cch = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &cch));
  EXPECT_EQ(QueryText(12, WTSDomainName), OleString(computer));

  EXPECT_EQ(QueryText(0, WTSWinStationName), OleString(OLESTR("Services")));
  EXPECT_EQ(QueryText(0, WTSUserName), OleString());
  LPWSTR p = nullptr;
  DWORD cb = 0;
  EXPECT_EQ(
      FAILURE_OF(WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, 13, WTSUserName, &p, &cb)),
      DWORD{ERROR_CTX_WINSTATION_NOT_FOUND});
}

// The session a process resolves to is the one the enumeration lists.
TEST_F(SessionSourceTest, SessionOfAProcess) {
  const pid_t self = getpid();
  Script([self](SScriptedLogind& l) {
    l.sessions = {{"c7"}, {"8", "active", "background"}};
    l.processSessions[self] = "c7";
  });
  DWORD dwSessionId = 0;
  ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(self), &dwSessionId));
  const std::vector<SListed> listed = Enumerate();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(dwSessionId, listed[0].dwId);
  EXPECT_EQ(QueryNumber(WTS_CURRENT_SESSION, WTSSessionId), dwSessionId);

  // A session that is no terminal session counts as none: root is then in
  // the services' session.
  Script([self](SScriptedLogind& l) { l.processSessions[self] = "8"; });
  if (geteuid() == 0) {
    ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(self), &dwSessionId));
    EXPECT_EQ(dwSessionId, 0u);
  }
}

TEST_F(SessionSourceTest, ProcessesOutsideEverySession) {
  if (geteuid() != 0) GTEST_SKIP() << "making an unprivileged process needs root";
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    const char status = setgid(65534) == 0 && setuid(65534) == 0 ? 'R' : 'E';
    if (write(ready[1], &status, 1) != 1) _exit(1);
    char c;
    while (read(release[0], &c, 1) < 0) {
    }
    _exit(0);
  }
  ASSERT_GT(child, 0);
  char status = 0;
  ASSERT_EQ(read(ready[0], &status, 1), 1);
  ASSERT_EQ(status, 'R');
  close(ready[0]);
  close(ready[1]);

  DWORD dwSessionId = 0;
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(static_cast<DWORD>(child), &dwSessionId)),
            DWORD{ERROR_NO_SUCH_LOGON_SESSION})
      << "not root, in no session";

  Script([child](SScriptedLogind& l) {
    l.sessions = {{"5"}};
    l.processSessions[child] = "5";
  });
  EXPECT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(child), &dwSessionId));
  EXPECT_EQ(dwSessionId, 5u);

  close(release[1]);
  close(release[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(static_cast<DWORD>(child), &dwSessionId)),
            DWORD{ERROR_INVALID_PARAMETER})
      << "the process has exited";
}

struct SWait {
  DWORD dwMask;
  BOOL bResult = FALSE;
  DWORD dwFlags = 0xFFFF;
};

DWORD WINAPI WaitForEvents(LPVOID p) {
  auto* pWait = static_cast<SWait*>(p);
  pWait->bResult = WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, pWait->dwMask, &pWait->dwFlags);
  return 0;
}

// Starts a waiter and returns once it has read all the sessions it
// compares with.
HANDLE StartWaiter(SWait* pWait) {
  const int before = gLogind.passes.load();
  HANDLE hThread = StartThread(WaitForEvents, pWait);
  while (gLogind.passes.load() == before) std::this_thread::yield();
  return hThread;
}

TEST_F(SessionSourceTest, EventsOfLogindsChanges) {
  struct SChange {
    const char* pszCase;
    std::vector<SScriptedSession> sessions;
    DWORD dwExpected;
  };
  const SChange changes[] = {
      {"logon", {{"21", "active"}}, WTS_EVENT_CREATE | WTS_EVENT_LOGON | WTS_EVENT_CONNECT},
      {"to the background", {{"21", "online"}}, WTS_EVENT_STATECHANGE | WTS_EVENT_DISCONNECT},
      {"to the foreground", {{"21", "active"}}, WTS_EVENT_STATECHANGE | WTS_EVENT_CONNECT},
      {"logoff", {}, WTS_EVENT_DELETE | WTS_EVENT_LOGOFF},
  };
  for (const SChange& change : changes) {
    SCOPED_TRACE(change.pszCase);
    SWait wait{0xFB};
    CScopedHandle waiter(StartWaiter(&wait));
    ASSERT_NE(waiter.Get(), nullptr);
    Script([&change](SScriptedLogind& l) { l.sessions = change.sessions; });
    Notify();
    EXPECT_EQ(WaitForSingleObject(waiter.Get(), INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(wait.bResult);
    EXPECT_EQ(wait.dwFlags, change.dwExpected);
  }
}

// A change outside the mask does not end the wait; a flush does.
TEST_F(SessionSourceTest, EventsOutsideTheMaskAreNotReported) {
  SWait wait{WTS_EVENT_DELETE};
  CScopedHandle waiter(StartWaiter(&wait));
  ASSERT_NE(waiter.Get(), nullptr);
  const int before = gLogind.passes.load();
  Script([](SScriptedLogind& l) { l.sessions = {{"31"}}; });
  Notify();
  while (gLogind.passes.load() == before) std::this_thread::yield();
  EXPECT_EQ(WaitForSingleObject(waiter.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  Script([](SScriptedLogind& l) { l.sessions.clear(); });
  Notify();
  EXPECT_EQ(WaitForSingleObject(waiter.Get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(wait.bResult);
  EXPECT_EQ(wait.dwFlags, DWORD{WTS_EVENT_DELETE});
}

TEST_F(SessionSourceTest, FlushWakesEveryWaiter) {
  SWait first{0xFB};
  SWait second{0xFB};
  CScopedHandle waiter1(StartWaiter(&first));
  CScopedHandle waiter2(StartWaiter(&second));
  DWORD dwFlags = 0xFFFF;
  ASSERT_TRUE(WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwFlags));
  EXPECT_EQ(dwFlags, DWORD{WTS_EVENT_NONE});
  const HANDLE waiters[] = {waiter1.Get(), waiter2.Get()};
  EXPECT_EQ(WaitForMultipleObjects(2, waiters, TRUE, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(first.bResult);
  EXPECT_EQ(first.dwFlags, DWORD{WTS_EVENT_NONE});
  EXPECT_TRUE(second.bResult);
  EXPECT_EQ(second.dwFlags, DWORD{WTS_EVENT_NONE});
}

TEST_F(SessionSourceTest, UserTokenOfASession) {
  Script([](SScriptedLogind& l) { l.sessions = {{"41", "active", "user", 65534}}; });
  HANDLE hToken = nullptr;
  if (!WTSQueryUserToken(41, &hToken)) {
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PRIVILEGE_NOT_HELD}) << "only without SeTcbPrivilege";
    return;
  }
  CScopedHandle token(hToken);
  DWORD cb = 0;
  GetTokenInformation(hToken, TokenUser, nullptr, 0, &cb);
  std::vector<BYTE> user(cb);
  ASSERT_TRUE(GetTokenInformation(hToken, TokenUser, user.data(), cb, &cb));
  PSID pSid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  EXPECT_EQ(*GetSidSubAuthority(pSid, *GetSidSubAuthorityCount(pSid) - 1), 1000u + 2 * 65534);
  EXPECT_EQ(FAILURE_OF(WTSQueryUserToken(0, &hToken)), DWORD{ERROR_NO_TOKEN});
  EXPECT_EQ(FAILURE_OF(WTSQueryUserToken(42, &hToken)), DWORD{ERROR_CTX_WINSTATION_NOT_FOUND});
}

// This machine runs no logind: no sessions, root processes in session 0,
// and the wait ends on the flush.
TEST(RealSessionSourceTest, NoLogindOnThisMachine) {
  EXPECT_TRUE(Enumerate().empty());
  DWORD dwSessionId = 0xFFFF;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &dwSessionId));
  if (geteuid() == 0) {
    EXPECT_EQ(dwSessionId, 0u);
  }

  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(static_cast<DWORD>(child), &dwSessionId)),
            DWORD{ERROR_INVALID_PARAMETER});
}

TEST(RealSessionSourceTest, FlushEndsTheWaitAtOnce) {
  SWait wait{0xFB};
  CScopedHandle waiter(StartThread(WaitForEvents, &wait));
  ASSERT_NE(waiter.Get(), nullptr);
  // The waiter may not wait yet when a flush comes: flush until it ends.
  while (WaitForSingleObject(waiter.Get(), 20) == WAIT_TIMEOUT) {
    DWORD dwFlags = 0xFFFF;
    ASSERT_TRUE(WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwFlags));
  }
  EXPECT_TRUE(wait.bResult);
  EXPECT_EQ(wait.dwFlags, DWORD{WTS_EVENT_NONE});
}

}  // namespace
