// The native hive as a file shared by processes: it survives the process
// that wrote it, two processes writing at once lose nothing, a writer
// killed mid-way leaves a readable hive, a file that is not a hive (or a
// damaged one) is refused without being touched, reads never create it,
// what is created is the owner's alone, and a forked child refuses it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <winreg.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "common/registry_test_key.h"
#include "support/scopedhkey.h"

namespace {

const char kWriterKey[] = "Software\\KelmyrHiveTest";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// This program again as the writer (HiveWriter.DISABLED_Write, below), what
// it reports readable; Finish gives its exit status (the code, or 128 + the
// signal).
FILE* StartWriter(const std::string& args,
                  const std::string& program = ::testing::internal::GetArgvs()[0]) {
  return popen(("exec '" + program + "' --gtest_also_run_disabled_tests " +
                "--gtest_filter=HiveWriter.DISABLED_Write " + args + " 2>&1 >/dev/null")
                   .c_str(),
               "r");
}
int Finish(FILE* pWriter) {
  const int status = pWriter != nullptr ? pclose(pWriter) : -1;
  return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
int RunWriter(const std::string& args) { return Finish(StartWriter(args)); }

// The REG_QWORD values of the writer's key in order, and the code of the
// first call that failed.
using Values = std::vector<std::pair<WString, ULONGLONG>>;
LONG ReadWriterValues(Values* pValues) {
  CScopedHKEY key;
  LONG l = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kWriterKey).c_str(), 0, KEY_READ, key.Receive());
  for (DWORD i = 0; l == ERROR_SUCCESS; ++i) {
    WCHAR szName[64];
    DWORD cch = 64;
    ULONGLONG value = 0;
    DWORD cb = sizeof value;
    l = RegEnumValueW(key.Get(), i, szName, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                      &cb);
    if (l == ERROR_SUCCESS) pValues->emplace_back(WString(szName, cch), value);
  }
  return l == ERROR_NO_MORE_ITEMS ? ERROR_SUCCESS : l;
}

// Values <prefix>0 .. <prefix>n-1 holding 0 .. n-1, in that order.
void ExpectSequence(const Values& values, char prefix, size_t n) {
  Values own, expected;
  for (const auto& v : values) {
    if (v.first[0] == WCHAR(prefix)) own.push_back(v);
  }
  for (ULONGLONG i = 0; i < n; ++i) expected.emplace_back(Widen(prefix + std::to_string(i)), i);
  EXPECT_EQ(own, expected) << prefix;
}

class RegistryHive : public ::testing::Test {
 protected:
  CScratchHive m_hive;
};

// Two processes write at once; one ends, the other is killed mid-way.
// Nothing either committed is lost, what is there is whole and in order, and
// the hive stays writable.
TEST_F(RegistryHive, WritersAtOnceLoseNothingAndAKilledOneLeavesAWritableHive) {
  FILE* pKilled = StartWriter("'Software\\KelmyrHiveTest' k forever");
  FILE* pWriter = StartWriter("'Software\\KelmyrHiveTest' a 300");
  ASSERT_NE(pKilled, nullptr);
  long long pid = 0;
  long long committed = -1;
  ASSERT_EQ(std::fscanf(pKilled, "%lld", &pid), 1);
  EXPECT_EQ(Finish(pWriter), 0);
  while (committed < 40) ASSERT_EQ(std::fscanf(pKilled, "%lld", &committed), 1);
  kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_EQ(Finish(pKilled), 128 + SIGKILL);
  Values values;
  ASSERT_EQ(ReadWriterValues(&values), ERROR_SUCCESS);
  ExpectSequence(values, 'a', 300);
  ASSERT_GE(values.size(), static_cast<size_t>(300 + committed + 1));
  ExpectSequence(values, 'k', values.size() - 300);
  CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, "Software\\After");

  // An enumeration through one handle answers a key another process changed
  // between two steps as it is now.
  ASSERT_EQ(RunWriter("'Software\\KelmyrHiveTest\\m1' v 1"), 0);
  ASSERT_EQ(RunWriter("'Software\\KelmyrHiveTest\\m2' v 1"), 0);
  key = CreateKey(HKEY_LOCAL_MACHINE, kWriterKey);
  EXPECT_EQ(NameAt(key.Get(), 0), Widen("m1"));
  ASSERT_EQ(RunWriter("'Software\\KelmyrHiveTest\\a0' v 1"), 0);
  EXPECT_EQ(NameAt(key.Get(), 1), Widen("m1"));
  EXPECT_EQ(NameAt(key.Get(), 2), Widen("m2"));

  // The same for values, also after the step that answered the last one.
  key = CreateKey(HKEY_LOCAL_MACHINE, kWriterKey + std::string("\\m1"));
  EXPECT_EQ(NameAt(key.Get(), 0, true), Widen("v0"));
  ASSERT_EQ(RunWriter("'Software\\KelmyrHiveTest\\m1' w 1"), 0);
  EXPECT_EQ(NameAt(key.Get(), 1, true), Widen("w0"));
}

