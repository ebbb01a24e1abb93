// Accounts: the Windows security identifiers of Linux users and groups.
// Private to the platform layer; the registry (HKEY_CURRENT_USER) and the
// token's user share this one mapping.
//
// uid 0 is the local system account "S-1-5-18". Every other uid, and every
// gid, lies in one machine domain "S-1-5-21-a-b-c-RID" whose sub-authorities
// a, b and c come from the machine identity (/etc/machine-id, else
// /var/lib/dbus/machine-id, else the host name), so that the same account
// has the same SID across processes and restarts of one machine. Users and
// groups take disjoint RIDs: user RID = 1000 + 2 * uid, group RID =
// 1001 + 2 * gid. An id whose RID would not fit in 32 bits has no SID.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <array>
#include <string>

namespace kelmyr::winapi {

// The three domain sub-authorities of this machine (computed once).
std::array<DWORD, 3> MachineDomainSubAuthorities() noexcept;

// The sub-authorities of a machine identity text: the first 24 hexadecimal
// digits taken as three 32-bit numbers; a text with fewer digits is hashed
// instead. Exposed for the tests of the derivation.
std::array<DWORD, 3> DomainSubAuthoritiesFromIdentity(const std::string& identity) noexcept;

// A binary SID (at most 5 sub-authorities are used here).
struct SAccountSid {
  BYTE bytes[8 + 4 * 5];
  DWORD cb;
  PSID Get() noexcept { return bytes; }
};

// The SID of a user or group; false when the id has none.
bool UserSid(uid_t uid, SAccountSid* pSid) noexcept;
bool GroupSid(gid_t gid, SAccountSid* pSid) noexcept;

// The text form "S-1-5-..." of a SID made by UserSid or GroupSid.
std::u16string SidToString(const SAccountSid& sid);

// What the user database holds of an account.
struct SUserEntry {
  std::string name;
  std::string home;
  gid_t gid = 0;
};

// The user database entry of uid; false when it has none or cannot be
// read.
bool LookUpUser(uid_t uid, SUserEntry* pEntry);

// The home folder of uid, the effective user: HOME when set, else the user
// database's; false when there is neither. A process with raised
// privileges ignores HOME (secure_getenv), which is the caller's.
bool HomeFolder(uid_t uid, std::string* pHome);

}  // namespace kelmyr::winapi
