// What the platform layer knows of Linux processes, for the files that
// answer security questions about them (tokens, security descriptors,
// terminal sessions). Private to the layer; implemented in token.cpp.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <cstdint>

namespace kelmyr::winapi {

struct SProcessIdentity {
  uid_t effectiveUid = 0;
  gid_t effectiveGid = 0;
  DWORD integrityRid = SECURITY_MANDATORY_MEDIUM_RID;
  uint64_t capPermitted = 0;  // capability sets, bit n for capability n
  uint64_t capEffective = 0;
};

// Reads a process's identity from /proc/<pid>/status. ERROR_INVALID_PARAMETER
// for an id that names no process (a thread id included), as Windows
// answers; ERROR_ACCESS_DENIED when the entry cannot be read.
DWORD ReadProcessIdentity(DWORD pid, SProcessIdentity* pIdentity) noexcept;

// The identity that owns the kernel object behind a handle, when the
// handle grants the required access: a process object is owned by that
// process, every other object (the pseudo handles included) by the current
// process. *pAllAccess receives the full access mask of the object's kind.
// A Windows error code.
DWORD ObjectOwnerIdentity(HANDLE hObject, ACCESS_MASK required, SProcessIdentity* pIdentity,
                          ACCESS_MASK* pAllAccess) noexcept;

// A new primary token of a logon of the account (its primary group from
// the user database), with all access. Null with the last error set.
HANDLE NewAccountToken(uid_t uid) noexcept;

}  // namespace kelmyr::winapi
