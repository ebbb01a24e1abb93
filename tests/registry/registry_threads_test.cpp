// Threads of one process sharing the native hive: writes through their own
// handles and through one shared handle, while another thread enumerates
// and closes and reopens handles.
#include <gtest/gtest.h>

#include <windows.h>

#include <winreg.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_test_key.h"
#include "support/scopedhkey.h"

namespace {

TEST(RegistryThreads, ConcurrentWritersAndReadersLoseNothing) {
  CScratchHive hive;
  CTestKey key;
  constexpr DWORD kThreads = 4;
  constexpr DWORD kEach = 50;
  std::atomic<bool> bWritersDone{false};
  std::atomic<int> cFailures{0};
  const auto name = [](DWORD t, DWORD i) { return Widen(std::to_string(t * 1000 + i)); };
  const auto count = [&](LONG l) { cFailures += l != ERROR_SUCCESS; };
  std::vector<std::thread> threads;
  for (DWORD t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CScopedHKEY own;
      count(RegOpenKeyExW(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_SET_VALUE, own.Receive()));
      for (DWORD i = 0; i < kEach; ++i) {
        // Alternate between the thread's own handle and the shared one.
        const DWORD value = t * 1000 + i;
        count(RegSetValueExW(i % 2 == 0 ? own.Get() : key.Get(), name(t, i).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value));
      }
    });
  }
  // A reader opening, querying and closing its own handles meanwhile.
  std::thread reader([&] {
    while (!bWritersDone.load()) {
      CScopedHKEY own;
      count(RegOpenKeyExW(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_READ, own.Receive()));
      count(RegQueryInfoKeyW(own.Get(), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    }
  });
  for (std::thread& w : threads) w.join();
  bWritersDone = true;
  reader.join();
  EXPECT_EQ(cFailures.load(), 0);
  for (DWORD t = 0; t < kThreads; ++t) {
    for (DWORD i = 0; i < kEach; ++i) {
      DWORD value = 0;
      DWORD cb = sizeof value;
      ASSERT_EQ(RegQueryValueExW(key.Get(), name(t, i).c_str(), 0, 0,
                                 reinterpret_cast<BYTE*>(&value), &cb),
                ERROR_SUCCESS);
      EXPECT_EQ(value, t * 1000 + i);
    }
  }
}

}  // namespace
