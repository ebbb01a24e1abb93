// The caching policy of CInternalAuthStore: the additional parameters of a
// call, the settings, and the expiry timers with the end of the store.
#include <new>

#include "pincache/internalauthstore.h"
#include "pincache/pinlines.h"
#include "pincache/timercallback.h"
#include "support/bstrconv.h"
#include "support/scopedbstr.h"
#include "support/zusettings.h"
#include "support/zuwinext.h"

namespace {

constexpr OLECHAR kAllowPerProcess[] = OLESTR("Kelmyr.Authentication.AllowPerProcess");
constexpr OLECHAR kTimeout[] = OLESTR("Kelmyr.Authentication.Timeout");
constexpr OLECHAR kPINAlways[] =
    OLESTR("Kelmyr.Authentication.EnablePINCacheForPINAlwaysPrivateKeys");

// The timeout setting that means "never expires", and the lifetime of 0.
constexpr DWORD kNoExpiry = 0x80000000u;
constexpr DWORD kShortestSeconds = 5;

LONGLONG ReadSetting(const OLECHAR* pszName) {
  QVData value;
  GetSettingValue(secwstring(pszName), value, nullptr);
  return value.Int();
}

// An exact copy of a caller's string; false when a string could not be
// copied.
bool CopyString(BSTR src, BSTR& dst) {
  dst = src != nullptr ? SysAllocStringLen(src, SysStringLen(src)) : nullptr;
  return src == nullptr || dst != nullptr;
}

}  // namespace

CInternalAuthStore::CTimerEntry::~CTimerEntry() {
  m_pCallback->Cancel();
  delete m_pTimer;
}

