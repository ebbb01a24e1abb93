// The native hive as a file shared by processes: it survives the process
// that wrote it, two processes writing at once lose nothing, a writer
// killed mid-way leaves a readable hive, and a file that is not a hive (or
// a damaged one) is refused without being touched.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <winreg.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/registry_test_key.h"
#include "support/scopedhkey.h"

extern char** environ;

namespace {

const char kWriterKey[] = "Software\\KelmyrHiveTest";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// A hive_writer process; its standard output can be read through a pipe.
class CWriter {
 public:
  explicit CWriter(std::vector<std::string> args, bool bPipeOutput = false) {
    std::vector<char*> argv;
    static char szProgram[] = KELMYR_HIVE_WRITER;
    argv.push_back(szProgram);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (bPipeOutput && pipe(fds) == 0) {
      posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
      posix_spawn_file_actions_addclose(&actions, fds[0]);
      posix_spawn_file_actions_addclose(&actions, fds[1]);
    }
    if (posix_spawn(&m_pid, szProgram, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (fds[1] >= 0) close(fds[1]);
    if (fds[0] >= 0) m_pOutput = fdopen(fds[0], "r");
  }
  ~CWriter() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      Wait();
    }
    if (m_pOutput != nullptr) std::fclose(m_pOutput);
  }
  CWriter(const CWriter&) = delete;
  CWriter& operator=(const CWriter&) = delete;

  bool Started() const { return m_pid > 0; }
  // The next index the writer reports as committed; -1 at the end.
  long long NextCommitted() {
    unsigned long long i = 0;
    return m_pOutput != nullptr && std::fscanf(m_pOutput, "%llu", &i) == 1
               ? static_cast<long long>(i)
               : -1;
  }
  void Kill() { kill(m_pid, SIGKILL); }
  // The exit status (exit code, or 128 + signal).
  int Wait() {
    int status = 0;
    if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid) return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t m_pid = -1;
  FILE* m_pOutput = nullptr;
};

// The REG_QWORD values of the writer's key, by name; false when the key
// cannot be read.
bool ReadWriterValues(std::vector<std::pair<WString, ULONGLONG>>* pValues, LONG* pl) {
  CScopedHKEY key;
  *pl = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kWriterKey).c_str(), 0, KEY_READ, key.Receive());
  if (*pl != ERROR_SUCCESS) return false;
  for (DWORD i = 0;; ++i) {
    WCHAR szName[64];
    DWORD cch = 64;
    ULONGLONG value = 0;
    DWORD cb = sizeof value;
    DWORD dwType = 0;
    *pl = RegEnumValueW(key.Get(), i, szName, &cch, nullptr, &dwType,
                        reinterpret_cast<BYTE*>(&value), &cb);
    if (*pl == ERROR_NO_MORE_ITEMS) break;
    if (*pl != ERROR_SUCCESS || dwType != REG_QWORD || cb != sizeof value) return false;
    pValues->emplace_back(WString(szName, cch), value);
  }
  *pl = ERROR_SUCCESS;
  return true;
}

class RegistryHive : public ::testing::Test {
 protected:
  CScratchHive m_hive;
};

TEST_F(RegistryHive, SurvivesTheProcessThatWroteIt) {
  CWriter writer({"write", kWriterKey, "v", "50"});
  ASSERT_TRUE(writer.Started());
  ASSERT_EQ(writer.Wait(), 0);

  std::vector<std::pair<WString, ULONGLONG>> values;
  LONG l = ERROR_SUCCESS;
  ASSERT_TRUE(ReadWriterValues(&values, &l)) << l;
  ASSERT_EQ(values.size(), 50u);
  for (ULONGLONG i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].first, Widen("v" + std::to_string(i)));
    EXPECT_EQ(values[i].second, i);
  }

  // And what this process writes, a later process reads.
  CScopedHKEY key;
  ASSERT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen(kWriterKey).c_str(), 0, KEY_SET_VALUE, key.Receive()),
      ERROR_SUCCESS);
  const ULONGLONG answer = 4242;
  ASSERT_EQ(RegSetValueExW(key.Get(), Widen("answer").c_str(), 0, REG_QWORD,
                           reinterpret_cast<const BYTE*>(&answer), sizeof answer),
            ERROR_SUCCESS);
  CWriter checker({"check", kWriterKey, "answer", "4242"});
  EXPECT_EQ(checker.Wait(), 0);
}

