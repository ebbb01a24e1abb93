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
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::atomic<bool> bWritersDone{false};
  std::atomic<int> cFailures{0};

  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      CScopedHKEY own;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_SET_VALUE, own.Receive()) !=
          ERROR_SUCCESS) {
        ++cFailures;
        return;
      }
      for (int i = 0; i < kEach; ++i) {
        const DWORD value = static_cast<DWORD>(t * 1000 + i);
        const WString name = Widen("t" + std::to_string(t) + "-" + std::to_string(i));
        // Alternate between the thread's own handle and the shared one.
        const HKEY hKey = i % 2 == 0 ? own.Get() : key.Get();
        if (RegSetValueExW(hKey, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value) != ERROR_SUCCESS) {
          ++cFailures;
        }
      }
    });
  }
  std::thread reader([&] {
    while (!bWritersDone.load()) {
      CScopedHKEY own;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, key.Path().c_str(), 0, KEY_READ, own.Receive()) !=
          ERROR_SUCCESS) {
        ++cFailures;
        return;
      }
      DWORD cValues = 0;
      if (RegQueryInfoKeyW(own.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &cValues, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
        ++cFailures;
      }
    }
  });
  for (std::thread& w : writers) w.join();
  bWritersDone = true;
  reader.join();
  EXPECT_EQ(cFailures.load(), 0);

  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      DWORD value = 0;
      DWORD cb = sizeof value;
      const WString name = Widen("t" + std::to_string(t) + "-" + std::to_string(i));
      ASSERT_EQ(RegQueryValueExW(key.Get(), name.c_str(), nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&value), &cb),
                ERROR_SUCCESS);
      EXPECT_EQ(value, static_cast<DWORD>(t * 1000 + i));
    }
  }
}

}  // namespace