HRESULT CInternalAuthStore::GetAdditionalParameters(SAFEARRAY* pAdditionalParameters,
                                                    SAdditionalParameters& parameters) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::GetAdditionalParameters"), hr);
  hr = PINNoThrow([&]() -> HRESULT {
    parameters = SAdditionalParameters{OLESTR("No"),    OLESTR("None"), OLESTR("False"),
                                       OLESTR("False"), OLESTR("Yes"),  OLESTR("False")};
    if (pAdditionalParameters == nullptr) {
      LogPINFailure(
          OLESTR("CInternalAuthStore::GetAdditionalParameters NULL == pAdditionalParameters"));
      return S_OK;
    }
    VARTYPE vt = VT_EMPTY;
    HRESULT hrStep = SafeArrayGetVartype(pAdditionalParameters, &vt);
    if (FAILED(hrStep) || vt != VT_BSTR) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalAuthStore::GetAdditionalParameters bad VARTYPE for "
                      "pAdditionalParameters"));
      return hrStep;
    }
    // Pairs are read along one dimension; an array of more is refused
    // rather than read with a partial index.
    if (SafeArrayGetDim(pAdditionalParameters) != 1) {
      LogPINFailure(OLESTR(
          "CInternalAuthStore::GetAdditionalParameters bad dimensions for pAdditionalParameters"));
      return E_INVALIDARG;
    }
    const LONG lCount = static_cast<LONG>(pAdditionalParameters->rgsabound[0].cElements);
    // One element into sItem when it can be fetched and is there; the
    // result of its conversion (of the fetch in *phrFetch when asked).
    auto readElement = [&](LONG lIndex, logformat::CLogFormat<const OLECHAR*> bstrLine,
                           logformat::CLogFormat<const OLECHAR*> itemLine, secwstring& sItem,
                           HRESULT* phrFetch) -> HRESULT {
      CScopedBSTR bstr;
      const HRESULT hrFetch = SafeArrayGetElement(pAdditionalParameters, &lIndex, bstr.Receive());
      if (phrFetch != nullptr) *phrFetch = hrFetch;
      if (FAILED(hrFetch) || bstr.Get() == nullptr) return S_OK;
      qvlogLog(gLogChannel, LOG_NOTABLE, bstrLine, static_cast<const OLECHAR*>(bstr.Get()));
      const HRESULT hrConvert = BSTR2wstring(bstr.Get(), sItem);
      bstr.Reset();
      if (FAILED(hrConvert)) {
        LogPINFailure(
            OLESTR("CInternalAuthStore::GetAdditionalParameters wrong parameter in "
                   "pAdditionalParameters"));
        return hrConvert;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE, itemLine, sItem.c_str());
      return S_OK;
    };
    secwstring sName, sValue;
    for (LONG i = 0; i < lCount; i += 2) {
      // A name that cannot be fetched leaves the previous one in place; the
      // fetch of the value decides the result (an odd count ends with the
      // failure of the missing last value).
      HRESULT hrConvert = readElement(
          i, OLESTR("CInternalAuthStore::GetAdditionalParameters bstrName = %s"),
          OLESTR("CInternalAuthStore::GetAdditionalParameters sName = %s"), sName, nullptr);
      if (FAILED(hrConvert)) return hrConvert;
      hrConvert = readElement(
          i + 1, OLESTR("CInternalAuthStore::GetAdditionalParameters bstrValue = %s"),
          OLESTR("CInternalAuthStore::GetAdditionalParameters sValue = %s"), sValue, &hrStep);
      if (FAILED(hrConvert)) return hrConvert;
      if (sName == OLESTR("IsACRPINAlways")) {
        parameters.sIsACRPINAlways = sValue;
      } else if (sName == OLESTR("Action")) {
        parameters.sAction = sValue;
      } else if (sName == OLESTR("AllProcess")) {
        parameters.sAllProcess = sValue;
      } else if (sName == OLESTR("AllSession")) {
        parameters.sAllSession = sValue;
      } else if (sName == OLESTR("CheckClientCaller")) {
        parameters.sCheckClientCaller = sValue;
      } else if (sName == OLESTR("BypassPINAlways")) {
        parameters.sBypassPINAlways = sValue;
      }
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::GetPINCachingMode(DWORD* pnMode) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::GetPINCachingMode"), hr);
  *pnMode = 1;
  const LONGLONG llValue = ReadSetting(kAllowPerProcess);
  if (llValue == 0) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::GetPINCachingMode GetSettingValue(%s,...) returned "
                    "Active mode = Allow per Session"),
             kAllowPerProcess);
  } else if (llValue == 1) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::GetPINCachingMode GetSettingValue(%s,...) returned "
                    "Active mode = Allow per Process"),
             kAllowPerProcess);
    *pnMode = 0;
  }
  return hr;
}

HRESULT CInternalAuthStore::GetPINCachingTimeout(DWORD* pdwMinutes) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::GetPINCachingTimeout"), hr);
  *pdwMinutes = static_cast<DWORD>(ReadSetting(kTimeout) & 0xFFFFFFFF);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalAuthStore::GetPINCachingTimeout GetSettingValue(%s, ...) returned %d "
                  "minutes"),
           kTimeout, *pdwMinutes);
  return hr;
}

HRESULT CInternalAuthStore::GetPINAlwaysCachingMode(DWORD* pnMode) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::GetPINAlwaysCachingMode"), hr);
  *pnMode = 0;
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalAuthStore::GetPINAlwaysCachingMode Reading %s "), kPINAlways);
  const LONGLONG llValue = ReadSetting(kPINAlways);
  if (llValue == 0) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::GetPINAlwaysCachingMode GetSettingValue(%s) returned "
                    "Active PIN Always mode = PIN Prompt"),
             kPINAlways);
  } else if (llValue == 1) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::GetPINAlwaysCachingMode GetSettingValue(%s) returned "
                    "Active PIN Always mode = Confirmation Prompt"),
             kPINAlways);
    *pnMode = 1;
  }
  return hr;
}