TEST_F(RegistryHive, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kEach = 300;
  CWriter first({"write", kWriterKey, "a", std::to_string(kEach)});
  CWriter second({"write", kWriterKey, "b", std::to_string(kEach)});
  ASSERT_TRUE(first.Started() && second.Started());
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(second.Wait(), 0);

  std::vector<std::pair<WString, ULONGLONG>> values;
  LONG l = ERROR_SUCCESS;
  ASSERT_TRUE(ReadWriterValues(&values, &l)) << l;
  EXPECT_EQ(values.size(), 2u * kEach);
  // Each writer's values appear in its own order (creation order).
  ULONGLONG nextA = 0;
  ULONGLONG nextB = 0;
  for (const auto& [name, value] : values) {
    ULONGLONG& next = name[0] == 'a' ? nextA : nextB;
    EXPECT_EQ(value, next);
    EXPECT_EQ(name.substr(1), Widen(std::to_string(next)));
    ++next;
  }
  EXPECT_EQ(nextA, static_cast<ULONGLONG>(kEach));
  EXPECT_EQ(nextB, static_cast<ULONGLONG>(kEach));
}

TEST_F(RegistryHive, KilledWriterLeavesAReadableHive) {
  CWriter writer({"write", kWriterKey, "k", "forever"}, true);
  ASSERT_TRUE(writer.Started());
  long long committed = -1;
  while (committed < 40) {
    const long long next = writer.NextCommitted();
    ASSERT_GE(next, 0) << "the writer stopped early";
    committed = next;
  }
  writer.Kill();
  EXPECT_EQ(writer.Wait(), 128 + SIGKILL);

  std::vector<std::pair<WString, ULONGLONG>> values;
  LONG l = ERROR_SUCCESS;
  ASSERT_TRUE(ReadWriterValues(&values, &l)) << l;
  // Every reported commit is there, and what is there is whole and in order.
  ASSERT_GE(values.size(), static_cast<size_t>(committed + 1));
  for (ULONGLONG i = 0; i < values.size(); ++i) {
    EXPECT_EQ(values[i].first, Widen("k" + std::to_string(i)));
    EXPECT_EQ(values[i].second, i);
  }
  // The hive takes writes again.
  CScopedHKEY key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen("Software\\After").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
            ERROR_SUCCESS);
}

TEST_F(RegistryHive, AFileThatIsNoHiveIsRefusedUntouched) {
  const std::string garbage(8192, 'x');
  WriteFile(m_hive.Path(), garbage);
  CScopedHKEY key;
  EXPECT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen("Software").c_str(), 0, KEY_READ, key.Receive()),
      ERROR_BADDB);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen("Software\\New").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
            ERROR_BADDB);
  EXPECT_EQ(ReadFile(m_hive.Path()), garbage);
  EXPECT_FALSE(std::filesystem::exists(m_hive.Path() + "-wal"));
}

TEST_F(RegistryHive, SomeoneElsesDatabaseIsRefusedUntouched) {
  sqlite3* pDb = nullptr;
  ASSERT_EQ(sqlite3_open(m_hive.Path().c_str(), &pDb), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(pDb, "CREATE TABLE notes(text); INSERT INTO notes VALUES('mine')", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(pDb);
  const std::string before = ReadFile(m_hive.Path());

  CScopedHKEY key;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, Widen("Software\\New").c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr),
            ERROR_BADDB);
  EXPECT_EQ(ReadFile(m_hive.Path()), before);
}

TEST_F(RegistryHive, ADamagedHiveFailsCleanly) {
  {
    CWriter writer({"write", kWriterKey, "v", "200"});
    ASSERT_EQ(writer.Wait(), 0);
    CWriter flusher({"flush"});
    ASSERT_EQ(flusher.Wait(), 0);
  }
  // Everything is in the hive file now; the log goes, and every page after
  // the header page is overwritten.
  std::remove((m_hive.Path() + "-wal").c_str());
  std::remove((m_hive.Path() + "-shm").c_str());
  std::string bytes = ReadFile(m_hive.Path());
  ASSERT_GT(bytes.size(), 4096u);
  for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0xA5);
  WriteFile(m_hive.Path(), bytes);

  std::vector<std::pair<WString, ULONGLONG>> values;
  LONG l = ERROR_SUCCESS;
  EXPECT_FALSE(ReadWriterValues(&values, &l));
  EXPECT_EQ(l, ERROR_BADDB);
}

TEST(RegistryHiveLocation, ANamedHiveInAMissingFolderIsReported) {
  const std::string folder = (std::filesystem::temp_directory_path() /
                              ("kelmyr-no-such-folder-" + std::to_string(getpid())))
                                 .string();
  setenv("KELMYR_REGISTRY", (folder + "/registry.db").c_str(), 1);
  CScopedHKEY key;
  EXPECT_EQ(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, Widen("Software").c_str(), 0, KEY_READ, key.Receive()),
      ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(std::filesystem::exists(folder));
  unsetenv("KELMYR_REGISTRY");
}

}  // namespace
