// The machine seam: the real clock and its waits, and the lifetime of an
// installed machine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/scripted_machine.h"

namespace {

TEST(MachineClock, RealWaitsEndOnTheirDeadlineOrOnWake) {
  const ULONGLONG start = Machine().GetTickCount64();
  EXPECT_EQ(Machine().WaitForTick(start + 30, Machine().GetWakeCount()), DWORD{WAIT_TIMEOUT});
  EXPECT_GE(Machine().GetTickCount64(), start + 30);
  const ULONGLONG count = Machine().GetWakeCount();
  std::thread waker([] { Machine().Wake(); });
  // Ten seconds only guard against a lost wake-up.
  EXPECT_EQ(Machine().WaitForTick(Machine().GetTickCount64() + 10000, count), DWORD{WAIT_OBJECT_0});
  waker.join();
}

// A thread that outlives the scripted machine holds it only through counted
// references: destroying the machine releases its wait, and the thread's
// next call reaches the real machine.
TEST(MachineSeam, UninstallReleasesAThreadWaitingInside) {
  std::atomic<bool> bStop{false}, bReal{false};
  auto pMachine = std::make_unique<CScriptedMachine>();
  std::thread thread([&, pScripted = pMachine.get()] {
    while (!bStop) {
      auto machine = MachineSeam().Use();
      if (&*machine != pScripted) bReal = true;
      machine->WaitForTick(IMachine::kNoDeadline, machine->GetWakeCount());
    }
  });
  ASSERT_TRUE(pMachine->AwaitWaiters(1));
  pMachine.reset();
  while (!bReal) std::this_thread::yield();
  bStop = true;
  Machine().Wake();
  thread.join();
}

}  // namespace
