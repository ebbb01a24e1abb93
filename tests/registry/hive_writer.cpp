// hive_writer: a second process for the hive tests. It works on the hive
// named by KELMYR_REGISTRY, below HKEY_LOCAL_MACHINE\<key>:
//
//   hive_writer write <key> <prefix> <count>   values <prefix>0.. (REG_QWORD i)
//   hive_writer write <key> <prefix> forever   the same, printing its process
//                                              id and then each index once
//                                              committed, until killed
//   hive_writer flush                          copy the log into the hive file
//
// Exit codes: 0 done, 1 a registry call failed, 2 bad arguments.
#include <windows.h>

#include <winreg.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::u16string Wide(const char* psz) {
  std::string s(psz);
  return std::u16string(s.begin(), s.end());
}

int Fail(const char* pszWhat, LONG l) {
  std::fprintf(stderr, "hive_writer: %s failed with %ld\n", pszWhat, static_cast<long>(l));
  return 1;
}

int Write(const char* pszKey, const char* pszPrefix, const char* pszCount) {
  const bool bForever = std::strcmp(pszCount, "forever") == 0;
  const unsigned long long count = bForever ? ~0ull : std::strtoull(pszCount, nullptr, 10);
  HKEY hKey = nullptr;
  LONG l = RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(pszKey).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &hKey, nullptr);
  if (l != ERROR_SUCCESS) return Fail("RegCreateKeyExW", l);
  if (bForever) std::printf("%ld\n", static_cast<long>(GetCurrentProcessId()));
  for (unsigned long long i = 0; i < count; ++i) {
    const std::u16string name = Wide(pszPrefix) + Wide(std::to_string(i).c_str());
    l = RegSetValueExW(hKey, name.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&i),
                       sizeof i);
    if (l != ERROR_SUCCESS) return Fail("RegSetValueExW", l);
    if (bForever) {
      std::printf("%llu\n", i);
      std::fflush(stdout);
    }
  }
  RegCloseKey(hKey);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "write") == 0) return Write(argv[2], argv[3], argv[4]);
  if (argc == 2 && std::strcmp(argv[1], "flush") == 0) {
    const LONG l = RegFlushKey(HKEY_LOCAL_MACHINE);
    return l == ERROR_SUCCESS ? 0 : Fail("RegFlushKey", l);
  }
  std::fprintf(stderr, "usage: hive_writer write|flush ...\n");
  return 2;
}
