// The key handles of the registry and the hive they lead to. Private to the
// platform layer.
//
// A predefined root (HKEY_LOCAL_MACHINE, ...) leads to the hive the process
// uses at the time of the call, named by KELMYR_REGISTRY or the default
// location (winreg.h); an opened key keeps the hive it was opened in. Handle
// values are never reused within a process, so a stale handle is reliably
// ERROR_INVALID_HANDLE instead of naming some newer key. A child process
// made with fork() starts without handles and opens the hive anew: a SQLite
// connection must not be carried across fork.
#pragma once

#include <windows.h>

#include <winreg.h>

#include <memory>
#include <string>

#include "registry_hive.h"
#include "registry_location.h"

namespace kelmyr::winapi::registry {

struct SOpenKey {
  std::shared_ptr<CHive> pHive;
  SKeyRef ref;
  REGSAM access = 0;
};

// The open hive of the current location.
LONG CurrentHive(std::shared_ptr<CHive>* ppHive) noexcept;

bool IsPredefinedKey(HKEY hKey) noexcept;

// What a handle leads to; a predefined root has every access right.
// ERROR_INVALID_HANDLE for null, closed and unknown handles.
LONG LookupKey(HKEY hKey, SOpenKey* pKey) noexcept;
// A new handle for an opened key.
LONG InsertKey(SOpenKey key, HKEY* phKey) noexcept;
// Closes a handle; ERROR_INVALID_HANDLE when it is not open.
LONG RemoveKey(HKEY hKey) noexcept;

// The rights a handle opened with samDesired grants: generic rights mapped
// to key rights, the view flags dropped.
REGSAM GrantedKeyAccess(REGSAM samDesired) noexcept;

}  // namespace kelmyr::winapi::registry
