#include "pincache/internalauthstore.h"

#include "pincache/pinlines.h"
#include "pincache/timercallback.h"
#include "support/bstrconv.h"
#include "support/scopedbstr.h"
#include "trees/memorytree.h"
#include "trees/treepath.h"

namespace {

// Which identifiers an operation logs on entry; kOwnLines marks an
// operation that logs its failing steps itself rather than one worker's.
enum : unsigned { kCompartment = 1, kPIN = 2, kPINSession = 4, kOwnLines = 8 };

struct SOperationLines {
  CLogScopeName scope;
  logformat::CLogFormat<ULONG> pid;
  logformat::CLogFormat<const OLECHAR*> compartment;
  logformat::CLogFormat<const OLECHAR*> pinId;
  logformat::CLogFormat<const OLECHAR*> pinSessionId;
  logformat::CLogFormat<> workerFailed;
  unsigned inputs;
};

#define OPERATION_LINES(name, worker, inputs)                                                \
  (SOperationLines{LOG_SCOPE_NAME(name), OLESTR(name " dwClientProcessId = %d"),             \
                   OLESTR(name " bstrCompartmentId = %s"), OLESTR(name " bstrPINId = %s"),   \
                   OLESTR(name " bstrPINSessionId = %s"), OLESTR(name " " worker " failed"), \
                   inputs})

constexpr unsigned kRecord = kCompartment | kPIN;
constexpr unsigned kRecordBySession = kCompartment | kPIN | kPINSession;

constexpr SOperationLines kSetPIN =
    OPERATION_LINES("CInternalAuthStore::SetPIN", "SetInternalPIN", kRecord);
constexpr SOperationLines kSetPINFromPINSessionId = OPERATION_LINES(
    "CInternalAuthStore::SetPINFromPINSessionId", "SetInternalPIN", kRecordBySession);
constexpr SOperationLines kGetPIN =
    OPERATION_LINES("CInternalAuthStore::GetPIN", "GetInternalPIN", kRecord);
constexpr SOperationLines kGetPINFromPINSessionId = OPERATION_LINES(
    "CInternalAuthStore::GetPINFromPINSessionId", "GetInternalPIN", kRecordBySession);
constexpr SOperationLines kIsPINCached =
    OPERATION_LINES("CInternalAuthStore::IsPINCached", "IsInternalPINCached", kRecord);
constexpr SOperationLines kIsPINCachedFromPINSessionId = OPERATION_LINES(
    "CInternalAuthStore::IsPINCachedFromPINSessionId", "IsInternalPINCached", kRecordBySession);
constexpr SOperationLines kRemovePINFromPINSessionId = OPERATION_LINES(
    "CInternalAuthStore::RemovePINFromPINSessionId", "RemoveInternalPIN", kRecordBySession);
constexpr SOperationLines kRemoveExpiredPINFromPINSessionId = OPERATION_LINES(
    "CInternalAuthStore::RemoveExpiredPINFromPINSessionId", "RemoveInternalPIN", kRecordBySession);
constexpr SOperationLines kChangePINState =
    OPERATION_LINES("CInternalAuthStore::ChangePINState", "ChangeInternalPINState", kRecord);
constexpr SOperationLines kChangePINStateFromPINSessionId =
    OPERATION_LINES("CInternalAuthStore::ChangePINStateFromPINSessionId", "ChangeInternalPINState",
                    kRecordBySession);
constexpr SOperationLines kRemovePIN =
    OPERATION_LINES("CInternalAuthStore::RemovePIN", "RemoveInternalPIN", kRecord | kOwnLines);
constexpr SOperationLines kRemoveCompartment = OPERATION_LINES(
    "CInternalAuthStore::RemoveCompartment", "RemovePINCompartment", kCompartment | kOwnLines);
constexpr SOperationLines kFlushStore =
    OPERATION_LINES("CInternalAuthStore::FlushStore", "FlushTree", kOwnLines);

void LogInputs(const SOperationLines& lines, ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
               BSTR bstrPINSessionId) {
  qvlogLog(gLogChannel, LOG_NOTABLE, lines.pid, ulPID);
  if (lines.inputs & kCompartment) {
    qvlogLog(gLogChannel, LOG_NOTABLE, lines.compartment,
             static_cast<const OLECHAR*>(bstrCompartmentId));
  }
  if (lines.inputs & kPIN) {
    qvlogLog(gLogChannel, LOG_NOTABLE, lines.pinId, static_cast<const OLECHAR*>(bstrPINId));
  }
  if (lines.inputs & kPINSession) {
    qvlogLog(gLogChannel, LOG_NOTABLE, lines.pinSessionId,
             static_cast<const OLECHAR*>(bstrPINSessionId));
  }
}

// The identifier a worker produced goes to the caller's *pbstrPINSessionId
// when the operation succeeded: a failed call hands out nothing the caller
// would have to free.
void HandOut(HRESULT hr, CScopedBSTR& bstrLocal, BSTR* pbstrPINSessionId) {
  if (FAILED(hr) || pbstrPINSessionId == nullptr || bstrLocal.Get() == nullptr) return;
  *pbstrPINSessionId = bstrLocal.Release();
}

}  // namespace

