// The key files of the native data protection functions: where they are,
// who may read them, their creation by racing threads, the memory that
// holds them, and the stability of the key file and blob formats.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/dpapi_test_keys.h"
#include "dpapi_keys.h"

namespace fs = std::filesystem;
using kelmyr::winapi::dpapi::EKeyScope;
using kelmyr::winapi::dpapi::KeyLocationFrom;
using kelmyr::winapi::dpapi::SKeyLocation;

namespace {

constexpr size_t kKeyFileBytes = 60;

// Seals three bytes: 0 with the blob, or the last error.
DWORD Protect(DWORD dwFlags, Bytes* pBlob = nullptr) {
  return SealData({1, 2, 3}, OLESTR("t"), {}, dwFlags, pBlob);
}
DWORD Unprotect(const Bytes& blob) { return OpenData(blob, {}, kUserFlags); }

std::vector<fs::path> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files(fs::directory_iterator(folder), fs::directory_iterator{});
  std::sort(files.begin(), files.end());
  return files;
}

// The user's key file sorts after "machine.key".
fs::path UserKeyFile(const fs::path& folder) { return FilesIn(folder).back(); }

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(DpapiKeyLocation, RedirectionStateFolderAndSystemFolder) {
  // {scope, the keys variable, euid, state folder, home, key file (null:
  // no location)}
  const std::tuple<EKeyScope, const char*, uid_t, const char*, const char*, const char*> rows[] = {
      {EKeyScope::kUser, "/tmp/k/", 1000, "/state", "/home/u", "/tmp/k/user-S-x.key"},
      {EKeyScope::kMachine, "/tmp/k", 1000, nullptr, nullptr, "/tmp/k/machine.key"},
      {EKeyScope::kUser, nullptr, 1000, "/state", "/home/u", "/state/kelmyr/dpapi/user-S-x.key"},
      // A relative state folder is ignored, as the state folder convention
      // says.
      {EKeyScope::kUser, "", 1000, "state", "/home/u",
       "/home/u/.local/state/kelmyr/dpapi/user-S-x.key"},
      {EKeyScope::kUser, nullptr, 1000, nullptr, nullptr, nullptr},
      {EKeyScope::kUser, nullptr, 0, "/state", "/root", "/var/lib/kelmyr/dpapi/user-S-x.key"},
      {EKeyScope::kMachine, nullptr, 1000, "/state", "/home/u",
       "/var/lib/kelmyr/dpapi/machine.key"},
  };
  for (const auto& [scope, pszKeys, euid, pszState, pszHome, pszFile] : rows) {
    SKeyLocation location;
    ASSERT_EQ(KeyLocationFrom(scope, pszKeys, euid, pszState, pszHome, "S-x", &location),
              pszFile != nullptr);
    EXPECT_EQ(pszFile ? location.file + "|" + location.folder : "",
              pszFile ? std::string(pszFile) + "|" + fs::path(pszFile).parent_path().string() : "");
  }
}

class DpapiKeyFiles : public ::testing::Test {
 protected:
  CDpapiTestKeys m_keys;
  fs::path Folder() const { return m_keys.Folder(); }
};

