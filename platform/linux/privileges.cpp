#include "privileges.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <new>

#include "processes.h"
#include "registry_names.h"

namespace kelmyr::winapi {
namespace {

constexpr SPrivilegeName kCatalogue[] = {
    {2, SE_CREATE_TOKEN_NAME},
    {3, SE_ASSIGNPRIMARYTOKEN_NAME},
    {4, SE_LOCK_MEMORY_NAME},
    {5, SE_INCREASE_QUOTA_NAME},
    {6, SE_MACHINE_ACCOUNT_NAME},
    {7, SE_TCB_NAME},
    {8, SE_SECURITY_NAME},
    {9, SE_TAKE_OWNERSHIP_NAME},
    {10, SE_LOAD_DRIVER_NAME},
    {11, SE_SYSTEM_PROFILE_NAME},
    {12, SE_SYSTEMTIME_NAME},
    {13, SE_PROF_SINGLE_PROCESS_NAME},
    {14, SE_INC_BASE_PRIORITY_NAME},
    {15, SE_CREATE_PAGEFILE_NAME},
    {16, SE_CREATE_PERMANENT_NAME},
    {17, SE_BACKUP_NAME},
    {18, SE_RESTORE_NAME},
    {19, SE_SHUTDOWN_NAME},
    {20, SE_DEBUG_NAME},
    {21, SE_AUDIT_NAME},
    {22, SE_SYSTEM_ENVIRONMENT_NAME},
    {23, SE_CHANGE_NOTIFY_NAME},
    {24, SE_REMOTE_SHUTDOWN_NAME},
    {25, SE_UNDOCK_NAME},
    {26, SE_SYNC_AGENT_NAME},
    {27, SE_ENABLE_DELEGATION_NAME},
    {28, SE_MANAGE_VOLUME_NAME},
    {29, SE_IMPERSONATE_NAME},
    {30, SE_CREATE_GLOBAL_NAME},
    {31, SE_TRUSTED_CREDMAN_ACCESS_NAME},
    {32, SE_RELABEL_NAME},
    {33, SE_INC_WORKING_SET_NAME},
    {34, SE_TIME_ZONE_NAME},
    {35, SE_CREATE_SYMBOLIC_LINK_NAME},
    {36, SE_DELEGATE_SESSION_USER_IMPERSONATE_NAME},
};

// The Linux capabilities (numbers of linux/capability.h) that confer
// privileges.
enum : unsigned {
  kCapChown = 0,
  kCapDacOverride = 1,
  kCapDacReadSearch = 2,
  kCapSetuid = 7,
  kCapIpcLock = 14,
  kCapSysModule = 16,
  kCapSysPtrace = 19,
  kCapSysAdmin = 21,
  kCapSysBoot = 22,
  kCapSysNice = 23,
  kCapSysResource = 24,
  kCapSysTime = 25,
  kCapAuditWrite = 29,
  kCapAuditControl = 30,
};

struct SCapabilityPrivilege {
  unsigned capability;
  const char16_t* pszName;
};

constexpr SCapabilityPrivilege kCapabilityPrivileges[] = {
    {kCapChown, SE_TAKE_OWNERSHIP_NAME},
    {kCapDacOverride, SE_RESTORE_NAME},
    {kCapDacReadSearch, SE_BACKUP_NAME},
    {kCapSetuid, SE_ASSIGNPRIMARYTOKEN_NAME},
    {kCapSetuid, SE_IMPERSONATE_NAME},
    {kCapSetuid, SE_CREATE_TOKEN_NAME},
    {kCapIpcLock, SE_LOCK_MEMORY_NAME},
    {kCapSysModule, SE_LOAD_DRIVER_NAME},
    {kCapSysPtrace, SE_DEBUG_NAME},
    {kCapSysAdmin, SE_TCB_NAME},
    {kCapSysAdmin, SE_CREATE_GLOBAL_NAME},
    {kCapSysAdmin, SE_CREATE_PERMANENT_NAME},
    {kCapSysAdmin, SE_CREATE_PAGEFILE_NAME},
    {kCapSysAdmin, SE_CREATE_SYMBOLIC_LINK_NAME},
    {kCapSysAdmin, SE_MANAGE_VOLUME_NAME},
    {kCapSysAdmin, SE_SYSTEM_ENVIRONMENT_NAME},
    {kCapSysAdmin, SE_PROF_SINGLE_PROCESS_NAME},
    {kCapSysAdmin, SE_SYSTEM_PROFILE_NAME},
    {kCapSysAdmin, SE_RELABEL_NAME},
    {kCapSysAdmin, SE_TRUSTED_CREDMAN_ACCESS_NAME},
    {kCapSysAdmin, SE_DELEGATE_SESSION_USER_IMPERSONATE_NAME},
    {kCapSysBoot, SE_REMOTE_SHUTDOWN_NAME},
    {kCapSysNice, SE_INC_BASE_PRIORITY_NAME},
    {kCapSysResource, SE_INCREASE_QUOTA_NAME},
    {kCapSysTime, SE_SYSTEMTIME_NAME},
    {kCapAuditWrite, SE_AUDIT_NAME},
    {kCapAuditControl, SE_SECURITY_NAME},
};

constexpr DWORD kEnabledByDefault = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;

// The LUID of a name spelt as in the catalogue, found when compiling.
constexpr DWORD CatalogueLuid(std::u16string_view name) {
  for (const SPrivilegeName& entry : kCatalogue) {
    if (name == entry.pszName) return entry.dwLuid;
  }
  return 0;
}

// The privileges every account holds, and those a capability confers, by
// LUID.
struct SLuidAttributes {
  DWORD dwLuid;
  DWORD dwAttributes;
};
constexpr SLuidAttributes kEveryAccount[] = {
    {CatalogueLuid(SE_CHANGE_NOTIFY_NAME), kEnabledByDefault},
    {CatalogueLuid(SE_SHUTDOWN_NAME), 0},
    {CatalogueLuid(SE_UNDOCK_NAME), 0},
    {CatalogueLuid(SE_INC_WORKING_SET_NAME), 0},
    {CatalogueLuid(SE_TIME_ZONE_NAME), 0},
};

struct SCapabilityLuid {
  unsigned capability;
  DWORD dwLuid;
};
constexpr auto kCapabilityLuids = [] {
  std::array<SCapabilityLuid, std::size(kCapabilityPrivileges)> luids{};
  for (size_t i = 0; i < luids.size(); ++i) {
    luids[i] = {kCapabilityPrivileges[i].capability,
                CatalogueLuid(kCapabilityPrivileges[i].pszName)};
  }
  return luids;
}();
static_assert(std::none_of(kCapabilityLuids.begin(), kCapabilityLuids.end(),
                           [](const SCapabilityLuid& entry) { return entry.dwLuid == 0; }),
              "every capability confers a privilege of the catalogue");

// The catalogue's names with their lengths, measured when compiling.
constexpr auto kCatalogueNames = [] {
  std::array<std::u16string_view, std::size(kCatalogue)> names{};
  for (size_t i = 0; i < names.size(); ++i) names[i] = kCatalogue[i].pszName;
  return names;
}();

// Privilege names are ASCII in the catalogue; another unit only has to be
// folded when it differs.
bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && registry::UpcaseUnit(a[i]) != registry::UpcaseUnit(b[i])) return false;
  }
  return true;
}

