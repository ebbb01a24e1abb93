// The session monitor on scripted Terminal Services and a scripted clock,
// and on the real Terminal Services of each build (under Wine, stubs).
#include <windows.h>

#include <gtest/gtest.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "sessions/scripted_terminal_services.h"
#include "sessions/sessionmonitor.h"
#include "sessions/terminalservices.h"

#ifdef _WIN32
#include <tlhelp32.h>
#endif

namespace {

// Whether f() holds within ten seconds (a deadlock guard).
template <class F>
bool Eventually(F f) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!f() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  return f();
}
bool ThreadsEnded() { return SessionMonitorThreadsAlive() == 0; }

using TS = CScriptedTerminalServices;

// A monitor on a scripted machine with scripted Terminal Services, with the
// rig as its subscriber: the notifications are recorded as "flush 5, avail
// 5 0"; while bBlock is set, a call waits for the test.
struct CRig final : ISessionSubscriber {
  // Without the named entry point.
  explicit CRig(const std::string& missing = "") {
    auto exports = ts.Exports();
    exports.erase(missing);
    machine.ProvideModule(OLESTR("Wtsapi32.dll"), exports);
  }
  void Start() {
    monitor = std::make_unique<CSessionMonitor>();
    monitor->SetSubscriber(this);
    monitor->Start();
  }
  // One pass over these sessions (the first at Start); its notifications.
  // "1a=PC 2c 3q 4d 5x 6a@A": id, state (a active, c connected, q connect
  // query, d down, x 10), then "=client" for a remote session or "@client"
  // for a console one.
  std::string Pass(const std::string& text) {
    std::vector<TS::SSession> sessions;
    std::istringstream in(text);
    for (std::string t; in >> t;) {
      size_t n = 0;
      const DWORD dwId = std::stoul(t, &n);
      const bool bConsole = t.size() > n + 1 && t[n + 1] == '@';
      sessions.push_back({dwId, DWORD(std::string("acq.....d.x").find(t[n])),
                          USHORT(bConsole ? WTS_PROTOCOL_TYPE_CONSOLE : WTS_PROTOCOL_TYPE_RDP),
                          OleString(t.begin() + std::min(t.size(), n + 2), t.end())});
    }
    ts.SetSessions(sessions);
    monitor ? ts.Inject(WTS_EVENT_STATECHANGE) : Start();
    EXPECT_TRUE(ts.AwaitIdle());
    return Take();
  }
  std::string Take() {
    std::lock_guard lock(m_lock);
    return std::exchange(m_calls, {});
  }
  // Whether the log holds these texts ("a|b|c"), in this order.
  bool Logged(const std::string& texts) const {
    const std::string dump = log.Dump();
    std::istringstream in(texts);
    size_t at = 0;
    for (std::string t; std::getline(in, t, '|'); at += t.size()) {
      if ((at = dump.find(t, at)) == std::string::npos) return false;
    }
    return true;
  }
  void NotifyFlush(DWORD s) override { Record("flush", s); }
  void NotifyAvailability(DWORD s, BOOL b) override { Record("avail", s, b); }
  void NotifyMove(DWORD s, DWORD t) override { Record("move", s, t); }
  template <class... T>
  void Record(const char* name, T... values) {
    {
      std::lock_guard lock(m_lock);
      m_calls += (m_calls.empty() ? "" : ", ") + std::string(name);
      ((m_calls += " " + std::to_string(values)), ...);
    }
    bInCall = bBlock.load();
    Eventually([&] { return !bBlock; });
    bInCall = false;
  }

  CScriptedMachine machine;
  CRecordingLogSink log;
  TS ts;
  std::atomic<bool> bBlock{false}, bInCall{false};
  std::mutex m_lock;
  std::string m_calls;
  std::unique_ptr<CSessionMonitor> monitor;  // on the heap, where a use after destruction shows
};

