// The key files of the native data protection functions: where they are,
// who may read them, their creation by racing threads and processes, and
// the stability of the key file and blob formats.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/dpapi_test_keys.h"
#include "dpapi_keys.h"

namespace fs = std::filesystem;
using kelmyr::winapi::dpapi::EKeyScope;
using kelmyr::winapi::dpapi::KeyLocationFrom;
using kelmyr::winapi::dpapi::SKeyLocation;

namespace {

constexpr DWORD kUserFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;
constexpr DWORD kMachineFlags = kUserFlags | CRYPTPROTECT_LOCAL_MACHINE;
constexpr uintmax_t kKeyFileBytes = 60;

using Bytes = std::vector<BYTE>;

// The last error, or 0 with the blob.
DWORD Protect(DWORD dwFlags, Bytes* pBlob = nullptr) {
  BYTE data[] = {1, 2, 3};
  DATA_BLOB in{sizeof data, data};
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, u"t", nullptr, nullptr, nullptr, dwFlags, &out)) {
    return GetLastError();
  }
  if (pBlob != nullptr) pBlob->assign(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return 0;
}

DWORD Unprotect(Bytes blob, Bytes* pPlain = nullptr, const Bytes& entropy = {}) {
  DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
  Bytes entropyCopy = entropy;
  DATA_BLOB ent{static_cast<DWORD>(entropyCopy.size()), entropyCopy.data()};
  DATA_BLOB out{0, nullptr};
  if (!CryptUnprotectData(&in, nullptr, entropy.empty() ? nullptr : &ent, nullptr, nullptr,
                          kUserFlags, &out)) {
    return GetLastError();
  }
  if (pPlain != nullptr) pPlain->assign(out.pbData, out.pbData + out.cbData);
  LocalFree(out.pbData);
  return 0;
}

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