CInternalAuthStore::CInternalAuthStore()
    : m_availability(SESSION_AVAILABILITY_MESSAGES("CInternalAuthStore")) {}

CInternalAuthStore::~CInternalAuthStore() {
  // An owner that never ended the store still leaves no timer behind.
  if (m_Tree != nullptr || !m_mapTimers.empty() || !m_mapExpiredTimers.empty()) End();
}

// Runs one operation: its entry lines, the lock, the worker, its failure
// line, and the exit line after the lock is released.
template <class F>
static HRESULT RunOperation(const SOperationLines& lines, CCriticalSection& lock, ULONG ulPID,
                            BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId,
                            F&& worker) {
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  LogInputs(lines, ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId);
  CScopedLock held(lock);
  hr = PINNoThrow(worker);
  if (FAILED(hr) && !(lines.inputs & kOwnLines)) LogPINFailure(lines.workerFailed);
  return hr;
}

HRESULT CInternalAuthStore::Begin(BSTR bstrStoreId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::Begin"), hr);
  CScopedLock lock(m_Lock);
  hr = PINNoThrow([&]() -> HRESULT {
    nType = 0;
    bEncrypted = TRUE;
    bSharedBetweenUserSessions = FALSE;
    secwstring sStoreId;
    HRESULT hrStep = BSTR2wstring(bstrStoreId, sStoreId);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::Begin BSTR2wstring failed"));
      return hrStep;
    }
    DestroyAllTimers(OLESTR("CInternalAuthStore::Begin pTimer = %p"),
                     OLESTR("CInternalAuthStore::Begin Expired pTimer = %p"));
    m_mapPINSessions.clear();
    m_availability.Clear();
    m_Tree = std::make_unique<CMemoryTree>(sStoreId);
    if (!m_settingsHold) m_settingsHold.emplace();
    m_nPINCachingMode = 1;
    hrStep = GetPINCachingMode(&m_nPINCachingMode);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::Begin GetPINCachingMode failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::GetStoreInfo"), hr);
  if (pnType != nullptr) *pnType = nType;
  if (pbEncrypted != nullptr) *pbEncrypted = bEncrypted;
  if (pbShared != nullptr) *pbShared = bSharedBetweenUserSessions;
  return hr;
}

HRESULT CInternalAuthStore::SetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                   SAFEARRAY* pPINValue, SAFEARRAY* pAdditionalParameters,
                                   BSTR* pbstrPINSessionId) {
  return RunOperation(kSetPIN, m_Lock, ulPID, bstrCompartmentId, bstrPINId, nullptr, [&] {
    CScopedBSTR bstrLocal;
    const HRESULT hr = SetInternalPIN(PIN_BY_PROCESS, ulPID, bstrCompartmentId, bstrPINId,
                                      bstrLocal.Receive(), pPINValue, pAdditionalParameters);
    HandOut(hr, bstrLocal, pbstrPINSessionId);
    return hr;
  });
}

HRESULT CInternalAuthStore::SetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                   BSTR bstrPINId, BSTR bstrPINSessionId,
                                                   SAFEARRAY* pPINValue,
                                                   SAFEARRAY* pAdditionalParameters) {
  return RunOperation(
      kSetPINFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId, [&] {
        BSTR bstrGiven = bstrPINSessionId;
        return SetInternalPIN(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId, bstrPINId, &bstrGiven,
                              pPINValue, pAdditionalParameters);
      });
}

