#include "registry_handles.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace kelmyr::winapi::registry {
namespace {

// First handle value, far from the predefined roots and from null; handles
// step by 4 as on Windows.
constexpr uintptr_t kFirstHandle = 0x10000;

// State that a forked child must not use: the open hives and the handles
// into them. A child abandons its parent's (deliberately leaked, since the
// SQLite connections in it belong to the parent) and starts afresh.
struct SProcessState {
  pid_t pid = getpid();
  std::map<std::string, std::shared_ptr<CHive>> hives;
  std::unordered_map<uintptr_t, SOpenKey> keys;
  uintptr_t nextHandle = kFirstHandle;
  SProcessState* pParentState = nullptr;  // kept reachable, never used
};

std::mutex gStateLock;
SProcessState* gpState = nullptr;

// The state of this process; called with gStateLock held.
SProcessState& State() {
  if (gpState == nullptr || gpState->pid != getpid()) {
    auto* pState = new SProcessState();
    pState->pParentState = gpState;
    gpState = pState;
  }
  return *gpState;
}

}  // namespace

LONG CurrentHive(std::shared_ptr<CHive>* ppHive) noexcept {
  try {
    SHiveLocation location;
    if (!CurrentHiveLocation(&location)) return ERROR_PATH_NOT_FOUND;
    const std::string& path = location.path;
    {
      std::lock_guard<std::mutex> lock(gStateLock);
      SProcessState& state = State();
      auto it = state.hives.find(path);
      if (it != state.hives.end()) {
        *ppHive = it->second;
        return ERROR_SUCCESS;
      }
    }
    // Opening may wait for another process; it happens outside the lock,
    // and of two threads opening the same hive at once the first one stored
    // wins.
    std::shared_ptr<CHive> pHive;
    const LONG l = CHive::Open(path, location.bCreateFolder, &pHive);
    if (l != ERROR_SUCCESS) return l;
    std::lock_guard<std::mutex> lock(gStateLock);
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

LONG LookupKey(HKEY hKey, SOpenKey* pKey) noexcept {
  if (IsPredefinedKey(hKey)) {
    ERoot root = ERoot::kMachine;
    if (hKey == HKEY_CLASSES_ROOT) root = ERoot::kClassesRoot;
    if (hKey == HKEY_CURRENT_USER) root = ERoot::kCurrentUser;
    if (hKey == HKEY_USERS) root = ERoot::kUsers;
    const LONG l = CurrentHive(&pKey->pHive);
    if (l != ERROR_SUCCESS) return l;
    pKey->ref = {root, 0};
    pKey->access = KEY_ALL_ACCESS;
    return ERROR_SUCCESS;
  }
  try {
    std::lock_guard<std::mutex> lock(gStateLock);
    SProcessState& state = State();
    auto it = state.keys.find(reinterpret_cast<uintptr_t>(hKey));
    if (it == state.keys.end()) return ERROR_INVALID_HANDLE;
    *pKey = it->second;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG InsertKey(SOpenKey key, HKEY* phKey) noexcept {
  try {
    std::lock_guard<std::mutex> lock(gStateLock);
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
    std::lock_guard<std::mutex> lock(gStateLock);
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
