// The machine seam: its clock and waits, module loading through it, and the
// lifetime of an installed machine.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/scripted_machine.h"
#include "platform/machine.h"

namespace {

// Waits on the current machine until woken or the deadline passes.
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
  EXPECT_EQ(dwTimed.load(), 0u) << "woken before its deadline";
  machine.Advance(1);
  timed.join();
  EXPECT_EQ(dwTimed.load(), DWORD{WAIT_TIMEOUT});
  EXPECT_EQ(dwWoken.load(), 0u) << "a waiter without deadline stays";

  machine.Wake();
  woken.join();
  EXPECT_EQ(dwWoken.load(), DWORD{WAIT_OBJECT_0});
  const ULONGLONG ullSeen = machine.GetWakeCount() - 1;
  EXPECT_EQ(machine.WaitForTick(IMachine::kNoDeadline, ullSeen), DWORD{WAIT_OBJECT_0})
      << "a wake-up before the wait is not lost";
}

TEST(MachineClock, RealWaitsEndOnTheirDeadlineOrOnWake) {
  const ULONGLONG start = Machine().GetTickCount64();
  EXPECT_EQ(WaitOnce(start + 30), DWORD{WAIT_TIMEOUT});
  EXPECT_GE(Machine().GetTickCount64(), start + 30);

  std::atomic<bool> bWaiting{false};
  std::thread waiter([&] {
    IMachine& machine = Machine();
    const ULONGLONG count = machine.GetWakeCount();
    bWaiting = true;
    // Ten seconds only guard against a lost wake-up.
    EXPECT_EQ(machine.WaitForTick(machine.GetTickCount64() + 10000, count), DWORD{WAIT_OBJECT_0});
  });
  while (!bWaiting) std::this_thread::yield();
  Machine().Wake();
  waiter.join();
}

// A thread that outlives the scripted machine holds it only through counted
// references: destroying the machine releases its wait, and the thread's
// next call reaches the real machine.
TEST(MachineSeam, UninstallReleasesAThreadWaitingInside) {
  std::atomic<bool> bStop{false};
  std::atomic<int> realCalls{0};
  auto pMachine = std::make_unique<CScriptedMachine>();
  IMachine* pScripted = pMachine.get();
  std::thread thread([&] {
    while (!bStop) {
      auto machine = MachineSeam().Use();
      if (&*machine != pScripted) ++realCalls;
      machine->WaitForTick(IMachine::kNoDeadline, machine->GetWakeCount());
    }
  });
  ASSERT_TRUE(pMachine->AwaitWaiters(1));
  pMachine.reset();
  while (realCalls == 0) std::this_thread::yield();
  bStop = true;
  Machine().Wake();
  thread.join();
}

template <class F>
FARPROC ExportOf(F* pfn) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(pfn));
}
ULONGLONG WINAPI FakeEntryPoint() { return 42; }

// Each library and entry point can be given or withheld in either build;
// names not scripted load from the platform.
TEST(MachineModules, ScriptedLibrariesAndEntryPoints) {
  CScriptedMachine machine;
  machine.ProvideModule(OLESTR("userenv.dll"),
                        {{"GetAppContainerRegistryLocation", ExportOf(&FakeEntryPoint)}});
  machine.WithholdModule(OLESTR("ieframe.dll"));
  struct {
    LPCWSTR pszModule;
    const char* pszExport;
    DWORD dwLoadError;    // 0: loads
    DWORD dwExportError;  // 0: found
  } const kCases[] = {
      {OLESTR("UserEnv.DLL"), "GetAppContainerRegistryLocation", 0, 0},
      {OLESTR("userenv.dll"), "GetAppContainerFolderPath", 0, ERROR_PROC_NOT_FOUND},
      {OLESTR("ieframe.dll"), "IEGetWriteableHKCU", ERROR_MOD_NOT_FOUND, 0},
      {OLESTR("kernel32.dll"), "GetTickCount64", 0, 0},
      {OLESTR("kernel32.dll"), "KelmyrNoSuchExport", 0, ERROR_PROC_NOT_FOUND},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    HMODULE hModule = Machine().LoadLibraryW(c.pszModule);
    EXPECT_EQ(hModule == nullptr ? GetLastError() : 0u, c.dwLoadError) << c.pszExport;
    if (hModule == nullptr) continue;
    FARPROC pfn = Machine().GetProcAddress(hModule, c.pszExport);
    EXPECT_EQ(pfn == nullptr ? GetLastError() : 0u, c.dwExportError) << c.pszExport;
    EXPECT_TRUE(Machine().FreeLibrary(hModule));
  }
  EXPECT_EQ(machine.LoadedModules(), 0u) << "every load is paired with its free";

  HMODULE hUserEnv = Machine().LoadLibraryW(OLESTR("userenv.dll"));
  auto* pfn = reinterpret_cast<ULONGLONG(WINAPI*)()>(reinterpret_cast<void (*)()>(
      Machine().GetProcAddress(hUserEnv, "GetAppContainerRegistryLocation")));
  ASSERT_NE(pfn, nullptr);
  EXPECT_EQ(pfn(), 42u);
  EXPECT_TRUE(Machine().FreeLibrary(hUserEnv));
  EXPECT_FALSE(Machine().FreeLibrary(hUserEnv));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

}  // namespace