HRESULT CInternalAuthStore::SetInternalTimer(const secwstring& sCompartmentIdGlobal, ULONG ulPID,
                                             BSTR bstrCompartmentId, BSTR bstrPINId,
                                             BSTR bstrPINSessionId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::SetInternalTimer"), hr);
  RemoveExpiredTimers();
  auto it = m_mapTimers.find(sCompartmentIdGlobal);
  if (it == m_mapTimers.end()) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::SetInternalTimer sCompartmentIdGlobal not found in list"));
  }
  DWORD dwMinutes = 0;
  GetPINCachingTimeout(&dwMinutes);
  if (dwMinutes == kNoExpiry) return hr;
  // A restarted timer keeps the period, the process and the identifiers of
  // its creation.
  if (it != m_mapTimers.end()) {
    it->second.Timer()->Restart();
    return hr;
  }
  const DWORD dwPeriod = dwMinutes == 0 ? kShortestSeconds : dwMinutes * 60;

  auto* pData = new (std::nothrow) TimerCallbackData{this, ulPID};
  if (pData == nullptr) {
    hr = E_OUTOFMEMORY;
    return hr;
  }
  auto* pCallback = new (std::nothrow) CTimerCallbackFunction(pData);
  if (pCallback == nullptr) {
    delete pData;
    hr = E_OUTOFMEMORY;
    return hr;
  }
  std::unique_ptr<CTimerCallbackFunction> owned(pCallback);
  if (!CopyString(bstrCompartmentId, pData->bstrCompartmentId) ||
      !CopyString(bstrPINId, pData->bstrPINId) ||
      !CopyString(bstrPINSessionId, pData->bstrPINSessionId)) {
    LogPINFailure(OLESTR("CInternalAuthStore::SetInternalTimer SysAllocString failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  ZU::Framework::ITimer* pTimer = ZU::Framework::ITimer::CreateNewTimer(dwPeriod, owned.release());
  if (pTimer == nullptr) {
    LogPINFailure(OLESTR("CInternalAuthStore::SetInternalTimer CreateNewTimer failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalAuthStore::SetInternalTimer timeout = %d s"),
           dwPeriod);
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalAuthStore::SetInternalTimer pTimer = %p"),
           static_cast<const void*>(pTimer));
  try {
    m_mapTimers.try_emplace(sCompartmentIdGlobal, pTimer, pCallback);
  } catch (const std::bad_alloc&) {
    // A timer the store cannot list would fire into a record it never
    // tracks: it goes at once.
    pCallback->Cancel();
    delete pTimer;
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

HRESULT CInternalAuthStore::RemoveExpiredTimers() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::RemoveExpiredTimers"), hr);
  for (const auto& [sName, entry] : m_mapExpiredTimers) {
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::RemoveExpiredTimers pTimer = %p"),
             static_cast<const void*>(entry.Timer()));
  }
  m_mapExpiredTimers.clear();
  return hr;
}

void CInternalAuthStore::DestroyAllTimers(logformat::CLogFormat<const void*> armedLine,
                                          logformat::CLogFormat<const void*> expiredLine) {
  for (const auto& [sName, entry] : m_mapTimers) {
    qvlogLog(gLogChannel, LOG_NOTABLE, armedLine, static_cast<const void*>(entry.Timer()));
  }
  m_mapTimers.clear();
  for (const auto& [sName, entry] : m_mapExpiredTimers) {
    qvlogLog(gLogChannel, LOG_NOTABLE, expiredLine, static_cast<const void*>(entry.Timer()));
  }
  m_mapExpiredTimers.clear();
}

HRESULT CInternalAuthStore::End() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::End"), hr);
  {
    CScopedLock lock(m_Lock);
    DestroyAllTimers(OLESTR("CInternalAuthStore::End pTimer = %p"),
                     OLESTR("CInternalAuthStore::End Expired pTimer = %p"));
    m_mapPINSessions.clear();
    m_availability.Clear();
  }
  // A callback that was waiting for the lock finds itself cancelled; none
  // may still be running when the store goes.
  ZU::Framework::ITimer::WaitForRunningCallbacks();
  CScopedLock lock(m_Lock);
  m_Tree.reset();
  m_settingsHold.reset();
  return hr;
}
