// The real machine's clock and waits, modules given or withheld through the
// machine seam, and the lifetime of an implementation in use through a seam.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

struct IThing {
  virtual ~IThing() = default;
};
struct CThing final : IThing {};

// Uninstall returns only when no counted reference reaches what it removes.
TEST(Seam, UninstallWaitsForCountedReferences) {
  CThing real, installed;
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

#ifndef _WIN32
// A counted reference never given back stops the process rather than let
// Uninstall wait for ever.
TEST(SeamDeathTest, UninstallStopsOnAReferenceHeldTooLong) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CThing real, installed;
  TSeam<IThing> seam(real);
  IThing* const pPrevious = seam.Install(&installed);
  const TSeam<IThing>::TUse use = seam.Use();
  EXPECT_DEATH(seam.Uninstall(&installed, pPrevious, std::chrono::milliseconds(20)),
               "still in use by a thread");
}
#endif

}  // namespace