// Sets or merges one held privilege; enabling wins over disabled.
void Grant(std::vector<LUID_AND_ATTRIBUTES>* pHeld, DWORD dwLuid, DWORD dwAttributes) {
  auto it = std::lower_bound(
      pHeld->begin(), pHeld->end(), dwLuid,
      [](const LUID_AND_ATTRIBUTES& entry, DWORD luid) { return entry.Luid.LowPart < luid; });
  if (it != pHeld->end() && it->Luid.LowPart == dwLuid) {
    it->Attributes |= dwAttributes;
    return;
  }
  LUID_AND_ATTRIBUTES entry{};
  entry.Luid.LowPart = dwLuid;
  entry.Attributes = dwAttributes;
  pHeld->insert(it, entry);
}

}  // namespace

std::span<const SPrivilegeName> PrivilegeCatalogue() noexcept { return kCatalogue; }

DWORD PrivilegeLuidOf(std::u16string_view name) noexcept {
  for (size_t i = 0; i < std::size(kCatalogue); ++i) {
    if (EqualNoCase(name, kCatalogueNames[i])) return kCatalogue[i].dwLuid;
  }
  return 0;
}

std::shared_ptr<CPrivilegeState> CPrivilegeState::FromCapabilities(uint64_t capPermitted,
                                                                   uint64_t capEffective) {
  auto pState = std::make_shared<CPrivilegeState>();
  std::vector<LUID_AND_ATTRIBUTES>& held = pState->m_held;
  held.reserve(std::size(kEveryAccount) + std::size(kCapabilityLuids));
  for (const SLuidAttributes& entry : kEveryAccount) Grant(&held, entry.dwLuid, entry.dwAttributes);
  for (const SCapabilityLuid& entry : kCapabilityLuids) {
    const uint64_t bit = uint64_t{1} << entry.capability;
    if ((capPermitted & bit) == 0) continue;
    Grant(&held, entry.dwLuid, (capEffective & bit) != 0 ? kEnabledByDefault : 0);
  }
  return pState;
}

