#include "security/processidentity.h"

#include <sddl.h>

#include <new>

#include "platform/machine_owners.h"
#include "security/privileges.h"
#include "support/logscope.h"

namespace {

HRESULT ReadUserSid(DWORD dwProcessId, ZU::Framework::secwstring& sSidUser) {
  IMachine& machine = Machine();
  CMachineHandle process;
  {
    CDebugPrivilegeScope debug;
    HRESULT hr = debug.Enable();
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetSIDUserFromProcessId ModifyPrivs failed"));
      return hr;
    }
    process.Reset(
        machine.OpenProcess(READ_CONTROL | PROCESS_QUERY_INFORMATION, FALSE, dwProcessId));
    const DWORD dwOpenError = GetLastError();
    hr = debug.Disable();
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetSIDUserFromProcessId ModifyPrivs failed"));
      return hr;
    }
    if (process.Get() == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("GetSIDUserFromProcessId OpenProcess(0x%x) failed with error code 0x%x"),
               dwProcessId, dwOpenError);
      return E_ACCESSDENIED;
    }
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("GetSIDUserFromProcessId OpenProcess(0x%x) returned hClientProcess = 0x%x"),
           dwProcessId, reinterpret_cast<UINT_PTR>(process.Get()));

  CMachineHandle token;
  if (!machine.OpenProcessToken(process.Get(), TOKEN_QUERY, token.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("GetSIDUserFromProcessId OpenProcessToken failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("GetSIDUserFromProcessId OpenProcessToken succeeded"));

  DWORD cbUser = 0;
  if (!machine.GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &cbUser) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("GetSIDUserFromProcessId GetTokenInformation failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  CMachineLocal<void> user(machine.LocalAlloc(LPTR, cbUser));
  if (user.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetSIDUserFromProcessId GlobalAlloc failed"));
    return E_OUTOFMEMORY;
  }
  if (!machine.GetTokenInformation(token.Get(), TokenUser, user.Get(), cbUser, &cbUser)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("GetSIDUserFromProcessId GetTokenInformation failed with error code 0x%x"),
             GetLastError());
    return E_ACCESSDENIED;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("GetSIDUserFromProcessId GetTokenInformation succeeded"));

  CMachineLocal<WCHAR> text;
  if (!machine.ConvertSidToStringSidW(static_cast<TOKEN_USER*>(user.Get())->User.Sid,
                                      text.Receive())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("GetSIDUserFromProcessId ConvertSidToStringSid failed"));
    return E_FAIL;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("GetSIDUserFromProcessId ConvertSidToStringSid strSidUser = %s"),
           static_cast<const OLECHAR*>(text.Get()));
  try {
    sSidUser = text.Get();
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetSIDUserFromProcessId out of memory"));
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

HRESULT GetSIDUserFromProcessId(DWORD dwProcessId, ZU::Framework::secwstring& sSidUser) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("GetSIDUserFromProcessId"), hr);
  hr = ReadUserSid(dwProcessId, sSidUser);
  return hr;
}