// A key file others could read, a link in its place or a damaged file is
// refused for sealing and opening alike, and never rewritten.
TEST_F(DpapiKeyFiles, UnsafeOrDamagedKeyFilesAreRefusedAndKept) {
  Bytes blob;
  ASSERT_EQ(Protect(kUserFlags, &blob), 0u);
  const fs::path key = UserKeyFile(Folder());
  const std::string bytes = ReadFile(key);
  const fs::path moved = Folder() / "elsewhere";
  const struct {
    std::function<void()> spoil;
    DWORD dwError;
  } rows[] = {
      {[&] { chmod(key.c_str(), 0640); }, ERROR_ACCESS_DENIED},
      {[&] { fs::rename(key, moved), fs::create_symlink(moved, key); }, ERROR_ACCESS_DENIED},
      {[&] { WriteFile(key, bytes.substr(0, kKeyFileBytes - 1)); }, DWORD{ERROR_INVALID_DATA}},
      {[&] { WriteFile(key, "X" + bytes.substr(1)); }, DWORD{ERROR_INVALID_DATA}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    rows[i].spoil();
    const std::string spoilt = ReadFile(key);
    EXPECT_EQ(Protect(kUserFlags), rows[i].dwError) << i;
    EXPECT_EQ(Unprotect(blob), rows[i].dwError) << i;
    EXPECT_EQ(ReadFile(key), spoilt) << i;
    fs::remove(key);
    WriteFile(key, bytes);
    chmod(key.c_str(), 0600);
    EXPECT_EQ(Unprotect(blob), 0u) << i;
  }
}

// Opening does not create a key; sealing does, a new one, which the cache
// notices. Another account's keys open nothing of this one. With more keys than the cache's page
// holds, each key in use stays right while the oldest give up their slots and are read from their
// files again.
TEST_F(DpapiKeyFiles, TheCacheFollowsTheKeyFiles) {
  Bytes oldBlob;
  Bytes first;
  ASSERT_EQ(Protect(kUserFlags, &oldBlob), 0u);
  ASSERT_EQ(Unprotect(oldBlob), 0u);
  fs::remove(UserKeyFile(Folder()));
  EXPECT_EQ(Unprotect(oldBlob), DWORD{ERROR_INVALID_DATA});
  EXPECT_TRUE(FilesIn(Folder()).empty());
  ASSERT_EQ(Protect(kUserFlags, &first), 0u);
  EXPECT_EQ(Unprotect(oldBlob), DWORD{ERROR_INVALID_DATA});
  for (int i = 0; i < 100; ++i) {
    CDpapiTestKeys other;
    Bytes blob;
    ASSERT_EQ(Protect(kUserFlags, &blob), 0u);
    ASSERT_EQ(Unprotect(blob), 0u) << i;
    ASSERT_EQ(Unprotect(first), DWORD{ERROR_INVALID_DATA}) << i;
  }
  EXPECT_EQ(Unprotect(first), 0u);
}

// Of the keys threads create at once, in folders still missing, one of each
// scope gets the name and all use it; folders and files are the owner's
// alone.
TEST_F(DpapiKeyFiles, ThreadsRacingOnFirstUseAgreeOnOwnerOnlyKeys) {
  for (int round = 0; round < 5; ++round) {
    CDpapiTestKeys fresh;
    const fs::path nested = fs::path(fresh.Folder()) / "a" / "b";
    setenv("KELMYR_DPAPI_KEYS", nested.c_str(), 1);
    std::vector<Bytes> blobs(8);
    std::vector<DWORD> results(blobs.size(), 1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < blobs.size(); ++i) {
      const DWORD dwFlags = i % 2 ? kMachineFlags : kUserFlags;
      threads.emplace_back([&, i, dwFlags] { results[i] = Protect(dwFlags, &blobs[i]); });
    }
    for (auto& t : threads) t.join();
    for (size_t i = 0; i < blobs.size(); ++i) {
      ASSERT_EQ(results[i], 0u);
      EXPECT_EQ(Unprotect(blobs[i]), 0u) << "round " << round << " thread " << i;
    }
    const fs::path userKey = UserKeyFile(nested);
    EXPECT_EQ(FilesIn(nested), (std::vector<fs::path>{nested / "machine.key", userKey}));
    EXPECT_EQ(userKey.filename().string().rfind("user-S-1-5-", 0), 0u) << userKey;
    for (const fs::path& path : {nested.parent_path(), nested, nested / "machine.key", userKey}) {
      struct stat st;
      ASSERT_EQ(lstat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << path;
    }
  }
}

// After sealing and opening, the key is held only in memory that is locked
// ("lo") and left out of core dumps ("dd"): the cache keeps it there, and
// neither the thread's cipher context nor any buffer keeps a copy
// elsewhere. Memory is read through /proc/self/mem (poisoned heap too); the
// needle and the buffer it is read into are skipped.
TEST_F(DpapiKeyFiles, KeysStayInLockedMemoryLeftOutOfCoreDumps) {
  Bytes blob;
  ASSERT_EQ(Protect(kUserFlags, &blob), 0u);
  ASSERT_EQ(Unprotect(blob), 0u);
  // The needle and the buffer memory is read into share one mapping made
  // before the mappings are listed: a buffer mapped per mapping could land
  // where listed memory was freed meanwhile and then be read as that
  // memory, with a copy of a key.
  constexpr size_t kKey = 32;
  constexpr size_t kChunk = size_t{1} << 20;
  char* const pNeedle = static_cast<char*>(
      mmap(nullptr, kKey + kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pNeedle, MAP_FAILED);
  char* const pBuffer = pNeedle + kKey;
  const int fdKey = open(UserKeyFile(Folder()).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(pread(fdKey, pNeedle, kKey, kKeyFileBytes - kKey), static_cast<ssize_t>(kKey));
  close(fdKey);
  std::stringstream smaps;
  smaps << std::ifstream("/proc/self/smaps").rdbuf();
  const int fdMem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  std::vector<std::string> holders;
  std::string line;
  unsigned long begin = 0, end = 0, b = 0, e = 0;
  char perms[5] = {}, p[5] = {};
  while (std::getline(smaps, line)) {
    // Fields such as "Anonymous:" start like a hex number: only a full
    // header line names a mapping.
    if (std::sscanf(line.c_str(), "%lx-%lx %4s", &b, &e, p) == 3) {
      begin = b, end = e;
      std::memcpy(perms, p, sizeof p);
      continue;
    }
    // The sanitizers' shadow reservations are far larger and hold no data.
    if (line.rfind("VmFlags:", 0) != 0 || std::strcmp(perms, "rw-p") != 0 ||
        end - begin >= (1ul << 30)) {
      continue;
    }
    // Chunks overlap by a key's length, so that no key is cut in two.
    for (unsigned long at = begin; at < end; at += kChunk - kKey) {
      const ssize_t cb =
          pread(fdMem, pBuffer, std::min<unsigned long>(kChunk, end - at), static_cast<off_t>(at));
      for (char* q = pBuffer;
           cb > 0 && (q = static_cast<char*>(memmem(q, pBuffer + cb - q, pNeedle, kKey))); ++q) {
        if (at + (q - pBuffer) - reinterpret_cast<uintptr_t>(pNeedle) >= kKey + kChunk)
          holders.push_back(line);
      }
      if (end - at <= kChunk) break;
    }
  }
  close(fdMem);
  std::memset(pNeedle, 0, kKey + kChunk);
  munmap(pNeedle, kKey + kChunk);
  ASSERT_FALSE(holders.empty());
  for (const std::string& flags : holders) {
    EXPECT_TRUE(flags.find(" lo") != std::string::npos && flags.find(" dd") != std::string::npos)
        << flags;
  }
}

// A machine key file and a blob sealed with it by this layer: both formats
// (version 1) must stay readable by every later build. The key file: magic,
// version 1, key id 0x10..0x1F, key 0x20..0x3F. The blob: header (version
// 1, machine key, that key id, nonce, description length 6), "UI1", the 12
// bytes of ciphertext of "golden value" and the tag, with the entropy "ent".
TEST_F(DpapiKeyFiles, BlobsOfFormatVersionOneStayReadable) {
  std::string keyFile = "KLMYRDPK";
  keyFile += std::string("\x01\0\0\0", 4);
  for (int b = 0x10; b < 0x40; ++b) keyFile.push_back(static_cast<char>(b));
  const fs::path file = Folder() / "machine.key";
  WriteFile(file, keyFile);
  chmod(file.c_str(), 0600);
  const Bytes blob = {
      0x4B, 0x44, 0x50, 0x42, 0x01, 0x02, 0x00, 0x00, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
      0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x41, 0xBB, 0x4E, 0xFE, 0x1C, 0x43,
      0xFF, 0xB5, 0x42, 0x18, 0x48, 0xF2, 0x06, 0x00, 0x00, 0x00, 0x55, 0x00, 0x49, 0x00, 0x31,
      0x00, 0x44, 0x6F, 0x74, 0x88, 0x3D, 0x22, 0x1B, 0xAF, 0xBC, 0x8F, 0x68, 0xEE, 0xFE, 0x9B,
      0xED, 0x55, 0x49, 0x2A, 0x5F, 0x47, 0xDC, 0x0A, 0xD9, 0xDB, 0x6D, 0xEF, 0xCF, 0xC9,
  };
  Bytes plain;
  ASSERT_EQ(OpenData(blob, {'e', 'n', 't'}, kUserFlags, &plain), 0u);
  EXPECT_EQ(std::string(plain.begin(), plain.end()), "golden value");
}

}  // namespace
