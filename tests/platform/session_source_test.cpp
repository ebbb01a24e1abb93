// The terminal sessions of the Linux layer: the mapping of logind's login
// sessions (ids, states, classes, sessions that vanish, client names, the
// session of a process, session events) on a scripted sd-login table
// installed through the session source's seam; and the real source on this
// machine, where logind does not run (the session calls' conformance
// suite covers it).

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wtsapi32.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/session_source.h"
#include "platform/win32_helpers.h"

namespace {

using namespace std::chrono_literals;
using OleString = std::basic_string<OLECHAR>;

// A session of the scripted logind; a remote one has a remote host.
struct SScripted {
  std::string id;
  std::string state = "active";
  std::string clazz = "user";
  uid_t uid = 0;
  std::string remoteHost = "";
};

struct SScriptedLogind {
  std::mutex lock;
  std::vector<SScripted> sessions;  // in enumeration order
  std::map<pid_t, std::string> processSessions;
  int monitorFd = -1;
  // Completed reads of the whole table: an enumeration of an empty table,
  // or the read of the last session's remote flag, the last thing the
  // layer reads of a local session.
  std::atomic<int> passes{0};
};

SScriptedLogind gLogind;

// Answers with what F reads of the named session, or -ENXIO.
template <class F>
int WithSession(const char* pszSession, F read) {
  std::lock_guard lock(gLogind.lock);
  for (const SScripted& session : gLogind.sessions) {
    if (session.id == pszSession) return read(session);
  }
  return -ENXIO;
}

int CopyString(const std::string& text, char** ppsz) {
  *ppsz = strdup(text.c_str());
  return *ppsz != nullptr ? 0 : -ENOMEM;
}

template <std::string SScripted::*Text>
int ScriptedText(const char* s, char** ppsz) {
  return WithSession(s, [ppsz](const SScripted& x) { return CopyString(x.*Text, ppsz); });
}

// The monitor is the eventfd the test signals after changing the table.
const SSdLoginEntryPoints kScriptedEntryPoints = {
    [](char*** pppsz) {
      std::lock_guard lock(gLogind.lock);
      if (gLogind.sessions.empty()) ++gLogind.passes;
      auto** ppsz = static_cast<char**>(std::calloc(gLogind.sessions.size() + 1, sizeof(char*)));
      for (size_t i = 0; i < gLogind.sessions.size(); ++i)
        ppsz[i] = strdup(gLogind.sessions[i].id.c_str());
      *pppsz = ppsz;
      return static_cast<int>(gLogind.sessions.size());
    },
    ScriptedText<&SScripted::state>,
    ScriptedText<&SScripted::clazz>,
    [](const char* s, uid_t* pUid) {
      return WithSession(s, [pUid](const SScripted& x) { return *pUid = x.uid, 0; });
    },
    [](const char* s) {
      return WithSession(s, [](const SScripted& x) {
        if (&x == &gLogind.sessions.back()) ++gLogind.passes;
        return x.remoteHost.empty() ? 0 : 1;
      });
    },
    [](const char* s, char** ppsz) {
      return WithSession(s, [ppsz](const SScripted& x) {
        return x.remoteHost.empty() ? -ENODATA : CopyString(x.remoteHost, ppsz);
      });
    },
    [](pid_t pid, char** ppsz) {
      std::lock_guard lock(gLogind.lock);
      auto it = gLogind.processSessions.find(pid);
      return it != gLogind.processSessions.end() ? CopyString(it->second, ppsz) : -ENODATA;
    },
    [](const char*, sd_login_monitor** pp) {
      return *pp = reinterpret_cast<sd_login_monitor*>(1), 0;
    },
    [](sd_login_monitor*) -> sd_login_monitor* { return nullptr; },
    [](sd_login_monitor*) {
      uint64_t value = 0;
      return read(gLogind.monitorFd, &value, sizeof value) < 0 && errno != EAGAIN ? -errno : 0;
    },
    [](sd_login_monitor*) { return gLogind.monitorFd; }};

struct SListed {
  DWORD dwId;
  WTS_CONNECTSTATE_CLASS state;
};

std::vector<SListed> Enumerate() {
  PWTS_SESSION_INFOW pInfo = nullptr;
  DWORD count = 0;
  std::vector<SListed> listed;
  EXPECT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &pInfo, &count))
      << GetLastError();
  for (DWORD i = 0; i < count; ++i) listed.push_back({pInfo[i].SessionId, pInfo[i].State});
  WTSFreeMemory(pInfo);
  return listed;
}

OleString Number(DWORD value) { return OleString(1, static_cast<OLECHAR>(value)); }
OleString Failed(DWORD dwError) { return OLESTR("!") + Number(dwError); }

