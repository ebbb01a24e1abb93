#include "registry_location.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "accounts.h"

namespace kelmyr::winapi::registry {
namespace {

bool IsSet(const char* psz) { return psz != nullptr && psz[0] != '\0'; }

}  // namespace

bool HiveLocationFrom(const char* pszRegistry, uid_t euid, const char* pszStateHome,
                      const char* pszHome, SHiveLocation* pLocation) {
  if (IsSet(pszRegistry)) {
    *pLocation = {pszRegistry, false};
    return true;
  }
  if (euid == 0) {
    *pLocation = {"/var/lib/kelmyr/registry.db", true};
    return true;
  }
  if (IsSet(pszStateHome) && pszStateHome[0] == '/') {
    *pLocation = {std::string(pszStateHome) + "/kelmyr/registry.db", true};
    return true;
  }
  if (!IsSet(pszHome)) return false;
  *pLocation = {std::string(pszHome) + "/.local/state/kelmyr/registry.db", true};
  return true;
}

bool CurrentHiveLocation(SHiveLocation* pLocation) {
  // In a process with raised privileges (set-user-ID, set-group-ID or file
  // capabilities) the environment is the caller's: secure_getenv ignores it
  // there, so the hive is the account's own default and never a file the
  // caller chose.
  const uid_t euid = geteuid();
  std::string home;
  const bool bHome = HomeFolder(euid, &home);
  return HiveLocationFrom(secure_getenv("KELMYR_REGISTRY"), euid, secure_getenv("XDG_STATE_HOME"),
                          bHome ? home.c_str() : nullptr, pLocation);
}

bool MakeHiveFolders(const std::string& folder) {
  if (folder.empty()) return true;
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    errno = ENOTDIR;
    return false;
  }
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeHiveFolders(folder.substr(0, slash))) {
    return false;
  }
  constexpr mode_t kFolderMode = 0700;
  if (mkdir(folder.c_str(), kFolderMode) != 0) return errno == EEXIST;
  // The umask may have taken bits away; the mode is exactly the owner's.
  return chmod(folder.c_str(), kFolderMode) == 0;
}

}  // namespace kelmyr::winapi::registry