HRESULT CInternalAuthStore::GetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                   SAFEARRAY* pAdditionalParameters, SAFEARRAY** pPINValue,
                                   BSTR* pbstrPINSessionId, INT* pnPINState) {
  return RunOperation(kGetPIN, m_Lock, ulPID, bstrCompartmentId, bstrPINId, nullptr, [&] {
    CScopedBSTR bstrLocal;
    const HRESULT hr =
        GetInternalPIN(PIN_BY_PROCESS, ulPID, bstrCompartmentId, bstrPINId, bstrLocal.Receive(),
                       pAdditionalParameters, pPINValue, pnPINState);
    HandOut(hr, bstrLocal, pbstrPINSessionId);
    return hr;
  });
}

HRESULT CInternalAuthStore::GetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                   BSTR bstrPINId, BSTR bstrPINSessionId,
                                                   SAFEARRAY* pAdditionalParameters,
                                                   SAFEARRAY** pPINValue, INT* pnPINState) {
  return RunOperation(
      kGetPINFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId, [&] {
        BSTR bstrGiven = bstrPINSessionId;
        return GetInternalPIN(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId, bstrPINId, &bstrGiven,
                              pAdditionalParameters, pPINValue, pnPINState);
      });
}

HRESULT CInternalAuthStore::IsPINCached(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                        SAFEARRAY* pAdditionalParameters, BSTR* pbstrPINSessionId,
                                        INT* pnPINState) {
  return RunOperation(kIsPINCached, m_Lock, ulPID, bstrCompartmentId, bstrPINId, nullptr, [&] {
    CScopedBSTR bstrLocal;
    const HRESULT hr = IsInternalPINCached(PIN_BY_PROCESS, ulPID, bstrCompartmentId, bstrPINId,
                                           bstrLocal.Receive(), pAdditionalParameters, pnPINState);
    HandOut(hr, bstrLocal, pbstrPINSessionId);
    return hr;
  });
}

HRESULT CInternalAuthStore::IsPINCachedFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                        BSTR bstrPINId, BSTR bstrPINSessionId,
                                                        SAFEARRAY* pAdditionalParameters,
                                                        INT* pnPINState) {
  return RunOperation(kIsPINCachedFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId,
                      bstrPINSessionId, [&] {
                        BSTR bstrGiven = bstrPINSessionId;
                        return IsInternalPINCached(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId,
                                                   bstrPINId, &bstrGiven, pAdditionalParameters,
                                                   pnPINState);
                      });
}

HRESULT CInternalAuthStore::RemovePINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                      BSTR bstrPINId, BSTR bstrPINSessionId) {
  return RunOperation(kRemovePINFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId,
                      bstrPINSessionId, [&] {
                        return RemoveInternalPIN(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId,
                                                 bstrPINId, bstrPINSessionId, false);
                      });
}

HRESULT CInternalAuthStore::RemoveExpiredPINFromPINSessionId(
    ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId,
    const CTimerCallbackFunction* pCallback) {
  return RunOperation(
      kRemoveExpiredPINFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId,
      bstrPINSessionId, [&]() -> HRESULT {
        if (pCallback != nullptr && pCallback->Cancelled()) {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("CInternalAuthStore::RemoveExpiredPINFromPINSessionId timer cancelled"));
          return S_OK;
        }
        return RemoveInternalPIN(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId, bstrPINId,
                                 bstrPINSessionId, true);
      });
}

HRESULT CInternalAuthStore::ChangePINState(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                           INT nPINState) {
  return RunOperation(kChangePINState, m_Lock, ulPID, bstrCompartmentId, bstrPINId, nullptr, [&] {
    CScopedBSTR bstrLocal;
    return ChangeInternalPINState(PIN_BY_PROCESS, ulPID, bstrCompartmentId, bstrPINId,
                                  bstrLocal.Receive(), nPINState);
  });
}

HRESULT CInternalAuthStore::ChangePINStateFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                           BSTR bstrPINId, BSTR bstrPINSessionId,
                                                           INT nPINState) {
  return RunOperation(kChangePINStateFromPINSessionId, m_Lock, ulPID, bstrCompartmentId, bstrPINId,
                      bstrPINSessionId, [&] {
                        BSTR bstrGiven = bstrPINSessionId;
                        return ChangeInternalPINState(PIN_BY_PIN_SESSION, ulPID, bstrCompartmentId,
                                                      bstrPINId, &bstrGiven, nPINState);
                      });
}

