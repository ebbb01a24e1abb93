// The timer service on a scripted clock.
#include <gtest/gtest.h>

#include <windows.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>

#include "common/scripted_machine.h"
#include "support/zutimer.h"

namespace {

using ZU::Framework::ITimer;

struct SCounts {
  std::atomic<int> fired{0};
  std::atomic<int> destroyed{0};
};

class CCountingCallback final : public ZU::Framework::ITimerCallbackFunction {
 public:
  explicit CCountingCallback(SCounts& counts, std::mutex* pWaitFor = nullptr)
      : m_counts(counts), m_pWaitFor(pWaitFor) {}
  ~CCountingCallback() override { ++m_counts.destroyed; }
  bool OnTimerExpired() override {
    ++m_counts.fired;
    if (m_pWaitFor != nullptr) std::lock_guard lock(*m_pWaitFor);
    return false;
  }

 private:
  SCounts& m_counts;
  std::mutex* m_pWaitFor;
};

// Timers of 0, 5, 5 and 120 seconds; each step acts on one timer, moves the
// clock, lets the timer thread settle and checks every timer's fire count.
TEST(TimerService, OneShotTimersOnTheMachineClock) {
  CScriptedMachine machine;
  const DWORD kPeriods[] = {0, 5, 5, 120};
  SCounts counts[4];
  std::unique_ptr<ITimer> timers[4];
  for (int i = 0; i < 4; ++i) {
    timers[i].reset(ITimer::CreateNewTimer(kPeriods[i], new CCountingCallback(counts[i])));
    ASSERT_NE(timers[i], nullptr);
  }
  enum EAction { kNone, kRestart, kDestroy };
  // The action and its timer, the clock's move, the fire counts, why.
  const std::tuple<EAction, int, ULONGLONG, std::array<int, 4>, const char*> kSteps[] = {
      {kNone, 0, 0, {{1, 0, 0, 0}}, "a period of 0 fires once, at once"},
      {kNone, 0, 4999, {{1, 0, 0, 0}}, "not before the period"},
      {kRestart, 2, 1, {{1, 1, 0, 0}}, "a restart starts the countdown again"},
      {kRestart, 1, 4998, {{1, 1, 0, 0}}, "restarted with the period of creation"},
      {kNone, 0, 1, {{1, 1, 1, 0}}, "the restarted timer fires"},
      {kNone, 0, 1, {{1, 2, 1, 0}}, "a fired timer fires again after a restart"},
      {kDestroy, 3, 200000, {{1, 2, 1, 0}}, "a destroyed timer never fires"},
      {kRestart, 0, 0, {{2, 2, 1, 0}}, "a period of 0 restarted fires once more"},
      {kNone, 0, 200000, {{2, 2, 1, 0}}, "one-shot: nothing fires again"},
  };
  for (const auto& [eAction, iTimer, ullAdvanceMs, expected, pszWhy] : kSteps) {
    if (eAction == kRestart) timers[iTimer]->Restart();
    if (eAction == kDestroy) timers[iTimer].reset();
    machine.Advance(ullAdvanceMs);
    ASSERT_TRUE(machine.AwaitWaiters(1)) << pszWhy;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(counts[i].fired.load(), expected[i]) << pszWhy;
  }
}

// A timer is destroyed under a lock its running callback waits for: the
// destruction returns at once, and the callback object goes only after the
// callback has returned.
TEST(TimerService, DestructionNeverWaitsForARunningCallback) {
  CScriptedMachine machine;
  SCounts counts;
  std::mutex storeLock;
  std::unique_lock held(storeLock);
  std::unique_ptr<ITimer> pTimer(
      ITimer::CreateNewTimer(0, new CCountingCallback(counts, &storeLock)));
  while (counts.fired == 0) std::this_thread::yield();
  pTimer.reset();
  EXPECT_EQ(counts.destroyed.load(), 0) << "freed under its running callback";
  held.unlock();
  ITimer::WaitForRunningCallbacks();
  EXPECT_EQ(counts.destroyed.load(), 1);
}

// The thread ends, and is joined, once no timer is left, so that the module
// holding it can go; the next timer starts a new one.
TEST(TimerService, TheThreadEndsWithTheLastTimer) {
  CScriptedMachine machine;
  SCounts counts;
  std::unique_ptr<ITimer> pTimer(ITimer::CreateNewTimer(5, new CCountingCallback(counts)));
  ASSERT_TRUE(machine.AwaitWaiters(1));
  EXPECT_TRUE(TimerThreadRunning());
  pTimer.reset();
  while (TimerThreadRunning()) std::this_thread::yield();
  pTimer.reset(ITimer::CreateNewTimer(0, new CCountingCallback(counts)));
  while (counts.fired == 0) std::this_thread::yield();
  EXPECT_TRUE(TimerThreadRunning());
}

}  // namespace
