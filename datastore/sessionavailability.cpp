#include "datastore/sessionavailability.h"

#include <new>
#include <string>

#include "platform/machine.h"
#include "security/privileges.h"
#include "support/qvlog.h"
#include "support/zuwinext.h"

namespace {

constexpr OLECHAR kSettingsKey[] = OLESTR("Software\\Orvane\\Kelmyr");
constexpr OLECHAR kTimeOutValue[] = OLESTR("DisableTimeoutAfterEndSession");
constexpr DWORD kDefaultTimeOutSeconds = 15;

}  // namespace

void CSessionAvailability::Clear() noexcept {
  m_SessionAvailability.clear();
  m_SessionTimeStamp.clear();
}

HRESULT CSessionAvailability::GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId) {
  qvlogLog(gLogChannel, LOG_ENTRY, m_messages.getSessionIdEntry, dwClientProcessId);
  HRESULT hr = S_OK;
  DWORD dwSessionId = 0;
  BOOL bAvailabled = TRUE;
  if (dwClientProcessId == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, m_messages.getProcessIdFailed);
    hr = E_FAIL;
  } else {
    CDebugPrivilegeScope debug;
    hr = debug.Enable();
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, m_messages.modifyPrivsFailed);
    } else {
      const BOOL bRet = Machine().ProcessIdToSessionId(dwClientProcessId, &dwSessionId);
      const DWORD dwError = GetLastError();
      qvlogLog(gLogChannel, LOG_DETAIL, m_messages.lookupResult, bRet, dwError);
      // The privilege goes back first: a failure to disable it outweighs
      // whatever the lookup gave.
      hr = debug.Disable();
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE, m_messages.modifyPrivsFailed);
      } else if (!bRet) {
        qvlogLog(gLogChannel, LOG_FAILURE, m_messages.lookupFailed);
        hr = E_FAIL;
      } else {
        qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.sessionId, dwSessionId);
        GetAvailabilityStoreFromSessionId(dwSessionId, &bAvailabled);
        if (!bAvailabled) {
          qvlogLog(gLogChannel, LOG_FAILURE, m_messages.unavailable);
          hr = E_FAIL;
        }
      }
    }
  }
  if (SUCCEEDED(hr)) {
    try {
      const std::string digits = std::to_string(dwSessionId);
      sSessionId.assign(digits.begin(), digits.end());
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
  }
  qvlogLog(gLogChannel, LOG_EXIT, m_messages.getSessionIdExit, hr);
  return hr;
}

DWORD CSessionAvailability::ReadTimeOut() const {
  DWORD dwTimeOut = 0;
  const LONG rc = zuRegReadDWORDValueEx(HKEY_LOCAL_MACHINE, kSettingsKey, kTimeOutValue, &dwTimeOut,
                                        ZU_REG_VIEW_64);
  if (rc != 0) {
    qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.readFailed, rc);
    return kDefaultTimeOutSeconds;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.readSucceeded, kSettingsKey, dwTimeOut);
  return dwTimeOut != 0 ? dwTimeOut : kDefaultTimeOutSeconds;
}

HRESULT CSessionAvailability::GetAvailabilityStoreFromSessionId(DWORD dwSessionId,
                                                                BOOL* pbAvailabled) {
  qvlogLog(gLogChannel, LOG_ENTRY, m_messages.getEntry, dwSessionId);
  BOOL bAvailabled = TRUE;
  auto it = m_SessionAvailability.find(dwSessionId);
  auto it1 = m_SessionTimeStamp.find(dwSessionId);
  if (it != m_SessionAvailability.end() && it1 != m_SessionTimeStamp.end()) {
    bAvailabled = it->second;
    if (!bAvailabled) {
      const DWORD dwTimeOut = ReadTimeOut();
      const LONGLONG tTime1 = Machine()._time64(nullptr);
      qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.now, tTime1);
      qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.stamp, it1->second);
      qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.timeOut, dwTimeOut);
      // The time-out counts as unsigned: a huge setting never turns negative.
      if (tTime1 - it1->second >= static_cast<LONGLONG>(dwTimeOut)) {
        bAvailabled = TRUE;
        it->second = TRUE;
        it1->second = tTime1;
      }
    }
  }
  if (pbAvailabled != nullptr) *pbAvailabled = bAvailabled;
  qvlogLog(gLogChannel, LOG_EXIT, m_messages.getExit, bAvailabled);
  return S_OK;
}

HRESULT CSessionAvailability::SetAvailabilityStoreFromSessionId(DWORD dwSessionId,
                                                                BOOL bAvailabled) {
  qvlogLog(gLogChannel, LOG_ENTRY, m_messages.setEntryExit);
  qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.setSessionId, dwSessionId);
  qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.setAvailability, bAvailabled);
  HRESULT hr = S_OK;
  try {
    m_SessionAvailability[dwSessionId] = bAvailabled;
    const LONGLONG tTimeStamp = Machine()._time64(nullptr);
    qvlogLog(gLogChannel, LOG_NOTABLE, m_messages.setStamp, tTimeStamp);
    m_SessionTimeStamp[dwSessionId] = tTimeStamp;
  } catch (const std::bad_alloc&) {
    // Without its time stamp the session counts as available, as without
    // any event.
    m_SessionAvailability.erase(dwSessionId);
    hr = E_OUTOFMEMORY;
  }
  qvlogLog(gLogChannel, LOG_EXIT, m_messages.setEntryExit);
  return hr;
}