HRESULT CInternalAuthStore::RemovePIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                      SAFEARRAY* pAdditionalParameters) {
  return RunOperation(
      kRemovePIN, m_Lock, ulPID, bstrCompartmentId, bstrPINId, nullptr, [&]() -> HRESULT {
        SAdditionalParameters parameters;
        HRESULT hr = GetAdditionalParameters(pAdditionalParameters, parameters);
        if (FAILED(hr)) {
          LogPINFailure(OLESTR("CInternalAuthStore::RemovePIN GetAdditionalParameters failed"));
          return hr;
        }
        if (parameters.sAllProcess == kFalse && parameters.sAllSession == kFalse) {
          return RemoveInternalPIN(PIN_BY_PROCESS, ulPID, bstrCompartmentId, bstrPINId, nullptr,
                                   false);
        }
        secwstring sCompartmentId, sPINId;
        hr = BSTR2wstring(bstrCompartmentId, sCompartmentId);
        if (SUCCEEDED(hr)) hr = BSTR2wstring(bstrPINId, sPINId);
        if (FAILED(hr)) {
          LogPINFailure(OLESTR("CInternalAuthStore::RemovePIN BSTR2wstring failed"));
          return hr;
        }
        if (parameters.sAllProcess == kTrue && m_nPINCachingMode == 0) {
          // Every process's record of the PIN lies below the per-session name.
          secwstring sSessionId;
          hr = m_availability.GetSessionId(ulPID, sSessionId);
          if (FAILED(hr)) {
            LogPINFailure(OLESTR("CInternalAuthStore::RemovePIN GetSessionId failed"));
            return hr;
          }
          if (m_Tree == nullptr) {
            LogPINFailure(OLESTR("CInternalAuthStore::RemovePIN NULL == m_Tree"));
            return E_FAIL;
          }
          hr = m_Tree->RemoveCompartment(
              sSessionId + kPathSeparator + sCompartmentId + kPathSeparator + sPINId, 1, 0);
          if (FAILED(hr)) {
            LogPINFailure(OLESTR("CInternalAuthStore::RemovePIN RemoveCompartment failed"));
            return hr;
          }
        }
        if (parameters.sAllSession == kTrue) {
          // Several identifiers may name one session: the later attempts on a
          // record already gone fail quietly.
          const auto sessions = m_mapPINSessions;
          for (const auto& [sPINSessionId, sSessionId] : sessions) {
            if (FAILED(
                    RemovePINData(RecordName(sSessionId, sCompartmentId, sPINId, ulPID), false))) {
              qvlogLog(gLogChannel, LOG_NOTABLE,
                       OLESTR("CInternalAuthStore::RemovePIN RemovePINData failed"));
            }
          }
          hr = S_OK;
        }
        return hr;
      });
}

HRESULT CInternalAuthStore::RemoveCompartment(ULONG ulPID, BSTR bstrCompartmentId,
                                              SAFEARRAY* pAdditionalParameters) {
  return RunOperation(
      kRemoveCompartment, m_Lock, ulPID, bstrCompartmentId, nullptr, nullptr, [&]() -> HRESULT {
        SAdditionalParameters parameters;
        HRESULT hr = GetAdditionalParameters(pAdditionalParameters, parameters);
        if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_NOTABLE,
                   OLESTR("CInternalAuthStore::RemoveCompartment GetAdditionalParameters failed"));
          return hr;
        }
        secwstring sSessionId;
        hr = m_availability.GetSessionId(ulPID, sSessionId);
        if (FAILED(hr)) {
          LogPINFailure(OLESTR("CInternalAuthStore::RemoveCompartment GetSessionId failed"));
          return hr;
        }
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CInternalAuthStore::RemoveCompartment sSessionId = %s"),
                 sSessionId.c_str());
        secwstring sCompartmentId;
        hr = BSTR2wstring(bstrCompartmentId, sCompartmentId);
        if (FAILED(hr)) {
          LogPINFailure(OLESTR("CInternalAuthStore::RemoveCompartment BSTR2wstring failed"));
          return hr;
        }
        if (m_Tree == nullptr) {
          LogPINFailure(OLESTR("CInternalAuthStore::RemoveCompartment m_Tree == NULL"));
          return E_FAIL;
        }
        if (parameters.sAllSession == kFalse) {
          return RemovePINCompartment(sSessionId + kPathSeparator + sCompartmentId);
        }
        if (parameters.sAllSession == kTrue) {
          const auto sessions = m_mapPINSessions;
          for (const auto& [sPINSessionId, sSession] : sessions) {
            if (FAILED(RemovePINCompartment(sSession + kPathSeparator + sCompartmentId))) {
              qvlogLog(gLogChannel, LOG_NOTABLE,
                       OLESTR("CInternalAuthStore::RemoveCompartment RemovePINCompartment failed"));
            }
          }
        }
        return S_OK;
      });
}

