#include "registry_location.h"

#include <unistd.h>

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
  const uid_t euid = geteuid();
  const char* pszHome = std::getenv("HOME");
  SUserEntry user;
  if (!IsSet(pszHome)) pszHome = LookUpUser(euid, &user) ? user.home.c_str() : nullptr;
  return HiveLocationFrom(std::getenv("KELMYR_REGISTRY"), euid, std::getenv("XDG_STATE_HOME"),
                          pszHome, pLocation);
}

}  // namespace kelmyr::winapi::registry