// Files that are no hive, and a hive whose pages after the header page are
// overwritten, are refused untouched.
TEST_F(RegistryHive, FilesThatAreNoHiveOrDamagedAreRefusedUntouched) {
  const std::vector<std::function<void(const std::string&)>> makers = {
      [](const std::string& path) { WriteFile(path, std::string(8192, 'x')); },

      [](const std::string& path) {
        sqlite3* pDb = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &pDb), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(pDb, "CREATE TABLE notes(t); INSERT INTO notes VALUES('mine')",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(pDb);
      },
      // A hive all in its file, everything after its header page overwritten.
      [](const std::string& path) {
        ASSERT_EQ(RunWriter("'Software\\KelmyrHiveTest' v 200"), 0);
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
        std::string bytes = ReadFile(path);
        for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
        WriteFile(path, bytes);
      },
  };
  for (const auto& make : makers) {
    CScratchHive hive;
    make(hive.Path());
    const std::string before = ReadFile(hive.Path());
    Values values;
    EXPECT_EQ(ReadWriterValues(&values), ERROR_BADDB);
    CScopedHKEY key;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen("Software\\New").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
              ERROR_BADDB);
    EXPECT_EQ(ReadFile(hive.Path()), before);
    EXPECT_FALSE(std::filesystem::exists(hive.Path() + "-wal"));
  }
}

// Reads, writes that change nothing and a flush leave a missing hive
// missing; the first write creates it for its owner alone.
TEST_F(RegistryHive, OnlyAWriteCreatesTheHiveAndForItsOwnerAlone) {
  const HKEY k = HKEY_LOCAL_MACHINE;
  const WString path = Widen(kWriterKey);
  const WString name = Widen("LogFile");
  BYTE data[8];
  DWORD cb = sizeof data;
  CScopedHKEY key;
  for (LONG l : {RegOpenKeyExW(k, path.c_str(), 0, KEY_READ, key.Receive()),
                 RegQueryValueExW(k, name.c_str(), nullptr, nullptr, data, &cb),
                 RegDeleteValueW(k, name.c_str()), RegFlushKey(k)}) {
    EXPECT_EQ(l, ERROR_FILE_NOT_FOUND);
  }
  EXPECT_FALSE(std::filesystem::exists(m_hive.Path()));

  const mode_t previous = umask(0);
  const LONG l =
      RegCreateKeyExW(k, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), 0);
  umask(previous);
  ASSERT_EQ(l, ERROR_SUCCESS);
  for (const char* pszSuffix : {"", "-wal", "-shm"}) {
    struct stat st {};
    ASSERT_EQ(stat((m_hive.Path() + pszSuffix).c_str(), &st), 0) << pszSuffix;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << pszSuffix;
  }

  // A folder named for the hive that is missing is reported as such.
  const std::string folder = m_hive.Path() + ".d";
  setenv("KELMYR_REGISTRY", (folder + "/registry.db").c_str(), 1);
  EXPECT_EQ(
      RegCreateKeyExW(k, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), 0),
      ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(folder));
}

// A program with raised privileges (here set-user-ID to another account)
// ignores the caller's KELMYR_REGISTRY: the file it names is never created.
TEST_F(RegistryHive, ARaisedPrivilegeProcessIgnoresTheCallersHive) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID program";
  const std::string program = m_hive.Path() + ".writer";
  std::filesystem::copy_file(::testing::internal::GetArgvs()[0], program);
  ASSERT_EQ(chown(program.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(program.c_str(), 04755), 0);
  EXPECT_NE(Finish(StartWriter("'Software\\X' v 1", program)), 0);
  EXPECT_FALSE(std::filesystem::exists(m_hive.Path()));
  std::filesystem::remove(program);
}

// A child forked from a process with the hive open refuses the registry,
// also when another thread was inside a registry call at the fork.
TEST_F(RegistryHive, AForkedChildRefusesTheRegistryUntilItExecs) {
  const CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, kWriterKey);
  ASSERT_NE(key.Get(), nullptr);
  std::atomic<bool> bStop{false};
  std::thread busy([&] {
    DWORD cValues = 0;
    while (!bStop) {
      RegQueryInfoKeyW(key.Get(), 0, 0, 0, 0, 0, 0, &cValues, 0, 0, 0, 0);
    }
  });
  for (int i = 0; i < 20; ++i) {
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10);  // a child stuck on a lock fails rather than hangs
      HKEY h = nullptr;
      const LONG l1 = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kWriterKey).c_str(), 0, KEY_READ, &h);
      const LONG l2 = RegSetValueExW(key.Get(), Widen("v").c_str(), 0, REG_NONE, nullptr, 0);
      _exit(l1 == ERROR_NOT_SUPPORTED && l2 == ERROR_NOT_SUPPORTED ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "fork " << i;
  }
  bStop = true;
  busy.join();
}

// The writer the tests above run, in a process of its own: values
// <prefix>0.. (REG_QWORD i) below HKEY_LOCAL_MACHINE\<key> of the hive
// KELMYR_REGISTRY names, then the hive flushed into its file; with the count
// "forever" until killed, reporting its process id and then each index once
// committed.
TEST(HiveWriter, DISABLED_Write) {
  const std::vector<std::string>& argv = ::testing::internal::GetArgvs();
  ASSERT_GE(argv.size(), 4u);
  const bool bForever = argv.back() == "forever";
  const CScopedHKEY key = CreateKey(HKEY_LOCAL_MACHINE, argv[argv.size() - 3]);
  if (bForever) std::fprintf(stderr, "%ld\n", static_cast<long>(GetCurrentProcessId()));
  for (ULONGLONG i = 0; bForever || i < std::stoull(argv.back()); ++i) {
    ASSERT_EQ(RegSetValueExW(key.Get(), Widen(argv[argv.size() - 2] + std::to_string(i)).c_str(), 0,
                             REG_QWORD, reinterpret_cast<const BYTE*>(&i), sizeof i),
              ERROR_SUCCESS);
    if (bForever) std::fprintf(stderr, "%llu\n", static_cast<unsigned long long>(i));
  }
  EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

}  // namespace
