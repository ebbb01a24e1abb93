// Privileges of the platform layer's tokens. Private to the layer.
//
// The privileges are those of Windows, with their names and LUIDs. What a
// token holds follows from the Linux process it stands for: every account
// holds the privileges Windows gives every user (change notify, enabled;
// shutdown, undock, working set and time zone, disabled), and a process
// holds the privileges whose Linux capability is in its permitted set,
// enabled when the capability is also effective (for instance
// CAP_SYS_PTRACE gives "SeDebugPrivilege", CAP_SYS_ADMIN "SeTcbPrivilege").
//
// The state is the layer's own: enabling or disabling a privilege does not
// change the process's capabilities. The token of the current process is
// one state for the whole process, shared by every handle to it; a removed
// privilege is gone from it for good. Tokens of other processes are a
// snapshot of that process taken when the token was opened.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

namespace kelmyr::winapi {

struct SPrivilegeName {
  DWORD dwLuid;  // the low part; the high part is 0
  const char16_t* pszName;
};

// Every privilege of the system, in LUID order.
std::span<const SPrivilegeName> PrivilegeCatalogue() noexcept;

// The LUID of a privilege name, matched case-insensitively; 0 when the
// system defines no such privilege.
DWORD PrivilegeLuidOf(std::u16string_view name) noexcept;

class CPrivilegeState {
 public:
  // The privileges of a process with these capability sets (bit n is
  // capability n, as in /proc/<pid>/status).
  static std::shared_ptr<CPrivilegeState> FromCapabilities(uint64_t capPermitted,
                                                           uint64_t capEffective);

  // The held privileges with their attributes, in LUID order.
  std::vector<LUID_AND_ATTRIBUTES> Held() const;
  bool IsEnabled(DWORD dwLuid) const;

  // Applies a request as AdjustTokenPrivileges does: all or nothing.
  // ERROR_SUCCESS or ERROR_NOT_ALL_ASSIGNED when applied (the latter when
  // the request names a privilege the token does not hold, an unknown LUID
  // or an all-zero entry included); ERROR_INSUFFICIENT_BUFFER, with
  // *pcbPrevious set to the size needed, when the previous state does not
  // fit, and nothing changes.
  DWORD Adjust(bool bDisableAll, const TOKEN_PRIVILEGES* pNewState, PTOKEN_PRIVILEGES pPrevious,
               DWORD cbPrevious, DWORD* pcbPrevious);

 private:
  mutable std::mutex m_lock;
  std::vector<LUID_AND_ATTRIBUTES> m_held;  // in LUID order
};

// The one privilege state of the current process, read from its
// capabilities on first use.
std::shared_ptr<CPrivilegeState> CurrentProcessPrivileges();

}  // namespace kelmyr::winapi