HRESULT CInternalAuthStore::FlushStore(ULONG ulPID, SAFEARRAY* pAdditionalParameters) {
  return RunOperation(kFlushStore, m_Lock, ulPID, nullptr, nullptr, nullptr, [&]() -> HRESULT {
    SAdditionalParameters parameters;
    HRESULT hr = GetAdditionalParameters(pAdditionalParameters, parameters);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalAuthStore::FlushStore GetAdditionalParameters failed"));
      return hr;
    }
    DestroyAllTimers(OLESTR("CInternalAuthStore::FlushStore pTimer = %p"),
                     OLESTR("CInternalAuthStore::FlushStore Expired pTimer = %p"));
    if (m_Tree == nullptr) {
      LogPINFailure(OLESTR("CInternalAuthStore::FlushStore m_Tree == NULL"));
      return E_FAIL;
    }
    hr = m_Tree->FlushTree(0);
    if (FAILED(hr)) LogPINFailure(kFlushStore.workerFailed);
    return hr;
  });
}

HRESULT CInternalAuthStore::FlushStoreFromSessionId(DWORD dwSessionId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::FlushStoreFromSessionId"), hr);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalAuthStore::FlushStoreFromSessionId dwSessionId = %d"), dwSessionId);
  CScopedLock lock(m_Lock);
  hr = PINNoThrow([&]() -> HRESULT {
    if (m_Tree == nullptr) {
      LogPINFailure(OLESTR("CInternalAuthStore::FlushStoreFromSessionId m_Tree == NULL"));
      return E_FAIL;
    }
    const HRESULT hrStep = RemovePINCompartment(PINDecimal(dwSessionId));
    if (FAILED(hrStep)) {
      LogPINFailure(
          OLESTR("CInternalAuthStore::FlushStoreFromSessionId RemovePINCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::MoveStore(DWORD dwFromSessionId, DWORD dwToSessionId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::MoveStore"), hr);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalAuthStore::MoveStore dwFromSessionId = %d dwToSessionId = %d"),
           dwFromSessionId, dwToSessionId);
  CScopedLock lock(m_Lock);
  hr = PINNoThrow([&]() -> HRESULT {
    const secwstring sCompartmentIdFromGlobal = PINDecimal(dwFromSessionId);
    const secwstring sCompartmentIdToGlobal = PINDecimal(dwToSessionId);
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::MoveStore sCompartmentIdFromGlobal = %s "
                    "sCompartmentIdToGlobal = %s"),
             sCompartmentIdFromGlobal.c_str(), sCompartmentIdToGlobal.c_str());
    if (m_Tree == nullptr) {
      LogPINFailure(OLESTR("CInternalAuthStore::MoveStore m_Tree == NULL"));
      return E_FAIL;
    }
    const HRESULT hrStep = MovePINCompartment(sCompartmentIdFromGlobal, sCompartmentIdToGlobal);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::MoveStore MovePINCompartment failed"));
      return hrStep;
    }
    // The identifiers issued in the source lead to the target from now on;
    // the timers keep their old names.
    for (auto& [sPINSessionId, sSessionId] : m_mapPINSessions) {
      if (sSessionId == sCompartmentIdFromGlobal) sSessionId = sCompartmentIdToGlobal;
    }
    return S_OK;
  });
  return hr;
}

HRESULT CInternalAuthStore::SetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL bAvailabled) {
  CScopedLock lock(m_Lock);
  return m_availability.SetAvailabilityStoreFromSessionId(dwSessionId, bAvailabled);
}

HRESULT CInternalAuthStore::GetAvailabilityStoreFromSessionId(DWORD dwSessionId,
                                                              BOOL* pbAvailabled) {
  CScopedLock lock(m_Lock);
  return m_availability.GetAvailabilityStoreFromSessionId(dwSessionId, pbAvailabled);
}

HRESULT CInternalAuthStore::GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId) {
  CScopedLock lock(m_Lock);
  return m_availability.GetSessionId(dwClientProcessId, sSessionId);
}

size_t CInternalAuthStore::PINSessionCount() {
  CScopedLock lock(m_Lock);
  return m_mapPINSessions.size();
}
