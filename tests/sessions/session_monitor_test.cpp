// The session monitor on scripted Terminal Services and a scripted clock,
// and on the real Terminal Services of each build (under Wine, stubs).
#include "sessions/scripted_terminal_services.h"

#include <gtest/gtest.h>

#include <future>
#include <sstream>
#include <thread>

#include "common/recording_log_sink.h"
#include "common/scripted_machine.h"
#include "sessions/sessionmonitor.h"
#include "sessions/terminalservices.h"

namespace {

// Whether f() holds within ten seconds (a deadlock guard).
template <class F>
bool Eventually(F f) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!f() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
  return f();
}

// A monitor on a scripted machine with scripted Terminal Services (without
// the named entry point), with the rig as its subscriber: the notifications
// are recorded as "flush 5, avail 5 0"; while bBlock is set, a call waits
// for the test.
struct CRig final : ISessionSubscriber {
  explicit CRig(const std::string& missing = "") {
    auto exports = ts.Exports();
    exports.erase(missing);
    machine.ProvideModule(OLESTR("Wtsapi32.dll"), exports);
    monitor->SetSubscriber(this);
    monitor->Start();
    EXPECT_TRUE(SessionMonitorThreadsAlive() == 0 || ts.AwaitIdle());
  }
  // One pass over these sessions (after an empty first one); its
  // notifications. "1a=PC 2c 3q 4d 5x 6a@A": id, state (a active, c
  // connected, q connect query, d down, x 10), then "=client" for a remote
  // session or "@client" for a console one.
  std::string Pass(const std::string& text) {
    ts.sessions.clear();
    std::istringstream in(text);
    for (std::string t; in >> t;) {
      size_t n = 0;  // the id's length, known before the next field (a braced list)
      ts.sessions.push_back(
          {DWORD(std::stoul(t, &n)), DWORD(std::string("acq.....d.x").find(t[n])),
           USHORT(t.find('@') != t.npos ? WTS_PROTOCOL_TYPE_CONSOLE : WTS_PROTOCOL_TYPE_RDP),
           OleString(t.begin() + std::min(t.size(), n + 2), t.end())});
    }
    ts.Inject(WTS_EVENT_STATECHANGE);
    EXPECT_TRUE(ts.AwaitIdle());
    return std::exchange(calls, {});
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
    calls += (calls.empty() ? "" : ", ") + std::string(name);
    ((calls += " " + std::to_string(values)), ...);
    bInCall = bBlock.load();
    Eventually([&] { return !bBlock; });
    bInCall = false;
  }

  CScriptedMachine machine;
  CRecordingLogSink log;
  CScriptedTerminalServices ts;
  std::atomic<bool> bBlock{false}, bInCall{false};
  // Read after the thread is seen idle, blocked or ended.
  std::string calls;
  // On the heap, where a use after destruction shows.
  std::unique_ptr<CSessionMonitor> monitor = std::make_unique<CSessionMonitor>();
};

TEST(SessionMonitor, PassByPass) {
  struct SPass {
    const char *sessions, *calls, *logged = "";
    DWORD dwFail = 0;  // of the enumeration
  };
  const SPass kUp{"1a=PC 2c 3q", "avail 2 1, avail 3 1", "SessionId = 1 wsSessionClient = PC"};
  const std::vector<SPass> kCases[] = {
      // Up sessions: no flush; connected ones available on every pass.
      {kUp, {"1a 2c 3q", kUp.calls}},
      // Consoles share the computer's name; a vanished session is kept; a
      // down one moves, ends and is forgotten, then ends again.
      {{"1a@A 2a@B", ""},
       {"2a@B", ""},
       {"1d 2a@B", "move 1 2, flush 1, avail 1 0"},
       {"1d 2a@B", "flush 1, avail 1 0"}},
      // A state outside the table is not kept: the session ends on every pass.
      {{"7x", "flush 7, avail 7 0", "Session 0x7 state changed from WTSDown to UnknownState."},
       {"7x", "flush 7, avail 7 0"}},
      // No move to sessions 0 and 65536, nor to one of two others.
      {{"0a=P 12a=P 65536a=Q 8a=Q 9a=X 10a=X 11a=X", ""},
       {"12d 8d 9d 10a 11a", "flush 12, avail 12 0, flush 8, avail 8 0, flush 9, avail 9 0",
        "nbSessionIdFound = 2 != 1 => cannot get other session id"}},
      // A failed enumeration skips the pass.
      {{"5c", "avail 5 1"},
       {"5d", "", "WTSEnumerateSessions failed with error code 0x6ba", RPC_S_SERVER_UNAVAILABLE},
       {"5d", "flush 5, avail 5 0"}},
  };
  for (const auto& passes : kCases) {
    CRig rig;
    for (const SPass& pass : passes) {
      SCOPED_TRACE(pass.sessions);
      rig.ts.dwFail = pass.dwFail;
      rig.log.Clear();
      EXPECT_EQ(rig.Pass(pass.sessions), pass.calls);
      EXPECT_TRUE(rig.Logged(pass.logged)) << rig.log.Dump();
    }
  }
}

