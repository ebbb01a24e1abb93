// The workers of CInternalAuthStore that build, read, test, change and
// remove PIN records. They run with the store lock held.
#include <memory>

#include "pincache/internalauthstore.h"
#include "pincache/pinlines.h"
#include "platform/machine.h"
#include "security/protect.h"
#include "support/bstrconv.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"
#include "trees/treepath.h"

namespace {

constexpr SPINLines kSetInternalPIN = PIN_LINES("CInternalAuthStore::SetInternalPIN");
constexpr SPINLines kGetInternalPIN = PIN_LINES("CInternalAuthStore::GetInternalPIN");
constexpr SPINLines kIsInternalPINCached = PIN_LINES("CInternalAuthStore::IsInternalPINCached");
constexpr SPINLines kChangeInternalPINState =
    PIN_LINES("CInternalAuthStore::ChangeInternalPINState");
constexpr SPINLines kRemoveInternalPIN = PIN_LINES("CInternalAuthStore::RemoveInternalPIN");
constexpr SPINLines kRemovePINData = PIN_LINES("CInternalAuthStore::RemovePINData");

// The length of a braced GUID with its terminator.
constexpr int kGUIDChars = 39;

// A new copy of src for *pbstr, replacing what it held; nothing when pbstr
// is null or there is no identifier.
HRESULT CopyOut(BSTR src, BSTR* pbstr) {
  if (pbstr == nullptr || src == nullptr) return S_OK;
  BSTR copy = SysAllocStringLen(src, SysStringLen(src));
  if (copy == nullptr) return E_OUTOFMEMORY;
  if (*pbstr != nullptr) zuSysFreeString(*pbstr, ZU_RELEASE_TEMPORARY);
  *pbstr = copy;
  return S_OK;
}

bool IsAuthenticating(const secwstring& sAction) {
  return sAction == OLESTR("Authenticate") || sAction == OLESTR("ChangeAuthenticator");
}

}  // namespace

// The record as the get and test workers read it.
struct CInternalAuthStore::SRecord {
  secwstring sName;
  CScopedBSTR bstrPINSessionId;  // as stored
  CScopedSafeArray value;        // protected
  bool bAvailable = false;
  secwstring sBypass;
  SAdditionalParameters parameters;
};

secwstring CInternalAuthStore::RecordName(const secwstring& sSessionId,
                                          const secwstring& sCompartmentId,
                                          const secwstring& sPINId, ULONG ulPID) const {
  secwstring sName = sSessionId + kPathSeparator + sCompartmentId + kPathSeparator + sPINId;
  if (m_nPINCachingMode == 0) sName += kPathSeparator + PINDecimal(ulPID);
  return sName;
}

HRESULT CInternalAuthStore::ResolveRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                                          BSTR bstrCompartmentId, BSTR bstrPINId,
                                          BSTR bstrPINSessionId, secwstring& sCompartmentIdGlobal,
                                          secwstring* psSessionId) {
  if (m_Tree == nullptr) {
    LogPINFailure(lines.treeNull);
    return E_FAIL;
  }
  secwstring sSessionId;
  HRESULT hr = S_OK;
  if (eLookup == PIN_BY_PROCESS) {
    hr = m_availability.GetSessionId(ulPID, sSessionId);
    if (FAILED(hr)) {
      LogPINFailure(lines.getSessionIdFailed);
      return hr;
    }
  } else {
    secwstring sPINSessionId;
    hr = BSTR2wstring(bstrPINSessionId, sPINSessionId);
    if (FAILED(hr)) {
      LogPINFailure(lines.bstrFailed);
      return hr;
    }
    auto it = m_mapPINSessions.find(sPINSessionId);
    if (it != m_mapPINSessions.end()) {
      sSessionId = it->second;
    } else {
      // Every identifier the store never issued names the same record,
      // under an empty session part.
      LogPINFailure(lines.pinSessionNotFound);
    }
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, lines.sessionId, sSessionId.c_str());
  secwstring sCompartmentId, sPINId;
  hr = BSTR2wstring(bstrCompartmentId, sCompartmentId);
  if (SUCCEEDED(hr)) hr = BSTR2wstring(bstrPINId, sPINId);
  if (FAILED(hr)) {
    LogPINFailure(lines.bstrFailed);
    return hr;
  }
  sCompartmentIdGlobal = RecordName(sSessionId, sCompartmentId, sPINId, ulPID);
  if (psSessionId != nullptr) *psSessionId = sSessionId;
  return S_OK;
}

