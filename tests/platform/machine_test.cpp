// The machine seam: its clock and waits, module loading through it, and the
// lifetime of an installed machine and of an implementation in use.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "common/scripted_machine.h"

namespace {

DWORD WaitOnce(ULONGLONG ullDeadline) {
  IMachine& machine = Machine();
  return machine.WaitForTick(ullDeadline, machine.GetWakeCount());
}

TEST(MachineClock, ScriptedWaitsEndOnTheirDeadlineOrOnWake) {
  CScriptedMachine machine;
  std::atomic<DWORD> dwTimed{0}, dwWoken{0};
  std::thread timed([&] { dwTimed = WaitOnce(machine.GetTickCount64() + 5000); });
  std::thread woken([&] { dwWoken = WaitOnce(IMachine::kNoDeadline); });
  ASSERT_TRUE(machine.AwaitWaiters(2));
  machine.Advance(4999);
  ASSERT_TRUE(machine.AwaitWaiters(2)) << "both still wait before the deadline";
  machine.Advance(1);
  timed.join();
  EXPECT_EQ(dwTimed.load(), DWORD{WAIT_TIMEOUT});
  ASSERT_TRUE(machine.AwaitWaiters(1)) << "a waiter without deadline stays";
  machine.Wake();
  woken.join();
  EXPECT_EQ(dwWoken.load(), DWORD{WAIT_OBJECT_0});
  EXPECT_EQ(machine.WaitForTick(IMachine::kNoDeadline, machine.GetWakeCount() - 1),
            DWORD{WAIT_OBJECT_0})
      << "a wake-up before the wait is not lost";
}

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

ULONGLONG WINAPI FakeEntryPoint() { return 42; }

// Each library and entry point can be given or withheld in either build;
// names not scripted load from the platform.
TEST(MachineModules, ScriptedLibrariesAndEntryPoints) {
  CScriptedMachine machine;
  const FARPROC pfnFake = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&FakeEntryPoint));
  machine.ProvideModule(OLESTR("userenv.dll"), {{"GetAppContainerRegistryLocation", pfnFake}});
  machine.WithholdModule(OLESTR("ieframe.dll"));
  struct {
    LPCWSTR pszModule;
    const char* pszExport;
    DWORD dwError;
    bool bFake;
  } const kCases[] = {
      {OLESTR("UserEnv.DLL"), "GetAppContainerRegistryLocation", 0, true},
      {OLESTR("userenv.dll"), "GetAppContainerFolderPath", ERROR_PROC_NOT_FOUND, false},
      {OLESTR("ieframe.dll"), "IEGetWriteableHKCU", ERROR_MOD_NOT_FOUND, false},
      {OLESTR("kernel32.dll"), "GetTickCount64", 0, false},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    HMODULE hModule = Machine().LoadLibraryW(c.pszModule);
    FARPROC pfn = hModule ? Machine().GetProcAddress(hModule, c.pszExport) : nullptr;
    EXPECT_EQ(pfn == nullptr ? GetLastError() : 0u, c.dwError) << c.pszExport;
    EXPECT_TRUE(!c.bFake || pfn == pfnFake);
    EXPECT_TRUE(hModule == nullptr || Machine().FreeLibrary(hModule));
  }
  EXPECT_EQ(machine.LoadedModules(), 0u) << "every load is paired with its free";
}

// Uninstall returns only when no counted reference reaches what it removes.
TEST(Seam, UninstallWaitsForCountedReferences) {
  struct IThing {
    virtual ~IThing() = default;
  };
  struct CThing final : IThing {
  } real, installed;
  TSeam<IThing> seam(real);
  IThing* const pPrevious = seam.Install(&installed);
  auto use = std::make_unique<TSeam<IThing>::TUse>(seam.Use());
  EXPECT_EQ(&**use, &installed);
  std::atomic<bool> bReturned{false};
  std::thread uninstaller([&] {
    seam.Uninstall(&installed, pPrevious);
    bReturned = true;
  });
  while (&seam.Get() != &real) std::this_thread::yield();
  // A faulty Uninstall returns at once; a short grace lets it show.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(bReturned) << "returned while a counted reference was held";
  use.reset();
  uninstaller.join();
  EXPECT_TRUE(bReturned);
}

}  // namespace
