#include "dpapi_keys.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "accounts.h"
#include "platform/no_destructor.h"

namespace kelmyr::winapi::dpapi {
namespace {

// Key file: magic, format version (32-bit little-endian), key id, key.
constexpr BYTE kFileMagic[8] = {'K', 'L', 'M', 'Y', 'R', 'D', 'P', 'K'};
constexpr DWORD kFileVersion = 1;
constexpr size_t kFileBytes = sizeof kFileMagic + 4 + kKeyIdBytes + kKeyBytes;

constexpr const char kSystemFolder[] = "/var/lib/kelmyr/dpapi";

bool IsSet(const char* psz) { return psz != nullptr && psz[0] != '\0'; }

DWORD ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a symbolic link where a key file belongs
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_DATA;
  }
}

// Wipes a key buffer when it goes out of scope.
template <size_t N>
struct CWipedBytes {
  BYTE bytes[N];
  ~CWipedBytes() { OPENSSL_cleanse(bytes, N); }
};

// The identity of a key file as the cache knows it: a file replaced or
// deleted and created again is read anew.
struct SFileIdentity {
  dev_t dev;
  ino_t ino;
  struct timespec ctime;
  off_t size;

  bool operator==(const SFileIdentity& o) const {
    return dev == o.dev && ino == o.ino && ctime.tv_sec == o.ctime.tv_sec &&
           ctime.tv_nsec == o.ctime.tv_nsec && size == o.size;
  }
};

SFileIdentity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_ctim, st.st_size};
}

// Keys already read by this process, by file. A key file never changes once
// written, so the cache saves the read on every call; the identity check
// (one lstat) notices a file that was deleted and created again.
//
// The keys themselves live in one page of their own, locked in memory (never
// swapped) and excluded from core dumps; only paths and file identities are
// on the ordinary heap. When the page cannot be had, nothing is cached and
// every call reads its file. A full page gives its oldest slot to the next
// key, wiping it first.
class CKeyCache {
 public:
  CKeyCache() noexcept {
    const long cbPage = sysconf(_SC_PAGESIZE);
    if (cbPage <= 0) return;
    // Locked as it is mapped (MAP_LOCKED fails beyond the process's lock
    // limit), and by mlock too, which reports a page it could not lock.
    void* pv = mmap(nullptr, static_cast<size_t>(cbPage), PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_LOCKED, -1, 0);
    if (pv == MAP_FAILED) return;
    bool bReady = mlock(pv, static_cast<size_t>(cbPage)) == 0 &&
                  madvise(pv, static_cast<size_t>(cbPage), MADV_DONTDUMP) == 0;
    try {
      if (bReady) m_slotPaths.resize(static_cast<size_t>(cbPage) / sizeof(SKey));
    } catch (...) {
      bReady = false;
    }
    if (!bReady) {
      munmap(pv, static_cast<size_t>(cbPage));
      return;
    }
    m_pKeys = static_cast<SKey*>(pv);
  }

  bool Find(const std::string& path, const SFileIdentity& identity, SKey* pKey) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_entries.find(path);
    if (it == m_entries.end() || !(it->second.identity == identity)) return false;
    *pKey = m_pKeys[it->second.slot];
    return true;
  }

  void Store(const std::string& path, const SFileIdentity& identity, const SKey& key) noexcept {
    try {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_pKeys == nullptr) return;
      auto it = m_entries.find(path);
      if (it == m_entries.end()) {
        // Slots are handed out in turn, so the next one is always the
        // oldest: its key is wiped and its path forgotten first.
        const size_t slot = m_nextSlot;
        std::string& slotPath = m_slotPaths[slot];
        if (!slotPath.empty()) {
          OPENSSL_cleanse(&m_pKeys[slot], sizeof(SKey));
          m_entries.erase(slotPath);
          slotPath.clear();
        }
        it = m_entries.emplace(path, SEntry{identity, slot}).first;
        try {
          slotPath = path;
        } catch (...) {
          m_entries.erase(it);  // every entry's path stays with its slot
          throw;
        }
        m_nextSlot = (slot + 1) % m_slotPaths.size();
      }
      it->second.identity = identity;
      m_pKeys[it->second.slot] = key;
    } catch (...) {
      // Without a cache entry the file is read again next time.
    }
  }

 private:
  struct SEntry {
    SFileIdentity identity;
    size_t slot;
  };

  std::mutex m_lock;
  SKey* m_pKeys = nullptr;
  std::vector<std::string> m_slotPaths;  // the path of each slot's key, "" when free
  size_t m_nextSlot = 0;
  std::unordered_map<std::string, SEntry> m_entries;
};