HRESULT CInternalAuthStore::ReadString(const SPINLines& lines, const secwstring& sName,
                                       const OLECHAR* pszItem, secwstring& sValue, bool& bPresent,
                                       bool* pbTreeFailed) {
  bPresent = false;
  CScopedSafeArray array;
  HRESULT hr = m_Tree->GetData(sName, secwstring(pszItem), array.Receive(), 0);
  if (pbTreeFailed != nullptr) *pbTreeFailed = FAILED(hr);
  if (hr == E_INVALIDARG) {
    qvlogLog(gLogChannel, LOG_NOTABLE, lines.dataNotFound);
    return hr;
  }
  if (FAILED(hr)) {
    LogPINFailure(lines.getDataFailed);
    return hr;
  }
  if (array.Get() == nullptr) return S_OK;
  CScopedBSTR element;
  LONG lIndex = 0;
  hr = SafeArrayGetElement(array.Get(), &lIndex, element.Receive());
  if (FAILED(hr)) {
    LogPINFailure(lines.getElementFailed);
    return hr;
  }
  if (FAILED(array.Reset())) LogPINFailure(lines.releaseFailed);
  if (element.Get() == nullptr) return S_OK;
  hr = BSTR2wstring(element.Get(), sValue);
  if (FAILED(hr)) {
    LogPINFailure(lines.bstrFailed);
    return hr;
  }
  bPresent = true;
  return S_OK;
}

HRESULT CInternalAuthStore::WriteString(const SPINLines& lines, const secwstring& sName,
                                        const OLECHAR* pszItem, const OLECHAR* pszValue,
                                        UINT cchValue) {
  CScopedSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, 1));
  if (array.Get() == nullptr) {
    LogPINFailure(lines.createVectorFailed);
    return E_OUTOFMEMORY;
  }
  if (pszValue != nullptr) {
    const CScopedBSTR element(SysAllocStringLen(pszValue, cchValue));
    LONG lIndex = 0;
    const HRESULT hrPut = element.Get() == nullptr
                              ? E_OUTOFMEMORY
                              : SafeArrayPutElement(array.Get(), &lIndex, element.Get());
    if (FAILED(hrPut)) {
      LogPINFailure(lines.putElementFailed);
      return hrPut;
    }
  }
  const HRESULT hr = m_Tree->SetData(sName, secwstring(pszItem), array.Get(), 0, 0);
  if (FAILED(hr)) LogPINFailure(lines.setDataFailed);
  if (FAILED(array.Reset())) LogPINFailure(lines.releaseFailed);
  return hr;
}

HRESULT CInternalAuthStore::WriteAvailability(const SPINLines& lines, const secwstring& sName,
                                              bool bAvailable) {
  const OLECHAR* pszState = bAvailable ? kAvailable : kUnavailable;
  return WriteString(lines, sName, kPINAlwaysState, pszState,
                     static_cast<UINT>(std::char_traits<OLECHAR>::length(pszState)));
}

HRESULT CInternalAuthStore::ReadPINSessionId(const SPINLines& lines, const secwstring& sName,
                                             BSTR& bstrStored) {
  secwstring sValue;
  bool bPresent = false;
  HRESULT hr = ReadString(lines, sName, kPINSessionId, sValue, bPresent);
  if (FAILED(hr) || !bPresent) return hr;
  hr = wstring2BSTR(sValue, bstrStored);
  if (FAILED(hr)) LogPINFailure(lines.wstring2BSTRFailed);
  return hr;
}