fs::path UserKeyFile(const fs::path& folder) {
  for (const fs::path& file : FilesIn(folder)) {
    const std::string name = file.filename().string();
    if (name.rfind("user-S-1-5-", 0) == 0 && file.extension() == ".key") return file;
  }
  return {};
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(DpapiKeyLocation, RedirectionStateFolderAndSystemFolder) {
  SKeyLocation location;
  ASSERT_TRUE(KeyLocationFrom(EKeyScope::kUser, "/tmp/k/", 1000, "/state", "/home/u",
                              "S-1-5-21-1-2-3-3000", &location));
  EXPECT_EQ(location.folder, "/tmp/k");
  EXPECT_EQ(location.file, "/tmp/k/user-S-1-5-21-1-2-3-3000.key");
  ASSERT_TRUE(
      KeyLocationFrom(EKeyScope::kMachine, "/tmp/k", 1000, nullptr, nullptr, "S", &location));
  EXPECT_EQ(location.file, "/tmp/k/machine.key");

  ASSERT_TRUE(
      KeyLocationFrom(EKeyScope::kUser, nullptr, 1000, "/state", "/home/u", "S-x", &location));
  EXPECT_EQ(location.file, "/state/kelmyr/dpapi/user-S-x.key");
  // A relative state folder is ignored, as the state folder convention says.
  ASSERT_TRUE(KeyLocationFrom(EKeyScope::kUser, "", 1000, "state", "/home/u", "S-x", &location));
  EXPECT_EQ(location.file, "/home/u/.local/state/kelmyr/dpapi/user-S-x.key");
  EXPECT_FALSE(
      KeyLocationFrom(EKeyScope::kUser, nullptr, 1000, nullptr, nullptr, "S-x", &location));

  ASSERT_TRUE(
      KeyLocationFrom(EKeyScope::kUser, nullptr, 0, "/state", "/root", "S-1-5-18", &location));
  EXPECT_EQ(location.file, "/var/lib/kelmyr/dpapi/user-S-1-5-18.key");
  ASSERT_TRUE(
      KeyLocationFrom(EKeyScope::kMachine, nullptr, 1000, "/state", "/home/u", "S-x", &location));
  EXPECT_EQ(location.file, "/var/lib/kelmyr/dpapi/machine.key");
}

class DpapiKeyFiles : public ::testing::Test {
 protected:
  CDpapiTestKeys m_keys;
  fs::path Folder() const { return m_keys.Folder(); }
};

TEST_F(DpapiKeyFiles, FirstSealCreatesOwnerOnlyKeyFilesInMissingFolders) {
  const fs::path nested = Folder() / "a" / "b";
  setenv("KELMYR_DPAPI_KEYS", nested.c_str(), 1);
  ASSERT_EQ(Protect(kUserFlags), 0u);
  ASSERT_EQ(Protect(kMachineFlags), 0u);
  const fs::path userKey = UserKeyFile(nested);
  ASSERT_FALSE(userKey.empty());
  EXPECT_EQ(FilesIn(nested), (std::vector<fs::path>{nested / "machine.key", userKey}));
  for (const fs::path& file : FilesIn(nested)) {
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(fs::file_size(file), kKeyFileBytes);
  }
  for (const fs::path& folder : {Folder() / "a", nested}) {
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }
  // The keys stay: sealing again uses them.
  const std::string before = ReadFile(userKey);
  ASSERT_EQ(Protect(kUserFlags), 0u);
  EXPECT_EQ(ReadFile(userKey), before);
}

TEST_F(DpapiKeyFiles, KeyFilesOthersCouldReadOrReplaceAreRefusedAndKept) {
  Bytes blob;
  ASSERT_EQ(Protect(kUserFlags, &blob), 0u);
  const fs::path userKey = UserKeyFile(Folder());
  const std::string key = ReadFile(userKey);

  ASSERT_EQ(chmod(userKey.c_str(), 0644), 0);
  EXPECT_EQ(Protect(kUserFlags), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Unprotect(blob), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(chmod(userKey.c_str(), 0600), 0);
  EXPECT_EQ(Unprotect(blob), 0u);

  // A symbolic link in place of the key file is not followed.
  const fs::path moved = Folder() / "elsewhere.key";
  fs::rename(userKey, moved);
  fs::create_symlink(moved, userKey);
  EXPECT_EQ(Protect(kUserFlags), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Unprotect(blob), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(fs::is_symlink(userKey));
  EXPECT_EQ(ReadFile(moved), key);
}

TEST_F(DpapiKeyFiles, DamagedKeyFileFailsAndIsNeverRewritten) {
  Bytes blob;
  ASSERT_EQ(Protect(kMachineFlags, &blob), 0u);
  const fs::path machineKey = Folder() / "machine.key";
  std::string key = ReadFile(machineKey);
  for (const std::string& damaged : {key.substr(0, 59), key + "x", "X" + key.substr(1)}) {
    {
      std::ofstream out(machineKey, std::ios::binary | std::ios::trunc);
      out << damaged;
    }
    EXPECT_EQ(Protect(kMachineFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Unprotect(blob), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(ReadFile(machineKey), damaged);
  }
}

TEST_F(DpapiKeyFiles, KeyDeletedAndCreatedAgainIsNoticed) {
  Bytes oldBlob;
  ASSERT_EQ(Protect(kUserFlags, &oldBlob), 0u);
  ASSERT_EQ(Unprotect(oldBlob), 0u);
  fs::remove(UserKeyFile(Folder()));
  // Opening does not create a key; sealing does, a new one.
  EXPECT_EQ(Unprotect(oldBlob), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_TRUE(UserKeyFile(Folder()).empty());
  Bytes newBlob;
  ASSERT_EQ(Protect(kUserFlags, &newBlob), 0u);
  EXPECT_EQ(Unprotect(newBlob), 0u);
  EXPECT_EQ(Unprotect(oldBlob), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(DpapiKeyFiles, ThreadsRacingOnFirstUseAgreeOnOneKey) {
  for (int round = 0; round < 5; ++round) {
    CDpapiTestKeys fresh;
    constexpr int kThreads = 8;
    std::vector<Bytes> blobs(kThreads);
    std::vector<DWORD> results(kThreads, 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] { results[i] = Protect(kUserFlags, &blobs[i]); });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
      ASSERT_EQ(results[i], 0u);
      EXPECT_EQ(Unprotect(blobs[i]), 0u) << "round " << round << " thread " << i;
    }
    // One key file and no temporary file left behind.
    EXPECT_EQ(FilesIn(fresh.Folder()).size(), 1u);
  }
}

TEST_F(DpapiKeyFiles, ProcessesRacingOnFirstUseAgreeOnOneKey) {
  constexpr int kChildren = 4;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  std::vector<int> results;
  for (int i = 0; i < kChildren; ++i) {
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(go[1]);
      close(result[0]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(2);  // released when the pipe closes
      Bytes blob;
      if (Protect(kMachineFlags, &blob) != 0) _exit(3);
      const bool bWritten =
          write(result[1], blob.data(), blob.size()) == static_cast<ssize_t>(blob.size());
      _exit(bWritten ? 0 : 4);
    }
    close(result[1]);
    children.push_back(pid);
    results.push_back(result[0]);
  }
  close(go[0]);
  close(go[1]);  // all children start sealing at once
  Bytes parentBlob;
  EXPECT_EQ(Protect(kMachineFlags, &parentBlob), 0u);
  for (int i = 0; i < kChildren; ++i) {
    Bytes blob(4096);
    const ssize_t cb = read(results[i], blob.data(), blob.size());
    close(results[i]);
    int status = 0;
    ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_GT(cb, 0);
    blob.resize(static_cast<size_t>(cb));
    EXPECT_EQ(Unprotect(blob), 0u) << "child " << i;
  }
  EXPECT_EQ(Unprotect(parentBlob), 0u);
  EXPECT_EQ(FilesIn(Folder()), std::vector<fs::path>{Folder() / "machine.key"});
}

// The VmFlags lines ("lo" locked, "dd" left out of core dumps) of the
// private writable mappings of this process that hold the bytes, read
// through /proc/self/mem so that poisoned heap is readable too. The needle
// and the window the memory is read into lie in one mapping of the test's
// own, which is not searched.
class CMemorySearch {
 public:
  static constexpr size_t kWindow = size_t{1} << 20;
  CMemorySearch()
      : m_pb(static_cast<char*>(mmap(nullptr, kWindow + kNeedle, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
  ~CMemorySearch() {
    std::memset(m_pb, 0, kWindow + kNeedle);
    munmap(m_pb, kWindow + kNeedle);
  }
  // The needle's bytes, read straight from the file.
  bool ReadNeedle(const fs::path& file, off_t offset) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const bool bRead = fd >= 0 && pread(fd, m_pb + kWindow, kNeedle, offset) == kNeedle;
    if (fd >= 0) close(fd);
    return bRead;
  }
  std::vector<std::string> FlagsOfMappingsHolding() {
    std::vector<std::string> found;
    std::ifstream smaps("/proc/self/smaps");
    const int fd = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    const std::string_view needle(m_pb + kWindow, kNeedle);
    std::string line;
    unsigned long begin = 0;
    unsigned long end = 0;
    bool bScan = false;
    while (fd >= 0 && std::getline(smaps, line)) {
      char perms[5] = {};
      unsigned long b = 0;
      unsigned long e = 0;
      if (std::sscanf(line.c_str(), "%lx-%lx %4s", &b, &e, perms) == 3) {
        begin = b;
        end = e;
        // The sanitizers' shadow reservations are far larger than 1 GiB
        // and hold no data of ours.
        bScan = perms[0] == 'r' && perms[1] == 'w' && perms[3] == 'p' && e - b < (1ul << 30) &&
                b != reinterpret_cast<uintptr_t>(m_pb);
      } else if (line.rfind("VmFlags:", 0) == 0 && bScan && Holds(fd, begin, end, needle)) {
        found.push_back(line);
      }
    }
    if (fd >= 0) close(fd);
    return found;
  }

 private:
  static constexpr ssize_t kNeedle = 32;

  bool Holds(int fd, unsigned long begin, unsigned long end, std::string_view needle) {
    for (unsigned long at = begin; at < end; at += kWindow - kNeedle) {
      const size_t cb = std::min<unsigned long>(kWindow, end - at);
      const ssize_t cbRead = pread(fd, m_pb, cb, static_cast<off_t>(at));
      const bool bFound =
          cbRead > 0 && std::string_view(m_pb, static_cast<size_t>(cbRead)).find(needle) !=
                            std::string_view::npos;
      std::memset(m_pb, 0, cb);
      if (bFound) return true;
      if (cb < kWindow) break;
    }
    return false;
  }

  char* const m_pb;
};

// After sealing and opening, the key is held only in memory that is locked
// and left out of core dumps: the cache keeps it there, and neither the
// thread's cipher context nor any buffer keeps a copy elsewhere.
TEST_F(DpapiKeyFiles, KeysStayInLockedMemoryLeftOutOfCoreDumps) {
  Bytes blob;
  ASSERT_EQ(Protect(kUserFlags, &blob), 0u);
  ASSERT_EQ(Unprotect(blob), 0u);
  CMemorySearch search;
  ASSERT_TRUE(search.ReadNeedle(UserKeyFile(Folder()), kKeyFileBytes - 32));
  const std::vector<std::string> flags = search.FlagsOfMappingsHolding();
  ASSERT_FALSE(flags.empty());
  for (const std::string& line : flags) {
    EXPECT_NE(line.find(" lo"), std::string::npos) << line;
    EXPECT_NE(line.find(" dd"), std::string::npos) << line;
  }
}

// A machine key file and a blob sealed with it by this layer: both formats
// (version 1) must stay readable by every later build. The key file: magic,
// version 1, key id 0x10..0x1F, key 0x20..0x3F. The blob: header (version
// 1, machine key, that key id, nonce, description length 6), "UI1", the 12
// bytes of ciphertext of "golden value" and the tag, with the entropy "ent".
constexpr BYTE kGoldenKeyFile[kKeyFileBytes] = {
    0x4B, 0x4C, 0x4D, 0x59, 0x52, 0x44, 0x50, 0x4B, 0x01, 0x00, 0x00, 0x00, 0x10, 0x11, 0x12,
    0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21,
    0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30,
    0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
};
constexpr BYTE kGoldenBlob[] = {
    0x4B, 0x44, 0x50, 0x42, 0x01, 0x02, 0x00, 0x00, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
    0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x41, 0xBB, 0x4E, 0xFE, 0x1C, 0x43,
    0xFF, 0xB5, 0x42, 0x18, 0x48, 0xF2, 0x06, 0x00, 0x00, 0x00, 0x55, 0x00, 0x49, 0x00, 0x31,
    0x00, 0x44, 0x6F, 0x74, 0x88, 0x3D, 0x22, 0x1B, 0xAF, 0xBC, 0x8F, 0x68, 0xEE, 0xFE, 0x9B,
    0xED, 0x55, 0x49, 0x2A, 0x5F, 0x47, 0xDC, 0x0A, 0xD9, 0xDB, 0x6D, 0xEF, 0xCF, 0xC9,
};

TEST_F(DpapiKeyFiles, BlobsOfFormatVersionOneStayReadable) {
  {
    const fs::path file = Folder() / "machine.key";
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, kGoldenKeyFile, sizeof kGoldenKeyFile),
              static_cast<ssize_t>(sizeof kGoldenKeyFile));
    close(fd);
  }
  Bytes blob(std::begin(kGoldenBlob), std::end(kGoldenBlob));
  DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
  BYTE entropy[] = {'e', 'n', 't'};
  DATA_BLOB ent{sizeof entropy, entropy};
  DATA_BLOB out{0, nullptr};
  LPWSTR pszDescr = nullptr;
  ASSERT_TRUE(CryptUnprotectData(&in, &pszDescr, &ent, nullptr, nullptr, kUserFlags, &out))
      << GetLastError();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out.pbData), out.cbData), "golden value");
  EXPECT_EQ(std::u16string(pszDescr), u"UI1");
  LocalFree(out.pbData);
  LocalFree(pszDescr);
}

}  // namespace
