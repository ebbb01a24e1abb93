// The session monitor on scripted Terminal Services and a scripted clock:
// pass by pass, the thread's events, Start and Stop, and what Stop
// guarantees. Natively and under Wine, also Start and Stop on the real
// Terminal Services.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "sessions/scripted_terminal_services.h"
#include "sessions/sessionmonitor.h"
#include "sessions/terminalservices.h"

#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace {

using SSession = CScriptedTerminalServices::SSession;
using ECall = CScriptedTerminalServices::ECall;
constexpr DWORD kDown = WTSDown, kActive = WTSActive, kConnected = WTSConnected;

// Records the notifications; a call can be made to block until released.
class CRecordingSubscriber final : public ISessionSubscriber {
 public:
  void NotifyFlush(DWORD s) override { Record("flush " + std::to_string(s)); }
  void NotifyAvailability(DWORD s, BOOL b) override {
    Record("avail " + std::to_string(s) + " " + std::to_string(b));
  }
  void NotifyMove(DWORD s, DWORD t) override {
    Record("move " + std::to_string(s) + " " + std::to_string(t));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(m_lock);
    return std::exchange(calls, {});
  }
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> calls;
  bool bBlock = false, bBlocked = false;

 private:
  void Record(std::string call) {
    std::unique_lock lock(m_lock);
    calls.push_back(std::move(call));
    bBlocked = bBlock;
    m_changed.notify_all();
    m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return !bBlock; });
  }
};

struct CRig {
  CRig() { machine.ProvideModule(OLESTR("Wtsapi32.dll"), ts.Exports()); }
  // Runs one pass on these sessions (the first at Start) and answers its calls.
  std::vector<std::string> Pass(std::vector<SSession> sessions) {
    ts.SetSessions(std::move(sessions));
    if (!monitor) {
      monitor.emplace();
      monitor->SetSubscriber(&subscriber);
      monitor->Start();
    } else {
      ts.Inject(WTS_EVENT_STATECHANGE);
    }
    EXPECT_TRUE(ts.AwaitIdle());
    return subscriber.Take();
  }
  bool Logged(LONG lLevel, const std::u16string& text) const {
    return log.Contains(lLevel, OleString(text.begin(), text.end()));
  }
  CScriptedMachine machine;
  CRecordingLogSink log;
  CScriptedTerminalServices ts;
  CRecordingSubscriber subscriber;
  std::optional<CSessionMonitor> monitor;
};

bool AwaitThreadsEnded() {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SessionMonitorThreadsAlive() != 0) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::yield();
  }
  return true;
}

std::u16string ComputerName() {
  WCHAR sz[16] = {};
  DWORD c = 16;
  EXPECT_TRUE(GetComputerNameW(sz, &c));
  return std::u16string(sz, sz + c);
}

struct SPass {
  SPass(std::vector<SSession> s, std::vector<std::string> c, std::u16string l = {},
        std::optional<ECall> f = {}, WTS_INFO_CLASS e = WTSInitialProgram)
      : sessions(std::move(s)),
        calls(std::move(c)),
        logged(std::move(l)),
        fail(f),
        eFailedClass(e) {}
  std::vector<SSession> sessions;
  std::vector<std::string> calls;
  std::u16string logged;  // a level-1 or level-2 line of the pass, if any
  std::optional<ECall> fail;
  WTS_INFO_CLASS eFailedClass;
};