std::vector<LUID_AND_ATTRIBUTES> CPrivilegeState::Held() const {
  std::lock_guard lock(m_lock);
  return m_held;
}

bool CPrivilegeState::IsEnabled(DWORD dwLuid) const {
  std::lock_guard lock(m_lock);
  for (const LUID_AND_ATTRIBUTES& entry : m_held) {
    if (entry.Luid.LowPart == dwLuid) return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return false;
}

DWORD CPrivilegeState::Adjust(bool bDisableAll, const TOKEN_PRIVILEGES* pNewState,
                              PTOKEN_PRIVILEGES pPrevious, DWORD cbPrevious, DWORD* pcbPrevious) {
  std::lock_guard lock(m_lock);
  std::vector<LUID_AND_ATTRIBUTES> held = m_held;
  std::vector<LUID_AND_ATTRIBUTES> previous;
  bool bNotAll = false;

  auto find = [&held](const LUID& luid) {
    return std::find_if(held.begin(), held.end(), [&luid](const LUID_AND_ATTRIBUTES& entry) {
      return entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart;
    });
  };
  if (bDisableAll) {
    for (LUID_AND_ATTRIBUTES& entry : held) {
      if ((entry.Attributes & SE_PRIVILEGE_ENABLED) == 0) continue;
      previous.push_back(entry);
      entry.Attributes &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
    }
  } else {
    // The entries are read bytewise: the caller's buffer need not be
    // aligned for the structure.
    DWORD count = 0;
    std::memcpy(&count, pNewState, sizeof count);
    const BYTE* pEntries = reinterpret_cast<const BYTE*>(pNewState) + sizeof(DWORD);
    for (DWORD i = 0; i < count; ++i) {
      LUID_AND_ATTRIBUTES wanted;
      std::memcpy(&wanted, pEntries + i * sizeof wanted, sizeof wanted);
      auto it = find(wanted.Luid);
      if (it == held.end()) {
        bNotAll = true;
        continue;
      }
      const bool bRecorded = std::any_of(previous.begin(), previous.end(), [&](const auto& p) {
        return p.Luid.LowPart == wanted.Luid.LowPart && p.Luid.HighPart == wanted.Luid.HighPart;
      });
      if ((wanted.Attributes & SE_PRIVILEGE_REMOVED) != 0) {
        if (!bRecorded) previous.push_back(*it);
        held.erase(it);
        continue;
      }
      const DWORD attributes = (it->Attributes & ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED)) |
                               (wanted.Attributes & SE_PRIVILEGE_ENABLED);
      if (attributes != it->Attributes && !bRecorded) previous.push_back(*it);
      it->Attributes = attributes;
    }
  }

  if (pPrevious != nullptr) {
    const DWORD cbNeeded =
        static_cast<DWORD>(sizeof(DWORD) + previous.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (pcbPrevious != nullptr) *pcbPrevious = cbNeeded;
    if (cbPrevious < cbNeeded) return ERROR_INSUFFICIENT_BUFFER;
    const DWORD count = static_cast<DWORD>(previous.size());
    std::memcpy(pPrevious, &count, sizeof count);
    if (!previous.empty()) {
      std::memcpy(reinterpret_cast<BYTE*>(pPrevious) + sizeof(DWORD), previous.data(),
                  previous.size() * sizeof(LUID_AND_ATTRIBUTES));
    }
  }
  m_held.swap(held);
  return bNotAll ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS;
}

std::shared_ptr<CPrivilegeState> CurrentProcessPrivileges() {
  // Built on first use and never destroyed: threads may still adjust
  // privileges while static objects are destroyed at exit.
  static std::shared_ptr<CPrivilegeState>* const pState = [] {
    // Read as a token of the process reads it, from the credentials.
    SProcessIdentity identity;
    ReadCurrentProcessIdentity(kIdentityIntegrity, &identity);
    return new std::shared_ptr<CPrivilegeState>(
        CPrivilegeState::FromCapabilities(identity.capPermitted, identity.capEffective));
  }();
  return *pState;
}

}  // namespace kelmyr::winapi