TEST(SessionMonitor, PassByPass) {
  const struct SPass {
    const char* sessions;
    const char* calls;
    std::string logged = {};
    DWORD dwFailEnumerate = 0;
  } kUp{"1a=PC 2c 3q", "avail 2 1, avail 3 1", "SessionId = 1 wsSessionClient = PC"};
  const struct {
    const char* name;
    std::vector<SPass> passes;
  } kCases[] = {
      {"up sessions: no flush; connected ones available on every pass",
       {kUp, {"1a 2c 3q", kUp.calls}}},
      {"consoles share the computer's name; a vanished session is kept; a down "
       "one moves, ends "
       "and is forgotten, then ends again",
       {{"1a@A 2a@B", ""},
        {"2a@B", ""},
        {"1d 2a@B", "move 1 2, flush 1, avail 1 0"},
        {"1d 2a@B", "flush 1, avail 1 0"}}},
      {"a state outside the table is not kept: the session ends on every pass",
       {{"7x", "flush 7, avail 7 0", "Session 0x7 state changed from WTSDown to UnknownState."},
        {"7x", "flush 7, avail 7 0"}}},
      {"no move to sessions 0 and 65536, nor to one of two others",
       {{"0a=P 12a=P 65536a=Q 8a=Q 9a=X 10a=X 11a=X", ""},
        {"12d 8d 9d 10a 11a", "flush 12, avail 12 0, flush 8, avail 8 0, flush 9, avail 9 0",
         "nbSessionIdFound = 2 != 1 => cannot get other session id"}}},
      {"a failed enumeration skips the pass",
       {{"5c", "avail 5 1"},
        {"5d", "", "WTSEnumerateSessions failed with error code 0x6ba", RPC_S_SERVER_UNAVAILABLE},
        {"5d", "flush 5, avail 5 0"}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CRig rig;
    for (const SPass& pass : c.passes) {
      rig.ts.dwFailEnumerate = pass.dwFailEnumerate;
      rig.log.Clear();
      EXPECT_EQ(rig.Pass(pass.sessions), pass.calls);
      EXPECT_TRUE(pass.logged.empty() || rig.Logged(pass.logged)) << rig.log.Dump();
    }
  }
}

// A Start with an entry point missing, which starts nothing; or one wake-up
// of the thread (its lines, whether it makes a pass, whether the thread ends)
// and a second Start, which starts no thread. Then Stop, which unloads the
// module and, with no thread, only logs.
TEST(SessionMonitor, StartAndWakeUp) {
  const struct {
    std::string missing;
    DWORD dwValue;  // the flags, or the error of a failed wait
    BOOL bOk;
    bool bPass;
    std::string lines;
  } kCases[] = {
      {"", WTS_EVENT_STATECHANGE | WTS_EVENT_CREATE | WTS_EVENT_RENAME | WTS_EVENT_LICENSE, TRUE,
       true, "_LICENSE)|_RENAME)|_CREATE)|_STATECHANGE)"},
      {"", WTS_EVENT_DELETE, TRUE, true, "deleted (wEventFlag = WTS_EVENT_DELETE)"},
      {"", WTS_EVENT_CONNECT | WTS_EVENT_DISCONNECT | WTS_EVENT_LOGON | WTS_EVENT_LOGOFF, TRUE,
       false, "_CONNECT)|_DISCONNECT)|_LOGON)|_LOGOFF)"},
      {"", WTS_EVENT_NONE, TRUE, false,
       "exiting from monitoring thread (wEventFlag = WTS_EVENT_NONE)"},
      {"", ERROR_OPERATION_ABORTED, FALSE, false,
       "code 0x3e3|(GetLastError returned ERROR_OPERATION_ABORTED)"},
      {"", ERROR_ACCESS_DENIED, FALSE, false, "failed with error code 0x5|to monitor sessions."},
      {"WTSQuerySessionInformationW", 0, 0, 0, "(WTSQuerySessionInformationA)"},
      {"WTSWaitSystemEvent", 0, 0, 0, "(WTSWaitSystemEvent)"},
      {"WTSQueryUserToken", 0, 0, 0, "(WTSQueryUserToken)"},
      {"WTSFreeMemory", 0, 0, 0, "(WTSFreeMemory)"},
      {"WTSEnumerateSessionsW", 0, 0, 0, "(WTSEnumerateSessions)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lines);
    const bool bMissing = !c.missing.empty();
    const bool bEnds = c.dwValue == WTS_EVENT_NONE || c.dwValue == ERROR_OPERATION_ABORTED;
    CRig rig(c.missing);
    if (bMissing) {
      rig.Start();
      EXPECT_TRUE(rig.Logged("GetProcAddress" + c.lines + " failed with error code 0x7f"));
      EXPECT_EQ(CTerminalServicesModule::EntryPoints().pWTSQuerySessionInformation, nullptr);
    } else {
      rig.Pass("1c");
      rig.log.Clear();
      rig.ts.Inject(c.dwValue, c.bOk);
      // The retry pause runs on the clock: no new wait before 500 ms.
      for (ULONGLONG ms : {499, 1}) {
        if (c.bOk || bEnds) break;
        ASSERT_TRUE(rig.machine.AwaitWaiters(1));
        EXPECT_FALSE(rig.Logged("to monitor sessions."));
        rig.machine.Advance(ms);
      }
      EXPECT_TRUE(bEnds ? Eventually(ThreadsEnded) : rig.ts.AwaitIdle());
      EXPECT_EQ(rig.Take(), c.bPass ? "avail 1 1" : "");
      EXPECT_TRUE(rig.Logged(c.lines)) << rig.log.Dump();
      rig.monitor->Start();
      EXPECT_TRUE(rig.Logged("SessionMonitoringThread is already started."));
    }
    EXPECT_EQ(SessionMonitorThreadsAlive(), bEnds || bMissing ? 0 : 1);
    rig.monitor.reset();
    EXPECT_EQ(rig.machine.LoadedModules(), 0u);
    EXPECT_TRUE(!bMissing || rig.Logged("CSessionMonitor::Stop: SessionMonitoringThread is "
                                        "already stopped."));
  }
}

// No notification happens after Stop returns, however the thread is reached.
TEST(SessionMonitor, StopGuarantee) {
  const struct {
    const char* name;
    DWORD dwFailFlush;
    bool bIgnoreFlush, bBlocked;
    ULONGLONG
    advance;  // how long Stop waits; 0: the thread is in its retry pause
  } kCases[] = {
      {"lost flushes, thread blocked in a notification", 0, true, true, 5000},
      {"failed and lost flushes, thread waiting for events", ERROR_INVALID_HANDLE, true, false,
       5000},
      {"failed flush, sent again", ERROR_INVALID_HANDLE, false, false, 50},
      {"lost flushes, thread in the retry pause", 0, true, false, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CRig rig;
    rig.Pass("1c 2d");  // after 1, a pass notifies 2 twice
    rig.ts.bIgnoreFlush = c.bIgnoreFlush;
    rig.ts.dwFailFlush = c.dwFailFlush;
    if (c.advance == 0) {
      rig.ts.Inject(ERROR_ACCESS_DENIED, FALSE);
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
    }
    if (c.bBlocked) {
      rig.bBlock = true;
      rig.ts.Inject(WTS_EVENT_STATECHANGE);
      ASSERT_TRUE(Eventually([&] { return rig.bInCall.load(); }));
    }
    auto stopped = std::async(std::launch::async, [&] {
      rig.monitor->Stop();
      return !rig.bInCall;
    });
    if (c.advance != 0) {
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));  // Stop's wait
      rig.machine.Advance(c.advance);
    }
    // A blocked call is released once Stop has given up on the thread.
    EXPECT_TRUE(!c.bBlocked || Eventually([&] { return rig.Logged("complete, timed out"); }));
    EXPECT_EQ(rig.Take(), c.bBlocked ? "avail 1 1" : "");
    rig.bBlock = false;
    EXPECT_TRUE(stopped.get());
    rig.monitor.reset();                   // the owner may go on at once
    rig.ts.Inject(WTS_EVENT_STATECHANGE);  // wakes a thread left in the wait
    EXPECT_TRUE(Eventually(ThreadsEnded));
    EXPECT_EQ(rig.Take(), "");
    EXPECT_TRUE(rig.Logged(c.advance == 5000 ? "complete, timed out" : "completed succesfully"));
  }
}

// The real module has every entry point the monitor takes. Under Wine the
// wait is a stub that fails at once (the thread spins on its retry pause)
// and the flush fails: Stop still ends the thread at once.
TEST(SessionMonitor, RealStartAndStop) {
  CRecordingLogSink log;  // keeps the lines out of the output
  // The threads of this process (natively none are counted).
  const auto threads = [] {
    std::set<DWORD> ids;
#ifdef _WIN32
    HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e = {sizeof(e)};
    for (BOOL b = Thread32First(h, &e); b; b = Thread32Next(h, &e)) {
      if (e.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(e.th32ThreadID);
    }
    CloseHandle(h);
#endif
    return ids;
  };
  const std::set<DWORD> before = threads();
  const auto start = std::chrono::steady_clock::now();
  CSessionMonitor monitor;
  monitor.Start();
  EXPECT_EQ(SessionMonitorThreadsAlive(), 1) << "every entry point was found";
  std::set<DWORD> started = threads();
  std::erase_if(started, [&](DWORD id) { return before.contains(id); });
#ifdef _WIN32
  ASSERT_EQ(started.size(), 1u);
#endif
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
  for (DWORD id : started) EXPECT_EQ(threads().count(id), 0u);
}

}  // namespace