HRESULT CInternalAuthStore::SetInternalPIN(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId,
                                           BSTR bstrPINId, BSTR* pbstrPINSessionId,
                                           SAFEARRAY* pPINValue, SAFEARRAY* pAdditionalParameters) {
  const SPINLines& lines = kSetInternalPIN;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  hr = PINNoThrow([&]() -> HRESULT {
    if (pbstrPINSessionId == nullptr) return E_POINTER;
    secwstring sNewPINSessionId;
    if (eLookup == PIN_BY_PROCESS) {
      GUID guid = {};
      HRESULT hrStep = CoCreateGuid(&guid);
      if (FAILED(hrStep)) {
        LogPINFailure(OLESTR("CInternalAuthStore::SetInternalPIN CoCreateGuid failed"));
        return hrStep;
      }
      std::unique_ptr<OLECHAR[]> szGUID(new (std::nothrow) OLECHAR[kGUIDChars]());
      if (szGUID == nullptr) {
        LogPINFailure(OLESTR("CInternalAuthStore::SetInternalPIN szGUID allocation failed"));
        return E_OUTOFMEMORY;
      }
      if (StringFromGUID2(guid, szGUID.get(), kGUIDChars) == 0) {
        LogPINFailure(OLESTR("CInternalAuthStore::SetInternalPIN StringFromGUID2 failed"));
        return E_FAIL;
      }
      sNewPINSessionId = szGUID.get();
      BSTR bstrNew = nullptr;
      hrStep = wstring2BSTR(sNewPINSessionId, bstrNew);
      if (FAILED(hrStep)) {
        LogPINFailure(lines.wstring2BSTRFailed);
        return hrStep;
      }
      if (*pbstrPINSessionId != nullptr) zuSysFreeString(*pbstrPINSessionId, ZU_RELEASE_TEMPORARY);
      *pbstrPINSessionId = bstrNew;
    }
    const BSTR bstrPINSessionId = *pbstrPINSessionId;
    secwstring sName, sSessionId;
    HRESULT hrStep = ResolveRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId,
                                   bstrPINSessionId, sName, &sSessionId);
    if (FAILED(hrStep)) return hrStep;

    CScopedSafeArray protectedValue;
    hrStep = EncryptValue(pPINValue, protectedValue.Receive());
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::SetInternalPIN EncryptValue failed"));
      return hrStep;
    }
    // The state before: a record or item that cannot be read counts as
    // unavailable; a stored item that cannot be taken apart stops the store.
    secwstring sPrevious;
    bool bPresent = false, bTreeFailed = false;
    hrStep = ReadString(lines, sName, kPINAlwaysState, sPrevious, bPresent, &bTreeFailed);
    if (FAILED(hrStep) && !bTreeFailed) return hrStep;
    const bool bWasAvailable = SUCCEEDED(hrStep) && bPresent && sPrevious == kAvailable;

    SAdditionalParameters parameters;
    hrStep = GetAdditionalParameters(pAdditionalParameters, parameters);
    if (FAILED(hrStep)) {
      LogPINFailure(lines.parametersFailed);
      return hrStep;
    }
    const int enPINAlwaysState = parameters.sAction == OLESTR("Authenticate") ? 1
                                 : parameters.sAction == OLESTR("ChangeAuthenticator")
                                     ? bWasAvailable
                                     : 0;
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::SetInternalPIN enPINAlwaysState = %d"), enPINAlwaysState);

    hrStep = m_Tree->SetData(sName, secwstring(kPINValue), protectedValue.Get(), 0, 0);
    if (FAILED(hrStep)) {
      LogPINFailure(lines.setDataFailed);
      return hrStep;
    }
    hrStep = WriteAvailability(lines, sName, enPINAlwaysState == 1);
    if (FAILED(hrStep)) return hrStep;
    const OLECHAR* pszBypass = parameters.sBypassPINAlways == kTrue ? kTrue : kFalse;
    hrStep = WriteString(lines, sName, kPINBypassPINAlwaysState, pszBypass,
                         static_cast<UINT>(std::char_traits<OLECHAR>::length(pszBypass)));
    if (FAILED(hrStep)) return hrStep;
    hrStep = WriteString(lines, sName, kPINSessionId, bstrPINSessionId,
                         bstrPINSessionId != nullptr ? SysStringLen(bstrPINSessionId) : 0);
    if (FAILED(hrStep)) return hrStep;
    // The identifier is known once its record is written: a store that fails
    // before leaves no identifier behind that no record would ever remove.
    if (eLookup == PIN_BY_PROCESS) m_mapPINSessions[sNewPINSessionId] = sSessionId;
    hrStep = SetInternalTimer(sName, ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId);
    if (FAILED(hrStep)) LogPINFailure(lines.timerFailed);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::FindRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                                       BSTR bstrCompartmentId, BSTR bstrPINId,
                                       BSTR* pbstrPINSessionId, SRecord& record) {
  // By PIN session the caller's identifier is an input and stays as it is.
  const BSTR bstrGiven = pbstrPINSessionId != nullptr ? *pbstrPINSessionId : nullptr;
  HRESULT hr = ResolveRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId,
                             eLookup == PIN_BY_PIN_SESSION ? bstrGiven : nullptr, record.sName);
  if (FAILED(hr)) return hr;
  BSTR bstrStored = nullptr;
  hr = ReadPINSessionId(lines, record.sName, bstrStored);
  record.bstrPINSessionId.Reset(bstrStored);
  if (FAILED(hr)) return hr;
  if (eLookup == PIN_BY_PROCESS) {
    hr = CopyOut(record.bstrPINSessionId.Get(), pbstrPINSessionId);
    if (FAILED(hr)) {
      LogPINFailure(lines.wstring2BSTRFailed);
      return hr;
    }
  }
  hr = m_Tree->GetData(record.sName, secwstring(kPINValue), record.value.Receive(), 0);
  if (hr == E_INVALIDARG) {
    qvlogLog(gLogChannel, LOG_NOTABLE, lines.dataNotFound);
  } else if (FAILED(hr)) {
    LogPINFailure(lines.getDataFailed);
  }
  return hr;
}

