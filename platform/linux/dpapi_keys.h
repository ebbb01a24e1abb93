// The keys of the data protection functions. Private to the platform layer.
//
// Each account has its own user key and the machine has one machine key.
// A key is created on first use by CryptProtectData and never replaced: a
// new key would make every value sealed with the old one unreadable. Key
// files are readable and writable by their owner only (0600), and a key
// file that is not a regular file owned by the effective user, or that
// others may read, is refused rather than used or rewritten.
//
// Where the key files are:
//
//   anyone, when KELMYR_DPAPI_KEYS is set:
//     user key <that folder>/user-<SID>.key, machine key <that folder>/machine.key;
//   root:
//     user key /var/lib/kelmyr/dpapi/user-S-1-5-18.key,
//     machine key /var/lib/kelmyr/dpapi/machine.key;
//   other users:
//     user key $XDG_STATE_HOME/kelmyr/dpapi/user-<SID>.key (or ~/.local/state/...),
//     machine key /var/lib/kelmyr/dpapi/machine.key.
//
// Missing folders are created with mode 0700. A process with raised
// privileges (secure_getenv's secure mode) reads none of these variables.
#pragma once

#include <sys/types.h>
#include <windows.h>

#include <string>

namespace kelmyr::winapi::dpapi {

enum class EKeyScope : BYTE { kUser = 1, kMachine = 2 };

inline constexpr size_t kKeyIdBytes = 16;
inline constexpr size_t kKeyBytes = 32;  // AES-256

// A key as loaded from its file. The holder wipes it when done.
struct SKey {
  BYTE id[kKeyIdBytes];
  BYTE key[kKeyBytes];
};

struct SKeyLocation {
  std::string folder;
  std::string file;  // full path
};

// The location of a key for the given environment (null for unset
// variables), effective uid and user SID text; pszHome is HOME or, without
// it, the user's home folder. False when there is none (a user key without
// KELMYR_DPAPI_KEYS, state folder or home folder).
bool KeyLocationFrom(EKeyScope scope, const char* pszKeysFolder, uid_t euid,
                     const char* pszStateHome, const char* pszHome, const std::string& sUserSid,
                     SKeyLocation* pLocation);

// Loads the key of the scope for this process. With bCreate, a missing key
// is created first (sealing); without it a missing key fails (opening: a
// value cannot have been sealed with a key that does not exist). Returns
// ERROR_SUCCESS or the Win32 error of the failure; *pKey is written only on
// success.
DWORD LoadKey(EKeyScope scope, bool bCreate, SKey* pKey) noexcept;

}  // namespace kelmyr::winapi::dpapi
