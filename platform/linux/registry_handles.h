// The key handles of the registry and the hive they lead to. Private to the
// platform layer.
//
// A predefined root (HKEY_LOCAL_MACHINE, ...) leads to the hive the process
// uses at the time of the call, named by KELMYR_REGISTRY or the default
// location (winreg.h); an opened key keeps the hive it was opened in. Handle
// values are never reused within a process, so a stale handle is reliably
// ERROR_INVALID_HANDLE instead of naming some newer key.
//
// A hive that does not exist yet is created only by a call that writes; a
// read of a missing hive is ERROR_FILE_NOT_FOUND and creates nothing.
//
// Fork: SQLite keeps process-wide state about the files it has open (their
// locks, the shared-memory index of the log), which a child made with
// fork() inherits without the locks themselves. A child whose parent had
// opened a hive therefore refuses every registry call with
// ERROR_NOT_SUPPORTED until it execs; a child of a process that never
// opened one uses the registry normally. The handle table's lock is held
// across fork, so a child never finds it taken by a thread it does not
// have.
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
  // Where the last enumerations through this handle stopped.
  SEnumCursor subKeys;
  SEnumCursor values;
};

// The open hive of the current location; with bCreate a missing hive is
// created, otherwise it is ERROR_FILE_NOT_FOUND.
LONG CurrentHive(bool bCreate, std::shared_ptr<CHive>* ppHive) noexcept;

bool IsPredefinedKey(HKEY hKey) noexcept;

// What a handle leads to; a predefined root has every access right and
// leads to the current hive, created when missing only for bWrite.
// ERROR_INVALID_HANDLE for null, closed and unknown handles. The cursors
// stay behind, but for the one named by cursor, which an opened key's
// handle hands over into *pKey.*cursor (for an enumeration).
LONG LookupKey(HKEY hKey, SOpenKey* pKey, bool bWrite = false,
               SEnumCursor SOpenKey::*cursor = nullptr) noexcept;
// Keeps the enumeration cursor *pKey.*cursor (the one an enumeration just
// moved) in an opened key's handle, taking it from *pKey; nothing for a
// predefined root or a handle closed meanwhile.
void SaveCursor(HKEY hKey, SOpenKey* pKey, SEnumCursor SOpenKey::*cursor) noexcept;
// A new handle for an opened key.
LONG InsertKey(SOpenKey key, HKEY* phKey) noexcept;
// Closes a handle; ERROR_INVALID_HANDLE when it is not open.
LONG RemoveKey(HKEY hKey) noexcept;

// The rights a handle opened with samDesired grants: generic rights mapped
// to key rights, the view flags dropped.
REGSAM GrantedKeyAccess(REGSAM samDesired) noexcept;

}  // namespace kelmyr::winapi::registry
