// The cost of a pass of the session monitor.
//
// One pass over 1 000 scripted sessions with a recording subscriber is
// measured against the bare work of any pass: the enumeration of the same
// sessions and a read of each one's state into an ordered map. Two kinds of
// pass: nothing changed (the common case; the connected sessions are
// announced available again), and every session changed state (each one is
// then queried for its client). A pass runs on the monitor thread, started
// by an injected event; the process's CPU time of both threads is counted,
// without the scripting of the new sessions before a changing pass.
#include <benchmark/benchmark.h>

#include <map>
#include <vector>

#include "common/scripted_machine.h"
#include "ratio_reporter.h"
#include "sessions/scripted_terminal_services.h"
#include "sessions/sessionmonitor.h"
#include "support/qvlog.h"

namespace {

constexpr DWORD kSessions = 1000;

class CCountingSubscriber final : public ISessionSubscriber {
 public:
  void NotifyFlush(DWORD) override { ++calls; }
  void NotifyAvailability(DWORD, BOOL) override { ++calls; }
  void NotifyMove(DWORD, DWORD) override { ++calls; }
  unsigned calls = 0;
};

// Active sessions on even passes and connected ones on odd passes when
// bChanging, else half of them active and half connected on every pass.
std::vector<CScriptedTerminalServices::SSession> Sessions(bool bConnected, bool bChanging) {
  std::vector<CScriptedTerminalServices::SSession> sessions;
  for (DWORD i = 1; i <= kSessions; ++i) {
    const bool bThisConnected = bChanging ? bConnected : (i % 2 == 0);
    sessions.push_back({i, DWORD(bThisConnected ? WTSConnected : WTSActive), WTS_PROTOCOL_TYPE_RDP,
                        OLESTR("client") + std::basic_string<OLECHAR>(1, OLECHAR('a' + i % 26))});
  }
  return sessions;
}

void BM_MonitorPass(benchmark::State& state, bool bChanging) {
  CScriptedMachine machine;
  CScriptedTerminalServices ts;
  machine.ProvideModule(OLESTR("Wtsapi32.dll"), ts.Exports());
  const auto sessions = {Sessions(false, bChanging), Sessions(true, bChanging)};
  CCountingSubscriber subscriber;
  CSessionMonitor monitor;
  monitor.SetSubscriber(&subscriber);
  ts.sessions = *sessions.begin();
  monitor.Start();
  if (!ts.AwaitIdle()) state.SkipWithError("the monitor thread did not start");
  size_t n = 0;
  for (auto _ : state) {
    if (bChanging) {
      state.PauseTiming();
      ts.sessions = sessions.begin()[++n % 2];
      state.ResumeTiming();
    }
    ts.Inject(WTS_EVENT_STATECHANGE);
    if (!ts.AwaitIdle()) state.SkipWithError("the monitor thread is stuck");
  }
  benchmark::DoNotOptimize(subscriber.calls);
}

void BM_BareReads(benchmark::State& state) {
  CScriptedTerminalServices ts;
  const auto exports = ts.Exports();
  auto* pEnumerate =
      reinterpret_cast<BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*)>(
          reinterpret_cast<void (*)()>(exports.at("WTSEnumerateSessionsW")));
  auto* pFree = reinterpret_cast<void(WINAPI*)(PVOID)>(
      reinterpret_cast<void (*)()>(exports.at("WTSFreeMemory")));
  ts.sessions = Sessions(false, false);
  std::map<DWORD, DWORD> states;
  for (auto _ : state) {
    PWTS_SESSION_INFOW pInfo = nullptr;
    DWORD dwCount = 0;
    pEnumerate(nullptr, 0, 1, &pInfo, &dwCount);
    for (DWORD i = 0; i < dwCount; ++i) states[pInfo[i].SessionId] = pInfo[i].State;
    pFree(pInfo);
  }
  benchmark::DoNotOptimize(states.size());
}

}  // namespace

BENCHMARK_CAPTURE(BM_MonitorPass, steady, false)->MeasureProcessCPUTime();
BENCHMARK_CAPTURE(BM_MonitorPass, changing, true)->MeasureProcessCPUTime();
BENCHMARK(BM_BareReads)->MeasureProcessCPUTime();

int main(int argc, char** argv) {
  qvlogSetLevelMask(0);
  return RunWithRatios(argc, argv,
                       {{"steady pass / bare reads", "BM_MonitorPass/steady/process_time",
                         "BM_BareReads/process_time"},
                        {"changing pass / bare reads", "BM_MonitorPass/changing/process_time",
                         "BM_BareReads/process_time"}});
}
