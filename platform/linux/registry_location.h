// Where the registry hive of a process lives. Private to the platform
// layer.
//
// KELMYR_REGISTRY names the file when set (its folder must exist). Without
// it: /var/lib/kelmyr/registry.db for root; for other users
// $XDG_STATE_HOME/kelmyr/registry.db when XDG_STATE_HOME is an absolute
// path, else ~/.local/state/kelmyr/registry.db. The folder of a default
// location is created when missing, for the owner alone.
#pragma once

#include <sys/types.h>

#include <string>

namespace kelmyr::winapi::registry {

struct SHiveLocation {
  std::string path;
  bool bCreateFolder = false;
};

// The location for the given environment (null for unset variables) and
// effective uid; pszHome is HOME or, without it, the user's home folder.
// False when there is none (no KELMYR_REGISTRY and no home folder).
bool HiveLocationFrom(const char* pszRegistry, uid_t euid, const char* pszStateHome,
                      const char* pszHome, SHiveLocation* pLocation);

// The location for this process now. In a process with raised privileges
// the environment is not consulted (secure_getenv).
bool CurrentHiveLocation(SHiveLocation* pLocation);

// Creates the missing folders of path, each with mode 0700 whatever the
// umask; false (errno set) when one cannot be made or is no folder.
bool MakeHiveFolders(const std::string& folder);

}  // namespace kelmyr::winapi::registry