HRESULT CInternalAuthStore::ReadRecord(const SPINLines& lines, EPINLookup eLookup, ULONG ulPID,
                                       BSTR bstrCompartmentId, BSTR bstrPINId,
                                       BSTR* pbstrPINSessionId, SAFEARRAY* pAdditionalParameters,
                                       SRecord& record) {
  HRESULT hr =
      FindRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId, pbstrPINSessionId, record);
  if (FAILED(hr)) return hr;
  secwstring sState;
  bool bPresent = false;
  hr = ReadString(lines, record.sName, kPINAlwaysState, sState, bPresent);
  if (FAILED(hr)) return hr;
  record.bAvailable = bPresent && sState == kAvailable;
  hr = ReadString(lines, record.sName, kPINBypassPINAlwaysState, record.sBypass, bPresent);
  if (FAILED(hr)) return hr;
  if (!bPresent) record.sBypass = kFalse;
  qvlogLog(gLogChannel, LOG_NOTABLE, lines.bypassValue, record.sBypass.c_str());
  hr = GetAdditionalParameters(pAdditionalParameters, record.parameters);
  if (FAILED(hr)) LogPINFailure(lines.parametersFailed);
  return hr;
}

HRESULT CInternalAuthStore::PINAlwaysPromptState(const SPINLines& lines, INT& nPINState) {
  DWORD nMode = 0;
  const HRESULT hr = GetPINAlwaysCachingMode(&nMode);
  if (FAILED(hr)) {
    LogPINFailure(lines.pinAlwaysModeFailed);
    return hr;
  }
  nPINState = nMode == 1 ? 2 : 0;
  return hr;
}