// Built in static storage on first use and never destroyed: any thread may
// still seal or open while static objects are destroyed at exit.
CKeyCache& KeyCache() {
  static TNoDestructor<CKeyCache> cache;
  return *cache;
}

// Creates every missing folder of the path, each with mode 0700.
DWORD MakeFolders(const std::string& folder) {
  for (size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos != folder.size() && folder[pos] != '/') continue;
    const std::string prefix = folder.substr(0, pos);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return ErrorFromErrno(errno);
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return ErrorFromErrno(errno);
  return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_PATH_NOT_FOUND;
}

bool ReadAll(int fd, BYTE* p, size_t cb) {
  while (cb > 0) {
    const ssize_t n = read(fd, p, cb);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const BYTE* p, size_t cb) {
  while (cb > 0) {
    const ssize_t n = write(fd, p, cb);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

// Reads and checks a key file. ERROR_FILE_NOT_FOUND when it does not exist.
DWORD ReadKeyFile(const std::string& path, SKey* pKey) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return ErrorFromErrno(errno);
  if (KeyCache().Find(path, IdentityOf(st), pKey)) return ERROR_SUCCESS;

  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  DWORD dwError = ERROR_SUCCESS;
  CWipedBytes<kFileBytes> file;
  if (fstat(fd, &st) != 0) {
    dwError = ErrorFromErrno(errno);
  } else if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    // Someone else's file, or one others can read: not a key to trust.
    dwError = ERROR_ACCESS_DENIED;
  } else if (st.st_size != static_cast<off_t>(kFileBytes) || !ReadAll(fd, file.bytes, kFileBytes)) {
    dwError = ERROR_INVALID_DATA;
  }
  close(fd);
  if (dwError != ERROR_SUCCESS) return dwError;

  DWORD dwVersion = 0;
  std::memcpy(&dwVersion, file.bytes + sizeof kFileMagic, 4);
  if (std::memcmp(file.bytes, kFileMagic, sizeof kFileMagic) != 0 || dwVersion != kFileVersion) {
    return ERROR_INVALID_DATA;
  }
  std::memcpy(pKey->id, file.bytes + sizeof kFileMagic + 4, kKeyIdBytes);
  std::memcpy(pKey->key, file.bytes + sizeof kFileMagic + 4 + kKeyIdBytes, kKeyBytes);
  KeyCache().Store(path, IdentityOf(st), *pKey);
  return ERROR_SUCCESS;
}

// Creates the key file if it still does not exist. The new key is written
// to a private temporary file and then linked to its name, which fails when
// the name exists: of two processes or threads racing on first use exactly
// one key gets the name, and both go on with that one.
DWORD CreateKeyFile(const SKeyLocation& location) {
  DWORD dwError = MakeFolders(location.folder);
  if (dwError != ERROR_SUCCESS) return dwError;

  CWipedBytes<kFileBytes> file;
  std::memcpy(file.bytes, kFileMagic, sizeof kFileMagic);
  std::memcpy(file.bytes + sizeof kFileMagic, &kFileVersion, 4);
  BYTE nonce[8];
  if (RAND_bytes(file.bytes + sizeof kFileMagic + 4, kKeyIdBytes + kKeyBytes) != 1 ||
      RAND_bytes(nonce, sizeof nonce) != 1) {
    return ERROR_NO_SYSTEM_RESOURCES;
  }
  char suffix[2 * sizeof nonce + 1];
  for (size_t i = 0; i < sizeof nonce; ++i) {
    static constexpr char kHex[] = "0123456789abcdef";
    suffix[2 * i] = kHex[nonce[i] >> 4];
    suffix[2 * i + 1] = kHex[nonce[i] & 15];
  }
  suffix[sizeof suffix - 1] = '\0';
  const std::string temp = location.file + "." + suffix + ".tmp";

  const int fd =
      open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (fd < 0) return ErrorFromErrno(errno);
  // The umask may only have narrowed the mode; make it exactly 0600.
  bool bWritten =
      fchmod(fd, S_IRUSR | S_IWUSR) == 0 && WriteAll(fd, file.bytes, kFileBytes) && fsync(fd) == 0;
  if (!bWritten) dwError = ErrorFromErrno(errno);
  close(fd);
  if (bWritten && link(temp.c_str(), location.file.c_str()) != 0 && errno != EEXIST) {
    dwError = ErrorFromErrno(errno);
  }
  unlink(temp.c_str());
  if (dwError == ERROR_SUCCESS) {
    const int dirfd = open(location.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd >= 0) {
      fsync(dirfd);
      close(dirfd);
    }
  }
  return dwError;
}

// The SID text of the effective user, kept per thread for the last uid
// asked: it names the user key file on every call.
bool UserSidText(uid_t euid, const std::string** ppText) {
  struct SCached {
    bool bValid = false;
    uid_t uid = 0;
    std::string text;
  };
  static thread_local SCached cached;
  if (!cached.bValid || cached.uid != euid) {
    SAccountSid sid;
    if (!UserSid(euid, &sid)) return false;
    const std::u16string text = SidToString(sid);
    cached.text.assign(text.begin(), text.end());
    cached.uid = euid;
    cached.bValid = true;
  }
  *ppText = &cached.text;
  return true;
}

DWORD CurrentKeyLocation(EKeyScope scope, SKeyLocation* pLocation) {
  const uid_t euid = geteuid();
  const std::string* pUserSid = nullptr;
  if (!UserSidText(euid, &pUserSid)) return ERROR_NONE_MAPPED;
  const std::string& sUserSid = *pUserSid;
  std::string home;
  const bool bHome = HomeFolder(euid, &home);
  if (!KeyLocationFrom(scope, secure_getenv("KELMYR_DPAPI_KEYS"), euid,
                       secure_getenv("XDG_STATE_HOME"), bHome ? home.c_str() : nullptr, sUserSid,
                       pLocation)) {
    return ERROR_PATH_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

}  // namespace

bool KeyLocationFrom(EKeyScope scope, const char* pszKeysFolder, uid_t euid,
                     const char* pszStateHome, const char* pszHome, const std::string& sUserSid,
                     SKeyLocation* pLocation) {
  const std::string name =
      scope == EKeyScope::kMachine ? std::string("machine.key") : "user-" + sUserSid + ".key";
  std::string folder;
  if (IsSet(pszKeysFolder)) {
    folder = pszKeysFolder;
  } else if (scope == EKeyScope::kMachine || euid == 0) {
    folder = kSystemFolder;
  } else if (IsSet(pszStateHome) && pszStateHome[0] == '/') {
    folder = std::string(pszStateHome) + "/kelmyr/dpapi";
  } else if (IsSet(pszHome)) {
    folder = std::string(pszHome) + "/.local/state/kelmyr/dpapi";
  } else {
    return false;
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  pLocation->file = folder + "/" + name;
  pLocation->folder = std::move(folder);
  return true;
}

DWORD LoadKey(EKeyScope scope, bool bCreate, SKey* pKey) noexcept {
  try {
    SKeyLocation location;
    DWORD dwError = CurrentKeyLocation(scope, &location);
    if (dwError != ERROR_SUCCESS) return dwError;
    dwError = ReadKeyFile(location.file, pKey);
    if (dwError == ERROR_FILE_NOT_FOUND && bCreate) {
      dwError = CreateKeyFile(location);
      if (dwError == ERROR_SUCCESS) dwError = ReadKeyFile(location.file, pKey);
    }
    return dwError;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INVALID_DATA;
  }
}

}  // namespace kelmyr::winapi::dpapi
