#include "security/privileges.h"

#include <sddl.h>

#include <cstddef>

#include "platform/machine_owners.h"
#include "support/logscope.h"

const LPCWSTR gHostUnneededPrivileges[kHostUnneededPrivilegeCount] = {
    OLESTR("SeAuditPrivilege"),
    OLESTR("SeChangeNotifyPrivilege"),
    OLESTR("SeCreateGlobalPrivilege"),
    OLESTR("SeCreatePagefilePrivilege"),
    OLESTR("SeCreatePermanentPrivilege"),
    OLESTR("SeCreateSymbolicLinkPrivilege"),
    OLESTR("SeImpersonatePrivilege"),
    OLESTR("SeIncreaseBasePriorityPrivilege"),
    OLESTR("SeIncreaseWorkingSetPrivilege"),
    OLESTR("SeLockMemoryPrivilege"),
    OLESTR("SeProfileSingleProcessPrivilege"),
    OLESTR("SeSystemProfilePrivilege"),
    OLESTR("SeTcbPrivilege"),
    OLESTR("SeTimeZonePrivilege"),
    OLESTR("SeAssignPrimaryTokenPrivilege"),
    OLESTR("SeBackupPrivilege"),
    OLESTR("SeIncreaseQuotaPrivilege"),
    OLESTR("SeLoadDriverPrivilege"),
    OLESTR("SeManageVolumePrivilege"),
    OLESTR("SeRestorePrivilege"),
    OLESTR("SeSecurityPrivilege"),
    OLESTR("SeShutdownPrivilege"),
    OLESTR("SeSystemEnvironmentPrivilege"),
    OLESTR("SeTakeOwnershipPrivilege"),
    OLESTR("SeUndockPrivilege"),
    OLESTR("SeSystemtimePrivilege"),
};

namespace {

// The request is a TOKEN_PRIVILEGES record: the count, then one 12-byte
// entry per name, then one spare zero entry and padding (count * 12 + 16
// bytes in all).
constexpr SIZE_T kEntrySize = sizeof(LUID_AND_ATTRIBUTES);
constexpr SIZE_T kRequestOverhead = 16;
static_assert(kEntrySize == 12);

// The descriptor of the host process object, logged as SDDL text before
// anything changes. A failure ends ModifyPrivs.
HRESULT LogHostDescriptor(IMachine& machine) {
  CMachineLocal<void> sd;
  if (machine.GetSecurityInfo(machine.GetCurrentProcess(), SE_KERNEL_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              sd.Receive()) != ERROR_SUCCESS) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ModifyPrivs GetSecurityInfo failed with error 0x%x"),
             GetLastError());
    return E_FAIL;
  }
  CMachineLocal<WCHAR> text;
  if (!machine.ConvertSecurityDescriptorToStringSecurityDescriptorW(
          sd.Get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.Receive(), nullptr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("ModifyPrivs ConvertSecurityDescriptorToStringSecurityDescriptor failed with "
                    "error 0x%x"),
             GetLastError());
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("ModifyPrivs ConvertSecurityDescriptorToStringSecurityDescriptor "
                  "stringSecurityDescriptor = %s"),
           static_cast<const OLECHAR*>(text.Get()));
  return S_OK;
}

void LogAction(DWORD dwAction, LPCWSTR pszName) {
  switch (dwAction) {
    case PRIVILEGE_DISABLE:
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("ModifyPrivs The specified privilege is going to be disabled : %s"), pszName);
      break;
    case PRIVILEGE_ENABLE:
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("ModifyPrivs The specified privilege is going to be enabled : %s"), pszName);
      break;
    case PRIVILEGE_REMOVE:
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("ModifyPrivs The specified privilege is going to be removed : %s"), pszName);
      break;
    default:
      break;
  }
}