// The answer of a query as text, as a number of its width, or Failed().
OleString Query(DWORD dwSessionId, WTS_INFO_CLASS eClass, bool bNumber = false) {
  LPWSTR p = nullptr;
  DWORD cb = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwSessionId, eClass, &p, &cb)) {
    return Failed(GetLastError());
  }
  DWORD value = 0;
  std::memcpy(&value, p, cb < sizeof value ? cb : sizeof value);
  OleString text = bNumber ? Number(value) : OleString(p);
  WTSFreeMemory(p);
  return text;
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
    Script({});
    gLogind.processSessions.clear();
    Enumerate();
    SdLoginSeam().Install(m_pPrevious);
    close(gLogind.monitorFd);
  }

  static void Script(std::vector<SScripted> sessions) {
    std::lock_guard lock(gLogind.lock);
    gLogind.sessions = std::move(sessions);
  }

 private:
  SSdLoginEntryPoints* m_pPrevious = nullptr;
};

// A numeric logind id is the session id; every other id gets its own
// stable id from 0x40000000 on. Only sessions of class user are listed and
// answer queries; a remote one answers with its client.
TEST_F(SessionSourceTest, IdsStatesClassesAndQueries) {
  // clang-format off
  Script({{"3"}, {"c1", "online"}, {"c2", "closing"}, {"0", "opening"},
          {"1073741824", "lingering"}, {"6", "active", "greeter"},
          {"7", "active", "background"}, {"8", "online", "lock-screen"},
          {"12", "active", "user", 0, "client7.example"}});
  // clang-format on
  const std::vector<SListed> first = Enumerate(), second = Enumerate();
  // {the id, 0 for one assigned; the state}
  const SListed expected[] = {{3, WTSActive}, {0, WTSDisconnected}, {0, WTSDown},
                              {0, WTSInit},   {0, WTSInit},         {12, WTSActive}};
  ASSERT_EQ(first.size(), std::size(expected));
  ASSERT_EQ(second.size(), first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(first[i].state, expected[i].state) << i;
    EXPECT_EQ(second[i].dwId, first[i].dwId) << "stable";
    EXPECT_TRUE(expected[i].dwId ? first[i].dwId == expected[i].dwId : first[i].dwId >= 0x40000000u)
        << i;
    for (size_t k = 0; k < i; ++k) EXPECT_NE(first[i].dwId, first[k].dwId);
  }
  WCHAR computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD cch = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &cch));
  // {session, class, answered as a number, answer}
  const std::tuple<DWORD, WTS_INFO_CLASS, bool, OleString> rows[] = {
      {3, WTSClientProtocolType, true, Number(WTS_PROTOCOL_TYPE_CONSOLE)},
      {3, WTSClientName, false, OLESTR("")},
      {12, WTSClientProtocolType, true, Number(WTS_PROTOCOL_TYPE_RDP)},
      {12, WTSClientName, false, OLESTR("client7.example")},
      {12, WTSUserName, false, OLESTR("root")},
      {12, WTSSessionId, true, Number(12)},
      {12, WTSDomainName, false, computer},
      {13, WTSUserName, false, Failed(ERROR_CTX_WINSTATION_NOT_FOUND)},
      {6, WTSSessionId, true, Failed(ERROR_CTX_WINSTATION_NOT_FOUND)},  // a greeter
  };
  for (const auto& [dwId, eClass, bNumber, answer] : rows)
    EXPECT_EQ(Query(dwId, eClass, bNumber), answer) << dwId << " " << eClass;
}

// A session that disappears is reported once more, ended, to every thread
// that follows the sessions (a new thread's first enumeration included);
// one already reported ended is not.
TEST_F(SessionSourceTest, VanishedSessionsAreReportedEndedOnce) {
  Script({{"5"}, {"6", "closing"}, {"7", "online", "user", 0, "far"}});
  ASSERT_EQ(Enumerate().size(), 3u);
  Script({{"5"}});
  std::vector<SListed> seenByOther;
  std::thread([&seenByOther] { seenByOther = Enumerate(); }).join();
  for (const std::vector<SListed>& after : {Enumerate(), seenByOther}) {
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].dwId, 5u);
    EXPECT_EQ(after[1].dwId, 7u);
    EXPECT_EQ(after[1].state, WTSDown);
  }
  EXPECT_EQ(Enumerate().size(), 1u) << "reported once";
}

