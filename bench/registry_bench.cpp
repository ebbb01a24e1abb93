// The cost of the native registry: setting and then querying a small value
// (a REG_DWORD) through RegSetValueExW/RegQueryValueExW on the hive, against
// the same bytes written and read through SQLite directly, with the same
// journal settings and one transaction per statement; and how the cost of
// enumerating all subkeys of a key through one handle grows with their
// number (8000 against 1000: linear growth is 8).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <windows.h>

#include <winreg.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ratio_reporter.h"

namespace {

std::string ScratchFile(const char* pszName) {
  return (std::filesystem::temp_directory_path() /
          (std::string("kelmyr-registry-bench-") + pszName + "-" +
           std::to_string(GetCurrentProcessId()) + ".db"))
      .string();
}

void RemoveHive(const std::string& path) {
  for (const char* pszSuffix : {"", "-wal", "-shm"}) std::remove((path + pszSuffix).c_str());
}

void BM_RegistrySetQuery(benchmark::State& state) {
  const std::string path = ScratchFile("hive");
  RemoveHive(path);
  setenv("KELMYR_REGISTRY", path.c_str(), 1);
  HKEY hKey = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvane\\Kelmyr", 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &hKey, nullptr) != ERROR_SUCCESS) {
    state.SkipWithError("the hive cannot be created");
    return;
  }
  DWORD dwValue = 0;
  for (auto _ : state) {
    ++dwValue;
    RegSetValueExW(hKey, u"Kelmyr.Authentication.Timeout", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
    DWORD dwRead = 0;
    DWORD cb = sizeof dwRead;
    RegQueryValueExW(hKey, u"Kelmyr.Authentication.Timeout", nullptr, nullptr,
                     reinterpret_cast<BYTE*>(&dwRead), &cb);
    benchmark::DoNotOptimize(dwRead);
  }
  RegCloseKey(hKey);
  unsetenv("KELMYR_REGISTRY");
  RemoveHive(path);
}
BENCHMARK(BM_RegistrySetQuery);

void BM_SqliteSetQuery(benchmark::State& state) {
  const std::string path = ScratchFile("direct");
  RemoveHive(path);
  sqlite3* pDb = nullptr;
  sqlite3_open(path.c_str(), &pDb);
  sqlite3_exec(pDb,
               "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
               "CREATE TABLE vals(name BLOB PRIMARY KEY, data BLOB) WITHOUT ROWID",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* pSet = nullptr;
  sqlite3_stmt* pGet = nullptr;
  sqlite3_prepare_v2(pDb, "INSERT OR REPLACE INTO vals(name, data) VALUES(?1, ?2)", -1, &pSet,
                     nullptr);
  sqlite3_prepare_v2(pDb, "SELECT data FROM vals WHERE name=?1", -1, &pGet, nullptr);
  static const char16_t kName[] = u"Kelmyr.Authentication.Timeout";
  DWORD dwValue = 0;
  for (auto _ : state) {
    ++dwValue;
    sqlite3_bind_blob(pSet, 1, kName, sizeof kName, SQLITE_STATIC);
    sqlite3_bind_blob(pSet, 2, &dwValue, sizeof dwValue, SQLITE_STATIC);
    sqlite3_step(pSet);
    sqlite3_reset(pSet);
    sqlite3_bind_blob(pGet, 1, kName, sizeof kName, SQLITE_STATIC);
    DWORD dwRead = 0;
    if (sqlite3_step(pGet) == SQLITE_ROW && sqlite3_column_bytes(pGet, 0) == sizeof dwRead) {
      dwRead = *static_cast<const DWORD*>(sqlite3_column_blob(pGet, 0));
    }
    sqlite3_reset(pGet);
    benchmark::DoNotOptimize(dwRead);
  }
  sqlite3_finalize(pSet);
  sqlite3_finalize(pGet);
  sqlite3_close(pDb);
  RemoveHive(path);
}
BENCHMARK(BM_SqliteSetQuery);

// Enumerates the state.range(0) subkeys of one key with RegEnumKeyExW,
// index by index through one handle, as callers list a key.
void BM_EnumerateSubKeys(benchmark::State& state) {
  const std::string path = ScratchFile("enum");
  RemoveHive(path);
  setenv("KELMYR_REGISTRY", path.c_str(), 1);
  const DWORD cKeys = static_cast<DWORD>(state.range(0));
  HKEY hKey = nullptr;
  bool bOk = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvane\\Many", 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &hKey, nullptr) == ERROR_SUCCESS;
  for (DWORD i = 0; bOk && i < cKeys; ++i) {
    // Names of one length in both runs, created out of order.
    char szName[32];
    std::snprintf(szName, sizeof szName, "store-%05u", static_cast<unsigned>(i * 7919u % cKeys));
    const std::string name = szName;
    const std::u16string wide(name.begin(), name.end());
    HKEY hChild = nullptr;
    bOk = RegCreateKeyExW(hKey, wide.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hChild,
                          nullptr) == ERROR_SUCCESS;
    RegCloseKey(hChild);
  }
  if (!bOk) state.SkipWithError("the subkeys cannot be created");
  for (auto _ : state) {
    if (!bOk) break;
    DWORD cFound = 0;
    for (;; ++cFound) {
      WCHAR szName[64];
      DWORD cch = 64;
      if (RegEnumKeyExW(hKey, cFound, szName, &cch, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
    }
    if (cFound != cKeys) state.SkipWithError("the enumeration missed subkeys");
  }
  RegCloseKey(hKey);
  unsetenv("KELMYR_REGISTRY");
  RemoveHive(path);
}
// The median of repetitions: the machine may be busy with other work.
BENCHMARK(BM_EnumerateSubKeys)
    ->Arg(1000)
    ->Arg(8000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
  return RunWithRatios(
      argc, argv,
      {{"registry set+query / SQLite set+query of the same bytes", "BM_RegistrySetQuery",
        "BM_SqliteSetQuery"},
       {"enumerating 8000 subkeys / 1000 subkeys (at most 8)",
        "BM_EnumerateSubKeys/8000/repeats:5_median", "BM_EnumerateSubKeys/1000/repeats:5_median"}});
}