HRESULT CInternalAuthStore::GetInternalPIN(EPINLookup eLookup, ULONG ulPID, BSTR bstrCompartmentId,
                                           BSTR bstrPINId, BSTR* pbstrPINSessionId,
                                           SAFEARRAY* pAdditionalParameters, SAFEARRAY** pPINValue,
                                           INT* pnPINState) {
  const SPINLines& lines = kGetInternalPIN;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  if (pnPINState == nullptr) {
    LogPINFailure(lines.pnPINStateNull);
    hr = E_INVALIDARG;
    return hr;
  }
  *pnPINState = 0;
  hr = PINNoThrow([&]() -> HRESULT {
    SRecord record;
    HRESULT hrStep = ReadRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId,
                                pbstrPINSessionId, pAdditionalParameters, record);
    if (FAILED(hrStep)) return hrStep;
    // A PIN-always key gets the PIN without a prompt once per
    // authentication: a read outside one consumes the availability.
    INT nPINState = 1;
    bool bAvailable = record.bAvailable;
    const secwstring& sIsACRPINAlways = record.parameters.sIsACRPINAlways;
    if (sIsACRPINAlways == OLESTR("Yes") || sIsACRPINAlways == OLESTR("No")) {
      if (record.bAvailable) {
        if (!IsAuthenticating(record.parameters.sAction)) bAvailable = false;
      } else if (sIsACRPINAlways == OLESTR("Yes") && record.sBypass == kFalse) {
        hrStep = PINAlwaysPromptState(lines, nPINState);
        if (FAILED(hrStep)) return hrStep;
      }
    }
    *pnPINState = nPINState;
    hrStep = WriteAvailability(lines, record.sName, bAvailable);
    if (FAILED(hrStep)) return hrStep;
    CScopedSafeArray clear;
    hrStep = DecryptValue(record.value.Get(), clear.Receive());
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::GetInternalPIN DecryptValue failed"));
      return hrStep;
    }
    if (FAILED(record.value.Reset())) LogPINFailure(lines.releaseFailed);
    if (pPINValue != nullptr) *pPINValue = clear.Release();
    const BSTR bstrTimerId =
        eLookup == PIN_BY_PROCESS ? record.bstrPINSessionId.Get() : *pbstrPINSessionId;
    hrStep = SetInternalTimer(record.sName, ulPID, bstrCompartmentId, bstrPINId, bstrTimerId);
    if (FAILED(hrStep)) LogPINFailure(lines.timerFailed);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::IsInternalPINCached(EPINLookup eLookup, ULONG ulPID,
                                                BSTR bstrCompartmentId, BSTR bstrPINId,
                                                BSTR* pbstrPINSessionId,
                                                SAFEARRAY* pAdditionalParameters, INT* pnPINState) {
  const SPINLines& lines = kIsInternalPINCached;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  if (pnPINState == nullptr) {
    LogPINFailure(lines.pnPINStateNull);
    hr = E_INVALIDARG;
    return hr;
  }
  *pnPINState = 0;
  hr = PINNoThrow([&]() -> HRESULT {
    SRecord record;
    HRESULT hrStep = ReadRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId,
                                pbstrPINSessionId, pAdditionalParameters, record);
    if (FAILED(hrStep)) return hrStep;
    // A test changes nothing: no state is consumed, the timer runs on.
    const secwstring& sIsACRPINAlways = record.parameters.sIsACRPINAlways;
    if (sIsACRPINAlways == OLESTR("Yes") && !record.bAvailable && record.sBypass == kFalse) {
      return PINAlwaysPromptState(lines, *pnPINState);
    }
    if (sIsACRPINAlways == OLESTR("Yes") || sIsACRPINAlways == OLESTR("No")) *pnPINState = 1;
    return S_OK;
  });
  return hr;
}