// A Start with an entry point missing logs it, clears the entry points and
// starts nothing; Stop then only logs, and the module is unloaded.
TEST(SessionMonitor, MissingEntryPoint) {
  for (const auto& [missing, name] : {std::pair{"WTSQuerySessionInformationW", "InformationA"},
                                      {"WTSWaitSystemEvent", "WTSWaitSystemEvent"},
                                      {"WTSQueryUserToken", "WTSQueryUserToken"},
                                      {"WTSFreeMemory", "WTSFreeMemory"},
                                      {"WTSEnumerateSessionsW", "WTSEnumerateSessions"}}) {
    CRig rig(missing);
    EXPECT_EQ(CTerminalServicesModule::EntryPoints().pWTSQuerySessionInformation, nullptr);
    EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
    rig.monitor.reset();
    EXPECT_EQ(rig.machine.LoadedModules(), 0u);
    EXPECT_TRUE(
        rig.Logged(name + std::string(") failed with error code 0x7f|CSessionMonitor::Stop: "
                                      "SessionMonitoringThread is already stopped.")));
  }
}

// One wake-up of the thread after its first pass (its lines, its
// notifications, whether the thread ends or pauses 500 ms on the clock), a
// second Start, which starts no thread, then Stop and the monitor's
// destruction: no notification follows, and once the thread ends the module
// is unloaded.
TEST(SessionMonitor, WakeUpAndStop) {
  const struct {
    DWORD dwValue;  // the flags, or the error of a failed wait
    BOOL bOk;
    std::string calls, lines;
    // The part of the retry pause the test runs (500 retries, 499 stops in
    // it) and how long Stop waits on the clock.
    ULONGLONG pause = 0, advance = 0;
    DWORD dwFail = 0;                             // of Stop's first flush
    bool bIgnoreFlush = false, bBlocked = false;  // in the first notification
  } kCases[] = {
      {WTS_EVENT_STATECHANGE | WTS_EVENT_CREATE | WTS_EVENT_RENAME | WTS_EVENT_LICENSE, TRUE,
       "avail 1 1, flush 2, avail 2 0", "_LICENSE)|_RENAME)|_CREATE)|_STATECHANGE)"},
      {WTS_EVENT_DELETE, TRUE, "avail 1 1", "deleted (wEventFlag = WTS_EVENT_DELETE)", 0, 5000, 0,
       true, true},
      {WTS_EVENT_CONNECT | WTS_EVENT_DISCONNECT | WTS_EVENT_LOGON | WTS_EVENT_LOGOFF, TRUE, "",
       "_CONNECT)|_DISCONNECT)|_LOGON)|_LOGOFF)", 0, 5000, ERROR_INVALID_HANDLE, true},
      {WTS_EVENT_NONE, TRUE, "", "exiting from monitoring thread (wEventFlag = WTS_EVENT_NONE)"},
      {ERROR_OPERATION_ABORTED, FALSE, "",
       "code 0x3e3|(GetLastError returned ERROR_OPERATION_ABORTED)"},
      {ERROR_ACCESS_DENIED, FALSE, "", "failed with error code 0x5|to monitor sessions.", 500, 50,
       ERROR_INVALID_HANDLE},
      {ERROR_ACCESS_DENIED, FALSE, "", "failed with error code 0x5", 499, 0, 0, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.lines);
    const bool bEnds = c.dwValue == WTS_EVENT_NONE || c.dwValue == ERROR_OPERATION_ABORTED;
    CRig rig;
    rig.Pass("1c 2d");
    rig.log.Clear();
    rig.bBlock = c.bBlocked;
    rig.ts.Inject(c.dwValue, c.bOk);
    if (c.pause != 0) {
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
      rig.machine.Advance(499);
      ASSERT_TRUE(rig.machine.AwaitWaiters(1));
      EXPECT_FALSE(rig.Logged("to monitor sessions."));
      rig.machine.Advance(c.pause - 499);
    }
    // Blocked, in the pause, ended or waiting.
    ASSERT_TRUE(c.bBlocked ? Eventually([&] { return rig.bInCall.load(); })
                : bEnds    ? Eventually([] { return !SessionMonitorThreadsAlive(); })
                           : c.pause == 499 || rig.ts.AwaitIdle());
    EXPECT_EQ(std::exchange(rig.calls, {}), c.calls);
    EXPECT_TRUE(rig.Logged(c.lines)) << rig.log.Dump();
    rig.monitor->Start();
    EXPECT_EQ(SessionMonitorThreadsAlive(), bEnds ? 0 : 1);
    rig.ts.bIgnoreFlush = c.bIgnoreFlush;
    rig.ts.dwFail = c.dwFail;
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
    rig.bBlock = false;
    EXPECT_TRUE(stopped.get());
    rig.monitor.reset();                   // the owner may go on at once
    rig.ts.Inject(WTS_EVENT_STATECHANGE);  // wakes a thread left in the wait
    EXPECT_TRUE(Eventually([] { return !SessionMonitorThreadsAlive(); }));
    EXPECT_EQ(rig.machine.LoadedModules(), 0u);
    EXPECT_EQ(std::exchange(rig.calls, {}), "");
    EXPECT_TRUE(rig.Logged(std::string("SessionMonitoringThread is already started.|") +
                           (c.advance == 5000 ? "complete, timed out" : "completed succesfully")));
  }
}

// The real module has every entry point the monitor takes. Under Wine the
// wait is a stub that fails at once (the thread spins on its retry pause)
// and the flush fails: Stop still ends the thread at once.
TEST(SessionMonitor, RealStartAndStop) {
  CRecordingLogSink log;  // keeps the lines out of the output
  const auto start = std::chrono::steady_clock::now();
  CSessionMonitor monitor;
  monitor.Start();
  EXPECT_EQ(SessionMonitorThreadsAlive(), 1) << "every entry point was found";
  monitor.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(SessionMonitorThreadsAlive(), 0);
}

}  // namespace