TEST(SessionMonitor, PassByPass) {
  const std::u16string pc = ComputerName();
  const SSession console1{1, kActive, WTS_PROTOCOL_TYPE_CONSOLE, OLESTR("A")};
  const SSession console2{2, kActive, WTS_PROTOCOL_TYPE_CONSOLE, OLESTR("B")};
  const struct {
    const char* name;
    std::vector<SPass> passes;
  } kCases[] = {
      {"up sessions are not flushed; connected ones are available on every pass",
       {{{{1, kActive, 2, OLESTR("PC")}, {2, kConnected}, {3, WTSConnectQuery}},
         {"avail 2 1", "avail 3 1"},
         u"UpdateSessions: UpdateSessionClient SessionId = 1 wsSessionClient = PC"},
        {{{1, kActive}, {2, kConnected}, {3, WTSConnectQuery}}, {"avail 2 1", "avail 3 1"}}}},
      {"a down session moves to the one other session of its client, then is forgotten",
       {{{{1, kActive, 2, OLESTR("PC")}, {2, kActive, 2, OLESTR("PC")}}, {}},
        {{{1, kDown}, {2, kActive}}, {"move 1 2", "flush 1", "avail 1 0"}},
        {{{1, kDown}, {2, kActive}}, {"flush 1", "avail 1 0"}}}},
      {"a session that vanished without going down is kept",
       {{{{3, kActive, 2, OLESTR("PC")}, {4, kActive, 2, OLESTR("PC")}}, {}},
        {{{4, kActive}}, {}},
        {{{3, kDown}, {4, kActive}}, {"move 3 4", "flush 3", "avail 3 0"}}}},
      {"a state outside the table is neither logged nor kept: ended on every pass",
       {{{{7, 10}},
         {"flush 7", "avail 7 0"},
         u"UpdateSessions: Session 0x7 state changed from WTSDown to UnknownState."},
        {{{7, 10}}, {"flush 7", "avail 7 0"}}}},
      {"sessions 0 and 65536 are never the other session",
       {{{{0, kActive, 2, OLESTR("PC")},
          {65536, kActive, 2, OLESTR("PC")},
          {8, kActive, 2, OLESTR("PC")}},
         {}},
        {{{8, kDown}},
         {"flush 8", "avail 8 0"},
         u"CSessionMonitor::GetOtherSessionId nbSessionIdFound = 0 != 1 => cannot get other "
         u"session id"}}},
      {"two other sessions of the client: no move",
       {{{{9, kActive, 2, OLESTR("PC")},
          {10, kActive, 2, OLESTR("PC")},
          {11, kActive, 2, OLESTR("PC")}},
         {}},
        {{{9, kDown}, {10, kActive}, {11, kActive}},
         {"flush 9", "avail 9 0"},
         u"CSessionMonitor::GetOtherSessionId nbSessionIdFound = 2 != 1 => cannot get other "
         u"session id"}}},
      {"console sessions are named after the computer",
       {{{console1, console2},
         {},
         u"UpdateSessions: UpdateSessionClient SessionId = 2 wsSessionClient = " + pc},
        {{{1, kDown}, console2}, {"move 1 2", "flush 1", "avail 1 0"}}}},
      {"an unknown client keeps an empty name and never moves",
       {{{{12, kActive, 2, OLESTR("PC")}, {13, kActive, 2, OLESTR("PC")}},
         {},
         u"UpdateSessions: UpdateSessionClient SessionId = 12 wsSessionClient = ",
         ECall::Query,
         WTSClientName},
        {{{12, kDown}, {13, kActive}}, {"flush 12", "avail 12 0"}}}},
      {"a failed enumeration skips the pass",
       {{{{5, kConnected}}, {"avail 5 1"}},
        {{{5, kDown}},
         {},
         u"UpdateSessions: WTSEnumerateSessions failed with error code 0x6ba",
         ECall::Enumerate},
        {{{5, kDown}}, {"flush 5", "avail 5 0"}}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CRig rig;
    for (size_t i = 0; i < c.passes.size(); ++i) {
      SCOPED_TRACE(i);
      const SPass& pass = c.passes[i];
      if (pass.fail) rig.ts.FailNext(*pass.fail, RPC_S_SERVER_UNAVAILABLE, pass.eFailedClass);
      rig.log.Clear();
      EXPECT_EQ(rig.Pass(pass.sessions), pass.calls);
      EXPECT_EQ(rig.ts.Outstanding(), 0u);
      if (!pass.logged.empty()) {
        EXPECT_TRUE(rig.Logged(LOG_NOTABLE, pass.logged) || rig.Logged(LOG_FAILURE, pass.logged))
            << rig.log.Dump();
      }
    }
  }
}

// Each wake-up of the thread: what it logs, whether it runs a pass, whether
// it ends.
TEST(SessionMonitor, Events) {
  const std::u16string kPrefix = u"SessionMonitoringThread: ";
  const struct {
    const char* name;
    std::optional<DWORD> flags;  // else the wait fails with dwError
    DWORD dwError;
    unsigned passes;
    bool bEnds;
    std::vector<std::u16string> lines;  // in this order
  } kCases[] = {
      {"combined flags, logged in their order",
       WTS_EVENT_STATECHANGE | WTS_EVENT_CREATE | WTS_EVENT_RENAME | WTS_EVENT_LICENSE,
       0,
       1,
       false,
       {u"the Terminal Services's license state changed (wEventFlag = WTS_EVENT_LICENSE)",
        u"an existing WinStation was renamed (wEventFlag = WTS_EVENT_RENAME)",
        u"a new WinStation was created (wEventFlag = WTS_EVENT_CREATE)",
        u"a WinStation connection state changed (wEventFlag = WTS_EVENT_STATECHANGE)"}},
      {"delete", WTS_EVENT_DELETE, 0, 1, false, {}},
      {"connect, disconnect, logon, logoff",
       WTS_EVENT_CONNECT | WTS_EVENT_DISCONNECT | WTS_EVENT_LOGON | WTS_EVENT_LOGOFF,
       0,
       0,
       false,
       {u"a client connected to a WinStation (wEventFlag = WTS_EVENT_CONNECT)",
        u"a client disconnected from a WinStation (wEventFlag = WTS_EVENT_DISCONNECT)",
        u"a user logged on to the system from either the Terminal Services console or from a "
        u"client WinStation (wEventFlag = WTS_EVENT_LOGON)",
        u"a user logged off from either the Terminal Services console or from a client "
        u"WinStation (wEventFlag = WTS_EVENT_LOGOFF)"}},
      {"no flags",
       WTS_EVENT_NONE,
       0,
       0,
       true,
       {u"exiting from monitoring thread (wEventFlag = WTS_EVENT_NONE)"}},
      {"aborted",
       std::nullopt,
       ERROR_OPERATION_ABORTED,
       0,
       true,
       {u"WTSWaitSystemEvent(WTS_EVENT_ALL) failed with error code 0x3e3",
        u"exiting from monitoring thread (GetLastError returned ERROR_OPERATION_ABORTED)"}},
      {"other failure: retried after the pause, no pass",
       std::nullopt,
       ERROR_ACCESS_DENIED,
       0,
       false,
       {u"WTSWaitSystemEvent(WTS_EVENT_ALL) failed with error code 0x5"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CRig rig;
    rig.Pass({{1, kConnected}});
    rig.log.Clear();
    if (c.flags) {
      rig.ts.Inject(*c.flags);
    } else {
      rig.ts.InjectError(c.dwError);
    }
    if (c.bEnds) {
      EXPECT_TRUE(AwaitThreadsEnded());
    } else if (!c.flags) {
      // The pause runs on the clock: nothing before 500 ms, a new wait after.
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
      rig.machine.Advance(499);
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
      EXPECT_FALSE(rig.Logged(LOG_NOTABLE, kPrefix + u"calling WTSWaitSystemEvent to monitor "
                                                     u"sessions."));
      rig.machine.Advance(1);
    }
    if (!c.bEnds) {
      EXPECT_TRUE(rig.ts.AwaitIdle());
    }
    EXPECT_EQ(rig.ts.Enumerations(), 1 + c.passes);
    EXPECT_EQ(rig.subscriber.Take().size(), c.passes);
    auto lines = rig.log.Lines();
    auto it = lines.begin();
    for (const std::u16string& line : c.lines) {
      const OleString text(kPrefix.begin(), kPrefix.end());
      it = std::find_if(it, lines.end(), [&](const auto& l) {
        return l.text == text + OleString(line.begin(), line.end());
      });
      EXPECT_NE(it, lines.end()) << ToUtf8(OleString(line.begin(), line.end()));
    }
    EXPECT_EQ(SessionMonitorThreadsAlive(), c.bEnds ? 0 : 1);
  }
}

// Start and Stop, the entry points and the module's references.
TEST(SessionMonitor, StartAndStop) {
  const char* kExports[] = {"WTSQuerySessionInformationW", "WTSWaitSystemEvent",
                            "WTSQueryUserToken", "WTSFreeMemory", "WTSEnumerateSessionsW"};
  const char16_t* kMissing[] = {u"WTSQuerySessionInformationA", u"WTSWaitSystemEvent",
                                u"WTSQueryUserToken", u"WTSFreeMemory", u"WTSEnumerateSessions"};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(kExports[i]);
    CRig rig;
    auto exports = rig.ts.Exports();
    exports.erase(kExports[i]);
    rig.machine.ProvideModule(OLESTR("Wtsapi32.dll"), exports);
    rig.monitor.emplace();
    rig.monitor->Start();
    EXPECT_TRUE(rig.Logged(LOG_FAILURE, u"CSessionMonitor::Start: GetProcAddress(" +
                                            std::u16string(kMissing[i]) +
                                            u") failed with error code 0x7f"));
    const STerminalServicesEntryPoints& shared = CTerminalServicesModule::EntryPoints();
    EXPECT_TRUE(shared.pWTSQuerySessionInformation == nullptr &&
                shared.pWTSWaitSystemEvent == nullptr && shared.pWTSFreeMemory == nullptr);
    EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
    EXPECT_EQ(rig.machine.LoadedModules(), 1u);  // kept after the failure
    rig.monitor.reset();
    EXPECT_EQ(rig.machine.LoadedModules(), 0u);
    EXPECT_TRUE(rig.Logged(LOG_NOTABLE,
                           u"CSessionMonitor::Stop: SessionMonitoringThread is "
                           u"already stopped."));
  }
  {
    SCOPED_TRACE("a missing module");
    CRig rig;
    rig.machine.WithholdModule(OLESTR("Wtsapi32.dll"));
    CSessionMonitor monitor;
    monitor.Start();
    EXPECT_TRUE(rig.Logged(LOG_FAILURE,
                           u"CSessionMonitor::Start: LoadLibrary(Wtsapi32.dll) "
                           u"failed with error code 0x7e"));
  }
  {
    // A flush wakes every wait of the process, so the first Stop may end
    // the second thread too.
    SCOPED_TRACE("two monitors share the module; Start twice starts one thread");
    CRig rig;
    rig.Pass({{1, kConnected}});
    rig.monitor->Start();
    EXPECT_TRUE(rig.Logged(LOG_NOTABLE,
                           u"CSessionMonitor::Start: SessionMonitoringThread is "
                           u"already started."));
    std::optional<CSessionMonitor> second(std::in_place);
    second->Start();
    EXPECT_EQ(SessionMonitorThreadsAlive(), 2);
    rig.monitor.reset();
    EXPECT_EQ(rig.machine.LoadedModules(), 1u);
    second.reset();
    EXPECT_EQ(rig.machine.LoadedModules(), 0u);
    EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
  }
}

// No notification starts after Stop returns, however the thread was reached.
TEST(SessionMonitor, StopGuarantee) {
  const std::u16string kTimedOut =
      u"CSessionMonitor::Stop: waiting for SessionMonitoringThread to complete, timed out";
  const struct {
    const char* name;
    bool bFailFlush, bIgnoreFlush, bBlockSubscriber, bInPause;
  } kCases[] = {
      {"lost flush, thread blocked in a notification", false, true, true, false},
      {"failed flush, thread waiting for events", true, false, false, false},
      {"lost flush, thread in the retry pause", false, true, false, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CRig rig;
    rig.Pass({{1, kConnected}, {2, kConnected}});
    rig.ts.bIgnoreFlush = c.bIgnoreFlush;
    if (c.bFailFlush) rig.ts.FailNext(ECall::Flush, ERROR_INVALID_HANDLE);
    if (c.bInPause) {
      rig.ts.InjectError(ERROR_ACCESS_DENIED);
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
    }
    if (c.bBlockSubscriber) {
      std::unique_lock lock(rig.subscriber.m_lock);
      rig.subscriber.bBlock = true;
      rig.ts.Inject(WTS_EVENT_STATECHANGE);
      ASSERT_TRUE(rig.subscriber.m_changed.wait_for(lock, std::chrono::seconds(10),
                                                    [&] { return rig.subscriber.bBlocked; }));
    }
    bool bInCallAtStop = true;
    auto stopped = std::async(std::launch::async, [&] {
      rig.monitor->Stop();
      std::lock_guard lock(rig.subscriber.m_lock);
      bInCallAtStop = rig.subscriber.bBlock;
    });
    if (!c.bInPause) {
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));  // Stop's 5000 ms
      rig.machine.Advance(5000);
    }
    if (c.bBlockSubscriber) {
      // Released once Stop has given up waiting for the thread.
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!rig.Logged(LOG_FAILURE, kTimedOut) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
      }
      std::lock_guard lock(rig.subscriber.m_lock);
      rig.subscriber.bBlock = false;
      rig.subscriber.m_changed.notify_all();
    }
    stopped.get();
    // Stop waited for the notification in progress; the pass sent no other.
    EXPECT_FALSE(bInCallAtStop);
    EXPECT_EQ(rig.subscriber.Take(), c.bBlockSubscriber ? std::vector<std::string>{"avail 1 1"}
                                                        : std::vector<std::string>{});
    rig.ts.Inject(WTS_EVENT_STATECHANGE);  // wakes a thread left in the wait
    EXPECT_TRUE(AwaitThreadsEnded());
    EXPECT_EQ(rig.subscriber.Take(), std::vector<std::string>{});
    EXPECT_EQ(rig.ts.Enumerations(), c.bBlockSubscriber ? 2u : 1u);
    EXPECT_TRUE(rig.Logged(c.bInPause ? LOG_NOTABLE : LOG_FAILURE,
                           c.bInPause ? u"CSessionMonitor::Stop: SessionMonitoringThread "
                                        u"completed succesfully"
                                      : kTimedOut))
        << rig.log.Dump();
  }
}

// The real Terminal Services of the build (under Wine a stub whose wait
// fails at once, so the thread spins on its retry pause): Stop ends the
// thread quickly and leaves none behind.
TEST(SessionMonitor, RealStartAndStop) {
  CRecordingLogSink log;
#ifdef _WIN32
  auto threads = [] {
    std::set<DWORD> ids;
    HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e{sizeof(e)};
    for (BOOL b = Thread32First(h, &e); b; b = Thread32Next(h, &e)) {
      if (e.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(e.th32ThreadID);
    }
    CloseHandle(h);
    return ids;
  };
  const std::set<DWORD> before = threads();
#endif
  const auto start = std::chrono::steady_clock::now();
  CSessionMonitor monitor;
  monitor.Start();
#ifdef _WIN32
  std::vector<HANDLE> started;
  for (DWORD id : threads()) {
    if (!before.count(id)) started.push_back(OpenThread(SYNCHRONIZE, FALSE, id));
  }
  ASSERT_EQ(started.size(), 1u);
#endif
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
#ifdef _WIN32
  EXPECT_EQ(WaitForSingleObject(started[0], 0), WAIT_OBJECT_0);
  CloseHandle(started[0]);
#endif
  EXPECT_TRUE(log.Contains(LOG_NOTABLE, OLESTR("CSessionMonitor::Stop: SessionMonitoringThread "
                                               "completed succesfully")))
      << log.Dump();
}

}  // namespace
