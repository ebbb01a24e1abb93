#include "registry_handles.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kelmyr::winapi::registry {
namespace {

// First handle value, far from the predefined roots and from null; handles
// step by 4 as on Windows.
constexpr uintptr_t kFirstHandle = 0x10000;

// The open hives and the handles into them. A forked child abandons its
// parent's (deliberately leaked, since the SQLite connections in it belong
// to the parent) and starts afresh.
struct SProcessState {
  pid_t pid = getpid();
  std::map<std::string, std::shared_ptr<CHive>> hives;
  std::unordered_map<uintptr_t, SOpenKey> keys;
  uintptr_t nextHandle = kFirstHandle;
  SProcessState* pParentState = nullptr;  // kept reachable, never used
};

// Never destroyed: threads may use the registry while the process exits.
std::mutex& StateLock() {
  static auto* pLock = new std::mutex();
  return *pLock;
}
SProcessState* gpState = nullptr;
// The process that first opened a hive (0 before). A forked child sees its
// parent's id here and refuses.
std::atomic<pid_t> gHiveOpener{0};

// This process's id once read (0 before): every registry call asks for it,
// and getpid() is a system call each time. A forked child forgets it.
std::atomic<pid_t> gPid{0};

void LockForFork() { StateLock().lock(); }
void UnlockAfterFork() { StateLock().unlock(); }
void UnlockInChild() {
  gPid.store(0);
  StateLock().unlock();
}

pid_t CurrentPid() {
  static const int s_rcAtFork = pthread_atfork(LockForFork, UnlockAfterFork, UnlockInChild);
  (void)s_rcAtFork;
  pid_t pid = gPid.load();
  if (pid == 0) {
    pid = getpid();
    gPid.store(pid);
  }
  return pid;
}

// ERROR_NOT_SUPPORTED in a forked child whose parent had a hive open.
LONG CheckNotInheritedSqlite() {
  const pid_t opener = gHiveOpener.load();
  return opener == 0 || opener == CurrentPid() ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

// The state of this process; called with the state lock held.
SProcessState& State() {
  if (gpState == nullptr || gpState->pid != CurrentPid()) {
    auto* pState = new SProcessState();
    pState->pParentState = gpState;
    gpState = pState;
  }
  return *gpState;
}

}  // namespace

LONG CurrentHive(bool bCreate, std::shared_ptr<CHive>* ppHive) noexcept {
  try {
    SHiveLocation location;
    if (!CurrentHiveLocation(&location)) return ERROR_PATH_NOT_FOUND;
    const std::string& path = location.path;
    {
      std::lock_guard<std::mutex> lock(StateLock());
      SProcessState& state = State();
      auto it = state.hives.find(path);
      if (it != state.hives.end()) {
        *ppHive = it->second;
        return ERROR_SUCCESS;
      }
      pid_t none = 0;
      gHiveOpener.compare_exchange_strong(none, CurrentPid());
    }
    // Opening may wait for another process; it happens outside the lock,
    // and of two threads opening the same hive at once the first one stored
    // wins.
    std::shared_ptr<CHive> pHive;
    const LONG l = CHive::Open(path, location.bCreateFolder, bCreate, &pHive);
    if (l != ERROR_SUCCESS) return l;
    std::lock_guard<std::mutex> lock(StateLock());
    auto [it, bInserted] = State().hives.emplace(path, std::move(pHive));
    *ppHive = it->second;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool IsPredefinedKey(HKEY hKey) noexcept {
  return hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE ||
         hKey == HKEY_USERS;
}

LONG LookupKey(HKEY hKey, SOpenKey* pKey, bool bWrite, SEnumCursor SOpenKey::*cursor) noexcept {
  // Every call but closing reaches the hive through here.
  const LONG lFork = CheckNotInheritedSqlite();
  if (lFork != ERROR_SUCCESS) return lFork;
  if (IsPredefinedKey(hKey)) {
    ERoot root = ERoot::kMachine;
    if (hKey == HKEY_CLASSES_ROOT) root = ERoot::kClassesRoot;
    if (hKey == HKEY_CURRENT_USER) root = ERoot::kCurrentUser;
    if (hKey == HKEY_USERS) root = ERoot::kUsers;
    const LONG l = CurrentHive(bWrite, &pKey->pHive);
    if (l != ERROR_SUCCESS) return l;
    pKey->ref = {root, 0};
    pKey->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  try {
    std::lock_guard<std::mutex> lock(StateLock());
    SProcessState& state = State();
    auto it = state.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == state.keys.end()) return ERROR_INVALID_HANDLE;
    // The cursors stay behind: only an enumeration takes its own.
    pKey->pHive = it->second.pHive;
    pKey->ref = it->second.ref;
    pKey->access = it->second.access;
    if (cursor != nullptr) pKey->*cursor = std::move(it->second.*cursor);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

void SaveCursor(HKEY hKey, SOpenKey* pKey, SEnumCursor SOpenKey::*cursor) noexcept {
  // Kept while the handle still names pKey's hive; a failure loses only the
  // cursor, so the next step is answered by position.
  if (IsPredefinedKey(hKey)) return;
  try {
    std::lock_guard<std::mutex> lock(StateLock());
    SProcessState& state = State();
    auto it = state.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == state.keys.end() || it->second.pHive != pKey->pHive) return;
    it->second.*cursor = std::move(pKey->*cursor);
  } catch (...) {
  }
}

LONG InsertKey(SOpenKey key, HKEY* phKey) noexcept {
  try {
    std::lock_guard<std::mutex> lock(StateLock());
    SProcessState& state = State();
    const uintptr_t value = state.nextHandle;
    state.keys.emplace(value, std::move(key));
    state.nextHandle += 4;
    *phKey = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG RemoveKey(HKEY hKey) noexcept {
  try {
    SOpenKey removed;  // released after the lock
    const LONG l = CheckNotInheritedSqlite();
    if (l != ERROR_SUCCESS) return l;
    std::lock_guard<std::mutex> lock(StateLock());
    SProcessState& state = State();
    auto it = state.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == state.keys.end()) return ERROR_INVALID_HANDLE;
    removed = std::move(it->second);
    state.keys.erase(it);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

REGSAM GrantedKeyAccess(REGSAM samDesired) noexcept {
  REGSAM granted =
      samDesired & ~static_cast<REGSAM>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                        GENERIC_ALL | MAXIMUM_ALLOWED | KEY_WOW64_RES);
  if ((samDesired & GENERIC_READ) != 0) granted |= KEY_READ;
  if ((samDesired & GENERIC_WRITE) != 0) granted |= KEY_WRITE;
  if ((samDesired & GENERIC_EXECUTE) != 0) granted |= KEY_EXECUTE;
  if ((samDesired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0) granted |= KEY_ALL_ACCESS;
  return granted;
}

}  // namespace kelmyr::winapi::registry