HRESULT CInternalAuthStore::ChangeInternalPINState(EPINLookup eLookup, ULONG ulPID,
                                                   BSTR bstrCompartmentId, BSTR bstrPINId,
                                                   BSTR* pbstrPINSessionId, INT nPINState) {
  const SPINLines& lines = kChangeInternalPINState;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  hr = PINNoThrow([&]() -> HRESULT {
    // The PIN itself must be there; its value is not needed.
    SRecord record;
    HRESULT hrStep =
        FindRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId, pbstrPINSessionId, record);
    if (FAILED(hrStep)) return hrStep;
    const int enPINAlwaysState = nPINState == 1 ? 1 : 0;
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalAuthStore::ChangeInternalPINState enPINAlwaysState = %d"),
             enPINAlwaysState);
    hrStep = WriteAvailability(lines, record.sName, enPINAlwaysState == 1);
    if (FAILED(hrStep)) return hrStep;
    const BSTR bstrTimerId =
        eLookup == PIN_BY_PROCESS ? record.bstrPINSessionId.Get() : *pbstrPINSessionId;
    hrStep = SetInternalTimer(record.sName, ulPID, bstrCompartmentId, bstrPINId, bstrTimerId);
    if (FAILED(hrStep)) LogPINFailure(lines.timerFailed);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::RemoveInternalPIN(EPINLookup eLookup, ULONG ulPID,
                                              BSTR bstrCompartmentId, BSTR bstrPINId,
                                              BSTR bstrPINSessionId, bool bExpired) {
  const SPINLines& lines = kRemoveInternalPIN;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  hr = PINNoThrow([&]() -> HRESULT {
    secwstring sName;
    HRESULT hrStep =
        ResolveRecord(lines, eLookup, ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId, sName);
    if (FAILED(hrStep)) return hrStep;
    hrStep = RemovePINData(sName, bExpired);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::RemoveInternalPIN RemovePINData failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::RemovePINData(const secwstring& sCompartmentIdGlobal, bool bExpired) {
  const SPINLines& lines = kRemovePINData;
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  hr = PINNoThrow([&]() -> HRESULT {
    if (m_Tree == nullptr) {
      LogPINFailure(lines.treeNull);
      return E_FAIL;
    }
    for (const OLECHAR* pszItem : {kPINValue, kPINAlwaysState, kPINBypassPINAlwaysState}) {
      const HRESULT hrStep = m_Tree->RemoveData(sCompartmentIdGlobal, secwstring(pszItem), 0);
      if (FAILED(hrStep)) {
        LogPINFailure(OLESTR("CInternalAuthStore::RemovePINData RemoveData failed"));
        return hrStep;
      }
    }
    secwstring sPINSessionId;
    bool bPresent = false;
    HRESULT hrStep =
        ReadString(lines, sCompartmentIdGlobal, kPINSessionId, sPINSessionId, bPresent);
    if (FAILED(hrStep)) return hrStep;
    if (bPresent) m_mapPINSessions.erase(sPINSessionId);
    hrStep = m_Tree->RemoveData(sCompartmentIdGlobal, secwstring(kPINSessionId), 0);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::RemovePINData RemoveData failed"));
      return hrStep;
    }
    auto it = m_mapTimers.find(sCompartmentIdGlobal);
    if (it != m_mapTimers.end()) {
      if (!bExpired) {
        qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalAuthStore::RemovePINData pTimer = %p"),
                 static_cast<const void*>(it->second.Timer()));
        m_mapTimers.erase(it);
      } else {
        // Inside this timer's own callback: it is destroyed later, by the
        // next operation that clears the expired timers.
        m_mapExpiredTimers.erase(sCompartmentIdGlobal);
        m_mapExpiredTimers.insert(m_mapTimers.extract(it));
      }
    }
    hrStep = m_Tree->RemoveCompartment(sCompartmentIdGlobal, 1, 0);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::RemovePINData RemoveCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::RemovePINCompartment(const secwstring& sCompartmentId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::RemovePINCompartment"), hr);
  hr = PINNoThrow([&]() -> HRESULT {
    if (m_Tree == nullptr) {
      LogPINFailure(OLESTR("CInternalAuthStore::RemovePINCompartment m_Tree == NULL"));
      return E_FAIL;
    }
    RemoveExpiredTimers();
    // Only a record named exactly so loses its timer; those below keep
    // theirs, which then find nothing when they fire.
    auto it = m_mapTimers.find(sCompartmentId);
    if (it != m_mapTimers.end()) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalAuthStore::RemovePINCompartment pTimer = %p"),
               static_cast<const void*>(it->second.Timer()));
      m_mapTimers.erase(it);
    }
    const HRESULT hrStep = m_Tree->RemoveCompartment(sCompartmentId, 1, 0);
    if (FAILED(hrStep)) {
      LogPINFailure(OLESTR("CInternalAuthStore::RemovePINCompartment RemoveCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalAuthStore::MovePINCompartment(const secwstring& sFrom, const secwstring& sTo) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalAuthStore::MovePINCompartment"), hr);
  if (m_Tree == nullptr) {
    LogPINFailure(OLESTR("CInternalAuthStore::MovePINCompartment m_Tree == NULL"));
    hr = E_FAIL;
    return hr;
  }
  hr = m_Tree->MoveCompartmentIds(sFrom, sTo, true);
  if (FAILED(hr)) {
    LogPINFailure(OLESTR("CInternalAuthStore::MovePINCompartment MoveCompartmentIds failed"));
  }
  return hr;
}
