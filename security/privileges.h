// Privileges of the host process: ModifyPrivs enables, disables or removes
// named privileges in the host process's token, and CDebugPrivilegeScope
// holds "SeDebugPrivilege" enabled around the one platform call that opens
// another user's process.
#pragma once

#include <windows.h>

// The action ModifyPrivs writes as the attributes of every entry of its
// request. Any other value is written unchanged.
enum : DWORD {
  PRIVILEGE_DISABLE = 0,
  PRIVILEGE_ENABLE = SE_PRIVILEGE_ENABLED,
  PRIVILEGE_REMOVE = SE_PRIVILEGE_REMOVED,
};

inline constexpr OLECHAR gSeDebugPrivilege[] = OLESTR("SeDebugPrivilege");

// The privileges the store manager removes from the host process when it
// starts, in this order; "SeDebugPrivilege" is not among them.
inline constexpr DWORD kHostUnneededPrivilegeCount = 26;
extern const LPCWSTR gHostUnneededPrivileges[kHostUnneededPrivilegeCount];

// Applies the action to the named privileges of the host process's token
// in one adjustment. A name the system does not define is logged and
// passed over (its entry of the request stays zero); a privilege the token
// does not hold changes nothing and is no failure. S_OK, or E_FAIL for any
// failing step, the cause being in the log.
HRESULT ModifyPrivs(const LPCWSTR* ppszPrivileges, DWORD dwCount, DWORD dwAction);

// "SeDebugPrivilege" enabled for the duration of one platform call:
//
//   CDebugPrivilegeScope debug;
//   hr = debug.Enable();           // fails: nothing was changed
//   ... the one call ...
//   hr = debug.Disable();          // at once, whatever the call gave
//
// An owner that was enabled and not disabled disables on destruction, so
// no early return leaves the privilege enabled. A failed Disable is not
// retried.
class CDebugPrivilegeScope {
 public:
  CDebugPrivilegeScope() noexcept = default;
  ~CDebugPrivilegeScope();
  CDebugPrivilegeScope(const CDebugPrivilegeScope&) = delete;
  CDebugPrivilegeScope& operator=(const CDebugPrivilegeScope&) = delete;

  HRESULT Enable() noexcept;
  HRESULT Disable() noexcept;

 private:
  bool m_bEnabled = false;
};