// The session a process resolves to is the one the enumeration lists; a
// session that is no terminal session counts as none (root is then in the
// services' session); a process of another user outside every session is
// in none.
TEST_F(SessionSourceTest, SessionOfAProcess) {
  const pid_t self = getpid();
  Script({{"c7"}, {"8", "active", "background"}});
  gLogind.processSessions[self] = "c7";
  DWORD dwSessionId = 0;
  ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(self), &dwSessionId));
  const std::vector<SListed> listed = Enumerate();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(dwSessionId, listed[0].dwId);
  EXPECT_EQ(Query(WTS_CURRENT_SESSION, WTSSessionId, true), Number(dwSessionId));
  gLogind.processSessions[self] = "8";
  if (geteuid() != 0) GTEST_SKIP() << "making an unprivileged process needs root";
  ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(self), &dwSessionId));
  EXPECT_EQ(dwSessionId, 0u);

  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) == 0 && setuid(65534) == 0) raise(SIGSTOP);
    _exit(1);
  }
  int status = 0;
  ASSERT_TRUE(child > 0 && waitpid(child, &status, WUNTRACED) == child && WIFSTOPPED(status));
  EXPECT_EQ(FAILURE_OF(ProcessIdToSessionId(static_cast<DWORD>(child), &dwSessionId)),
            DWORD{ERROR_NO_SUCH_LOGON_SESSION});
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

using Answer = std::pair<BOOL, DWORD>;
using Waiter = std::future<Answer>;

// A flush answers at once, with no event.
void Flush() {
  DWORD dwFlags = 0xFFFF;
  EXPECT_TRUE(WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, WTS_EVENT_FLUSH, &dwFlags));
  EXPECT_EQ(dwFlags, DWORD{WTS_EVENT_NONE});
}

// Starts a wait and returns once it has read all the sessions it compares
// with (or has ended).
Waiter StartWaiter() {
  const int before = gLogind.passes.load();
  Waiter waiter = std::async(std::launch::async, [] {
    DWORD dwFlags = 0xFFFF;
    const BOOL bResult = WTSWaitSystemEvent(WTS_CURRENT_SERVER_HANDLE, 0xFB, &dwFlags);
    return Answer(bResult, dwFlags);
  });
  while (gLogind.passes.load() == before && waiter.wait_for(0s) == std::future_status::timeout)
    std::this_thread::yield();
  return waiter;
}

// The wait's answer; one that hangs is flushed out (a deadlock guard, not a
// time-out the test relies on) and answers {FALSE, 0}.
Answer AnswerOf(Waiter& waiter) {
  if (waiter.wait_for(10s) == std::future_status::ready) return waiter.get();
  while (waiter.wait_for(10ms) != std::future_status::ready) Flush();
  return {FALSE, 0};
}

// Each change is reported to a wait in progress, and as well to the next
// wait, at once, when it happens while no wait is pending. A flush wakes every
// pending wait; one with none pending is not kept for a later wait, which
// reports the next change instead.
TEST_F(SessionSourceTest, EventsOfLogindsChanges) {
  enum EWhen { kDuringWait, kBetweenWaits, kFlushDuringWaits, kFlushBeforeWait };
  const DWORD kLogon = WTS_EVENT_CREATE | WTS_EVENT_LOGON | WTS_EVENT_CONNECT;
  // {case, when, the sessions after the change, the events}
  // clang-format off
  const std::tuple<const char*, EWhen, std::vector<SScripted>, DWORD> changes[] = {
      {"logon", kDuringWait, {{"21"}}, kLogon},
      {"to the background", kDuringWait, {{"21", "online"}},
       WTS_EVENT_STATECHANGE | WTS_EVENT_DISCONNECT},
      {"to the foreground", kDuringWait, {{"21"}}, WTS_EVENT_STATECHANGE | WTS_EVENT_CONNECT},
      {"logoff between waits", kBetweenWaits, {}, WTS_EVENT_DELETE | WTS_EVENT_LOGOFF},
      {"flush of two waits", kFlushDuringWaits, {}, WTS_EVENT_NONE},
      {"flush before a wait", kFlushBeforeWait, {{"31"}}, kLogon}};
  // clang-format on
  for (const auto& [pszCase, when, sessions, dwExpected] : changes) {
    SCOPED_TRACE(pszCase);
    if (when == kBetweenWaits) Script(sessions);
    if (when == kFlushBeforeWait) Flush();
    std::vector<Waiter> waiters;
    waiters.push_back(StartWaiter());
    if (when == kFlushDuringWaits) {
      waiters.push_back(StartWaiter());
      Flush();
    }
    if (when == kDuringWait || when == kFlushBeforeWait) {
      Script(sessions);
      const uint64_t one = 1;  // tells the waiters that logind's sessions changed
      ASSERT_EQ(write(gLogind.monitorFd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    for (Waiter& waiter : waiters) EXPECT_EQ(AnswerOf(waiter), Answer(TRUE, dwExpected));
  }
}

}  // namespace
