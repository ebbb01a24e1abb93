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

// Parts of the current process's identity; each costs system calls, so a
// caller reads only those it uses.
enum IdentityPart : unsigned {
  kIdentityUser = 1u,       // effectiveUid
  kIdentityGroup = 2u,      // effectiveGid
  kIdentityIntegrity = 4u,  // integrityRid and the capability sets, with the user
  kIdentityAll = 7u,
};

// The identity of the current process, from the credentials of the calling
// thread (the C library keeps users and groups the same in every thread),
// without reading /proc. Only the parts asked for are filled in.
void ReadCurrentProcessIdentity(unsigned parts, SProcessIdentity* pIdentity) noexcept;

// The identity that owns the kernel object behind a handle, when the
// handle grants the required access: a process object is owned by that
// process, every other object (the pseudo handles included) by the current
// process, of whose identity only the parts asked for are read.
// *pAllAccess receives the full access mask of the object's kind. A
// Windows error code.
DWORD ObjectOwnerIdentity(HANDLE hObject, ACCESS_MASK required, unsigned parts,
                          SProcessIdentity* pIdentity, ACCESS_MASK* pAllAccess) noexcept;

// A new primary token of a logon of the account (its primary group from
// the user database), with all access. Null with the last error set.
HANDLE NewAccountToken(uid_t uid) noexcept;

}  // namespace kelmyr::winapi