HRESULT AdjustHostPrivileges(const LPCWSTR* ppszPrivileges, DWORD dwCount, DWORD dwAction) {
  if (ppszPrivileges == nullptr && dwCount != 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ModifyPrivs ppszPrivileges == NULL"));
    return E_FAIL;
  }
  IMachine& machine = Machine();
  HRESULT hr = LogHostDescriptor(machine);
  if (FAILED(hr)) return hr;

  CMachineHandle process(
      machine.OpenProcess(PROCESS_QUERY_INFORMATION, TRUE, machine.GetCurrentProcessId()));
  if (process.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ModifyPrivs: OpenProcess() failed dwError = %x"),
             GetLastError());
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("ModifyPrivs: OpenProcess returned hProcessHandle = 0x%x"),
           reinterpret_cast<UINT_PTR>(process.Get()));

  CMachineHandle token;
  if (!machine.OpenProcessToken(process.Get(), TOKEN_ADJUST_PRIVILEGES, token.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ModifyPrivs OpenProcessToken failed dwError = %x"),
             GetLastError());
    return E_FAIL;
  }

  // The size is passed to the adjustment as a 32-bit count of bytes.
  CMachineLocal<BYTE> request;
  if (dwCount <= (0xFFFFFFFFu - kRequestOverhead) / kEntrySize) {
    request.Reset(
        static_cast<BYTE*>(machine.LocalAlloc(LPTR, dwCount * kEntrySize + kRequestOverhead)));
  }
  if (request.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ModifyPrivs NULL == pbBuff"));
    return E_FAIL;
  }
  const auto cbRequest = static_cast<DWORD>(dwCount * kEntrySize + kRequestOverhead);
  auto* pRequest = reinterpret_cast<PTOKEN_PRIVILEGES>(request.Get());
  pRequest->PrivilegeCount = dwCount;
  auto* pEntries = reinterpret_cast<LUID_AND_ATTRIBUTES*>(request.Get() +
                                                          offsetof(TOKEN_PRIVILEGES, Privileges));

  for (DWORD i = 0; i < dwCount; ++i) {
    LUID_AND_ATTRIBUTES& entry = pEntries[i];
    if (machine.LookupPrivilegeValueW(nullptr, ppszPrivileges[i], &entry.Luid)) {
      LogAction(dwAction, ppszPrivileges[i]);
      entry.Attributes = dwAction;
      continue;
    }
    const DWORD dwError = GetLastError();
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("ModifyPrivs LookupPrivilegeValue failed dwError = %x"), dwError);
    if (dwError != ERROR_NO_SUCH_PRIVILEGE) return E_FAIL;
    // A privilege this system does not define: its entry stays all zero,
    // which no token holds, so the same list serves every system.
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("ModifyPrivs The specified privilege does not exist : %s"), ppszPrivileges[i]);
    entry = LUID_AND_ATTRIBUTES{};
  }

  if (!machine.AdjustTokenPrivileges(token.Get(), FALSE, pRequest, cbRequest, nullptr, nullptr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("ModifyPrivs AdjustTokenPrivileges failed dwError = %x"), GetLastError());
    return E_FAIL;
  }
  // ERROR_NOT_ALL_ASSIGNED here means the token lacked some of the
  // privileges, which changes nothing for them and is no failure.
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("ModifyPrivs AdjustTokenPrivileges succeeded dwError = %x"), GetLastError());
  return S_OK;
}

}  // namespace

HRESULT ModifyPrivs(const LPCWSTR* ppszPrivileges, DWORD dwCount, DWORD dwAction) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("ModifyPrivs"), hr, kLogDetailLevels);
  hr = AdjustHostPrivileges(ppszPrivileges, dwCount, dwAction);
  // Everything is released by now, the process handle field included.
  const DWORD dwProcessHandleField = 0;
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("ModifyPrivs hProcessHandle = %x, hr = %x"),
           dwProcessHandleField, hr);
  return hr;
}

CDebugPrivilegeScope::~CDebugPrivilegeScope() {
  if (m_bEnabled) Disable();
}

HRESULT CDebugPrivilegeScope::Enable() noexcept {
  const LPCWSTR names[] = {gSeDebugPrivilege};
  const HRESULT hr = ModifyPrivs(names, 1, PRIVILEGE_ENABLE);
  if (SUCCEEDED(hr)) m_bEnabled = true;
  return hr;
}

HRESULT CDebugPrivilegeScope::Disable() noexcept {
  m_bEnabled = false;
  const LPCWSTR names[] = {gSeDebugPrivilege};
  return ModifyPrivs(names, 1, PRIVILEGE_DISABLE);
}
