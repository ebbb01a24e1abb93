#include "datastore/internaldatastore.h"

#include <new>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "security/protect.h"
#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"
#include "trees/duplicateregistrytree.h"
#include "trees/history.h"
#include "trees/memorytree.h"
#include "trees/registrytree.h"
#include "trees/treepath.h"

// The lines every operation that converts identifiers and resolves a path
// shares, each with the operation's qualified name.
struct SOperationMessages {
  logformat::CLogFormat<> bstrFailed;
  logformat::CLogFormat<> treeNull;
  logformat::CLogFormat<> getSessionIdFailed;
  logformat::CLogFormat<const OLECHAR*> sessionId;
  logformat::CLogFormat<> findSessionIdFailed;
  logformat::CLogFormat<const OLECHAR*> sessionIdFound;
  logformat::CLogFormat<> isCachedFailed;
  logformat::CLogFormat<> createFailed;
  logformat::CLogFormat<> historyFailed;
  logformat::CLogFormat<HRESULT> exit;
};

#define OPERATION_MESSAGES(name)                                                                  \
  (SOperationMessages{OLESTR(name " BSTR2wstring failed"), OLESTR(name " m_Tree == NULL"),        \
                      OLESTR(name " GetSessionId failed"), OLESTR(name " sSessionId = %s"),       \
                      OLESTR(name " FindSessionId failed"), OLESTR(name " sSessionIdFound = %s"), \
                      OLESTR(name " IsCompartmentCached failed"),                                 \
                      OLESTR(name " CreateCompartment failed"),                                   \
                      OLESTR(name " UpdateHistoryTree failed"), OLESTR(name " hr = 0x%x")})

namespace {

constexpr SOperationMessages kSetData = OPERATION_MESSAGES("CInternalDataStore::SetData");
constexpr SOperationMessages kGetData = OPERATION_MESSAGES("CInternalDataStore::GetData");
constexpr SOperationMessages kRemoveData = OPERATION_MESSAGES("CInternalDataStore::RemoveData");
constexpr SOperationMessages kCreateCompartment =
    OPERATION_MESSAGES("CInternalDataStore::CreateCompartment");
constexpr SOperationMessages kTouchCompartment =
    OPERATION_MESSAGES("CInternalDataStore::TouchCompartment");
constexpr SOperationMessages kRemoveCompartment =
    OPERATION_MESSAGES("CInternalDataStore::RemoveCompartment");
constexpr SOperationMessages kFlushStore = OPERATION_MESSAGES("CInternalDataStore::FlushStore");
constexpr SOperationMessages kIsDataCached = OPERATION_MESSAGES("CInternalDataStore::IsDataCached");
constexpr SOperationMessages kListDataIds = OPERATION_MESSAGES("CInternalDataStore::ListDataIds");
constexpr SOperationMessages kListCompartmentIds =
    OPERATION_MESSAGES("CInternalDataStore::ListCompartmentIds");
constexpr SOperationMessages kIsCompartmentCached =
    OPERATION_MESSAGES("CInternalDataStore::IsCompartmentCached");

constexpr OLECHAR kTreeRoot[] = OLESTR("/");

void LogFailure(logformat::CLogFormat<> message) { qvlogLog(gLogChannel, LOG_FAILURE, message); }

// The exit line of an operation with the result it ends with, on every path.
// Declared before the lock, it is written after the lock is released.
class CExitLine {
 public:
  CExitLine(logformat::CLogFormat<HRESULT> format, const HRESULT& hr) noexcept
      : m_format(format), m_phr(&hr) {}
  ~CExitLine() { qvlogLog(gLogChannel, LOG_EXIT, m_format, *m_phr); }
  CExitLine(const CExitLine&) = delete;
  CExitLine& operator=(const CExitLine&) = delete;

 private:
  logformat::CLogFormat<HRESULT> m_format;
  const HRESULT* m_phr;
};

// Runs an operation's body; a string or list that cannot be allocated ends
// it with E_OUTOFMEMORY.
template <class F>
HRESULT NoThrow(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    LogFailure(OLESTR("CInternalDataStore out of memory"));
    return E_OUTOFMEMORY;
  }
}

secwstring Decimal(DWORD dwValue) {
  const std::string digits = std::to_string(dwValue);
  return secwstring(digits.begin(), digits.end());
}

// Windows 6.0 or later, tested as the platform's version helpers do.
bool IsWindows6OrLater() {
  OSVERSIONINFOEXW required = {};
  required.dwOSVersionInfoSize = sizeof(required);
  required.dwMajorVersion = 6;
  required.dwMinorVersion = 0;
  required.wServicePackMajor = 0;
  ULONGLONG conditions = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return Machine().VerifyVersionInfoW(&required,
                                      VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                      conditions) != FALSE;
}

}  // namespace

CInternalDataStore::CInternalDataStore()
    : m_availability(SESSION_AVAILABILITY_MESSAGES("CInternalDataStore")) {}

CInternalDataStore::~CInternalDataStore() = default;

HRESULT CInternalDataStore::Begin(BSTR bstrStoreId, ULONG nType, BOOL bEncrypted,
                                  BOOL bSharedBetweenUserSessions, const secwstring& sProduct) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalDataStore::Begin"), hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sStoreId;
    HRESULT hrStep = BSTR2wstring(bstrStoreId, sStoreId);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::Begin BSTR2wstring failed"));
      return hrStep;
    }
    m_Tree.reset();
    m_sStoreId = sStoreId;
    m_nType = nType;
    m_bEncrypted = bEncrypted;
    m_bSharedBetweenUserSessions = bSharedBetweenUserSessions;
    m_sProduct = sProduct;
    m_availability.Clear();
    if (nType != 1) {
      m_Tree = std::make_unique<CMemoryTree>(m_sStoreId);
    } else if (IsWindows6OrLater()) {
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("CInternalDataStore::Begin Windows is Vista or higher"));
      if (zuIsAppContainer()) {
        m_Tree = std::make_unique<CRegistryTree>(m_sStoreId, REGISTRY_TREE_APP_CONTAINER);
      } else if (zuGetIntegrityLevel() != SECURITY_MANDATORY_LOW_RID) {
        m_Tree = std::make_unique<CDuplicateRegistryTree>(m_sStoreId);
      } else {
        m_Tree = std::make_unique<CRegistryTree>(m_sStoreId, REGISTRY_TREE_LOW_INTEGRITY);
      }
    } else {
      m_Tree = std::make_unique<CRegistryTree>(m_sStoreId, REGISTRY_TREE_MACHINE);
    }
    return S_OK;
  });
  return hr;
}

HRESULT CInternalDataStore::End() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalDataStore::End"), hr);
  CScopedLock lock(m_Lock);
  m_availability.Clear();
  m_Tree.reset();
  return hr;
}

HRESULT CInternalDataStore::GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared,
                                         secwstring& sProduct) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CInternalDataStore::GetStoreInfo"), hr);
  if (pnType != nullptr) *pnType = m_nType;
  if (pbEncrypted != nullptr) *pbEncrypted = m_bEncrypted;
  if (pbShared != nullptr) *pbShared = m_bSharedBetweenUserSessions;
  hr = NoThrow([&] {
    sProduct = m_sProduct;
    return S_OK;
  });
  return hr;
}

HRESULT CInternalDataStore::Prepare(const SOperationMessages& messages, BSTR bstrCompartmentId,
                                    secwstring& sCompartmentId, BSTR bstrDataId,
                                    secwstring* psDataId) {
  HRESULT hr = BSTR2wstring(bstrCompartmentId, sCompartmentId);
  if (SUCCEEDED(hr) && psDataId != nullptr) hr = BSTR2wstring(bstrDataId, *psDataId);
  if (FAILED(hr)) {
    LogFailure(messages.bstrFailed);
    return hr;
  }
  if (m_Tree == nullptr) {
    LogFailure(messages.treeNull);
    return E_FAIL;
  }
  return S_OK;
}

HRESULT CInternalDataStore::ResolvePath(const SOperationMessages& messages, ULONG ulPID,
                                        const secwstring& sCompartmentId, secwstring& sPath) {
  if (m_bSharedBetweenUserSessions) {
    sPath = sCompartmentId;
    return S_OK;
  }
  secwstring sSessionId;
  HRESULT hr = m_availability.GetSessionId(ulPID, sSessionId);
  if (FAILED(hr)) {
    LogFailure(messages.getSessionIdFailed);
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, messages.sessionId, sSessionId.c_str());
  secwstring sSessionIdFound;
  hr = m_Tree->FindSessionId(sSessionId, sCompartmentId, sSessionIdFound);
  if (FAILED(hr)) {
    LogFailure(messages.findSessionIdFailed);
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, messages.sessionIdFound, sSessionIdFound.c_str());
  sPath = sCompartmentId == kTreeRoot ? sSessionIdFound
                                      : sSessionIdFound + kPathSeparator + sCompartmentId;
  return S_OK;
}

secwstring CInternalDataStore::HistoryKey(const secwstring& sPath) const {
  return m_sStoreId + kPathSeparator + sPath;
}

HRESULT CInternalDataStore::SetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                    SAFEARRAY* ucData) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY,
           OLESTR("CInternalDataStore::SetData dwClientProcessId = %d sBSTRCompartmentId = %s "
                  "sBSTRDataId = %s"),
           ulPID, sCompartmentId, sDataId);
  CExitLine exitLine(kSetData.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment, sData;
    HRESULT hrStep = BSTR2wstring(sCompartmentId, sCompartment);
    if (SUCCEEDED(hrStep)) hrStep = BSTR2wstring(sDataId, sData);
    if (FAILED(hrStep)) {
      LogFailure(kSetData.bstrFailed);
      return hrStep;
    }
    CScopedSafeArray value;
    hrStep = SafeArrayCopy(ucData, value.Receive());
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::SetData SafeArrayCopy failed"));
      return hrStep;
    }
    hrStep = StoreValue(ulPID, sCompartment, sData, value);
    // Whatever happened, the store's own copy goes; a failed release does
    // not change the result.
    const HRESULT hrRelease = value.Reset();
    if (FAILED(hrRelease)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CInternalDataStore::SetData zuSafeArrayDestroy failed hr = 0x%x"),
               hrRelease);
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::StoreValue(ULONG ulPID, const secwstring& sCompartmentId,
                                       const secwstring& sDataId, CScopedSafeArray& value) {
  HRESULT hr = S_OK;
  if (m_bEncrypted) {
    CScopedSafeArray protectedValue;
    hr = EncryptValue(value.Get(), protectedValue.Receive());
    if (FAILED(hr)) {
      LogFailure(OLESTR("CInternalDataStore::SetData EncryptValue failed"));
      return hr;
    }
    hr = zuSafeArrayDestroy(value.Release(), ZU_RELEASE_TEMPORARY);
    value.Reset(protectedValue.Release());
    if (FAILED(hr)) {
      LogFailure(OLESTR("CInternalDataStore::SetData zuSafeArrayDestroy failed"));
      return hr;
    }
  }
  if (m_Tree == nullptr) {
    LogFailure(kSetData.treeNull);
    return E_FAIL;
  }
  secwstring sPath;
  hr = ResolvePath(kSetData, ulPID, sCompartmentId, sPath);
  if (FAILED(hr)) return hr;
  ULONG ulCompartmentVersion = 0, ulContentVersion = 0;
  BOOL bCached = FALSE;
  hr = m_Tree->IsCompartmentCached(sPath, &ulCompartmentVersion, &ulContentVersion, &bCached, 0);
  if (FAILED(hr)) {
    LogFailure(kSetData.isCachedFailed);
    return hr;
  }
  hr = m_Tree->SetData(sPath, sDataId, value.Get(), ulPID, m_bEncrypted);
  if (FAILED(hr)) {
    LogFailure(OLESTR("CInternalDataStore::SetData SetData failed"));
    return hr;
  }
  // A new compartment advances both counters, a new value only the content.
  hr = UpdateHistoryTree(HistoryKey(sPath), bCached ? 1 : -1);
  if (FAILED(hr)) LogFailure(kSetData.historyFailed);
  return hr;
}

HRESULT CInternalDataStore::GetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                    SAFEARRAY** ucData) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY,
           OLESTR("CInternalDataStore::GetData dwClientProcessId = %d sBSTRCompartmentId = %s "
                  "sBSTRDataId = %s"),
           ulPID, sCompartmentId, sDataId);
  CExitLine exitLine(kGetData.exit, hr);
  CScopedLock lock(m_Lock);
  if (ucData != nullptr) *ucData = nullptr;
  hr = NoThrow([&] {
    secwstring sCompartment, sData, sPath;
    HRESULT hrStep = Prepare(kGetData, sCompartmentId, sCompartment, sDataId, &sData);
    if (SUCCEEDED(hrStep)) hrStep = ResolvePath(kGetData, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    CScopedSafeArray stored;
    hrStep = m_Tree->GetData(sPath, sData, stored.Receive(), 0);
    if (hrStep == E_INVALIDARG) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalDataStore::GetData GetData : data not found"));
      return hrStep;
    }
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::GetData GetData failed"));
      return hrStep;
    }
    CScopedSafeArray value;
    if (m_bEncrypted) {
      hrStep = DecryptValue(stored.Get(), value.Receive());
      if (FAILED(hrStep)) {
        LogFailure(OLESTR("CInternalDataStore::GetData DecryptValue failed"));
        return hrStep;
      }
      hrStep = zuSafeArrayDestroy(stored.Release(), ZU_RELEASE_TEMPORARY);
      if (FAILED(hrStep)) {
        LogFailure(OLESTR("CInternalDataStore::GetData zuSafeArrayDestroy failed"));
        return hrStep;
      }
    } else {
      value.Reset(stored.Release());
    }
    if (ucData != nullptr) {
      hrStep = SafeArrayCopy(value.Get(), ucData);
      if (FAILED(hrStep)) LogFailure(OLESTR("CInternalDataStore::GetData SafeArrayCopy failed"));
    }
    if (FAILED(value.Reset())) {
      LogFailure(OLESTR("CInternalDataStore::GetData zuSafeArrayDestroy failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::RemoveData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::RemoveData"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::RemoveData dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::RemoveData sBSTRCompartmentId = %s"), sCompartmentId);
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalDataStore::RemoveData sBSTRDataId = %s"),
           sDataId);
  CExitLine exitLine(kRemoveData.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment, sData, sPath;
    HRESULT hrStep = Prepare(kRemoveData, sCompartmentId, sCompartment, sDataId, &sData);
    if (SUCCEEDED(hrStep)) hrStep = ResolvePath(kRemoveData, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    hrStep = m_Tree->RemoveData(sPath, sData, ulPID);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::RemoveData RemoveData failed"));
      return hrStep;
    }
    hrStep = UpdateHistoryTree(HistoryKey(sPath), 1);
    if (FAILED(hrStep)) LogFailure(kRemoveData.historyFailed);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::CreateCompartment(ULONG ulPID, BSTR sCompartmentId) {
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::CreateCompartment"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::CreateCompartment dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::CreateCompartment sBSTRCompartmentId = %s"), sCompartmentId);
  return EnsureCompartment(kCreateCompartment, ulPID, sCompartmentId, false);
}

HRESULT CInternalDataStore::TouchCompartment(ULONG ulPID, BSTR sCompartmentId) {
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::TouchCompartment"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::TouchCompartment dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::TouchCompartment sBSTRCompartmentId = %s"), sCompartmentId);
  return EnsureCompartment(kTouchCompartment, ulPID, sCompartmentId, true);
}

HRESULT CInternalDataStore::EnsureCompartment(const SOperationMessages& messages, ULONG ulPID,
                                              BSTR bstrCompartmentId, bool bTouch) {
  HRESULT hr = S_OK;
  CExitLine exitLine(messages.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment, sPath;
    HRESULT hrStep = Prepare(messages, bstrCompartmentId, sCompartment);
    if (SUCCEEDED(hrStep)) hrStep = ResolvePath(messages, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    ULONG ulCompartmentVersion = 0, ulContentVersion = 0;
    BOOL bCached = FALSE;
    hrStep =
        m_Tree->IsCompartmentCached(sPath, &ulCompartmentVersion, &ulContentVersion, &bCached, 0);
    if (FAILED(hrStep)) {
      LogFailure(messages.isCachedFailed);
      return hrStep;
    }
    // Creating an existing compartment changes nothing; touching one
    // advances its versions all the same.
    if (bCached && !bTouch) return S_OK;
    if (!bCached) {
      hrStep = m_Tree->CreateCompartment(sPath, ulPID);
      if (FAILED(hrStep)) {
        LogFailure(messages.createFailed);
        return hrStep;
      }
    }
    hrStep = UpdateHistoryTree(HistoryKey(sPath), -1);
    if (FAILED(hrStep)) {
      LogFailure(messages.historyFailed);
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::RemoveCompartment(ULONG ulPID, BSTR sCompartmentId,
                                              LONG bRemoveVersions) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::RemoveCompartment"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::RemoveCompartment dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::RemoveCompartment sBSTRCompartmentId = %s"), sCompartmentId);
  CExitLine exitLine(kRemoveCompartment.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment;
    HRESULT hrStep = Prepare(kRemoveCompartment, sCompartmentId, sCompartment);
    if (FAILED(hrStep)) return hrStep;
    const BOOL bRemove = bRemoveVersions != 0 ? TRUE : FALSE;
    if (m_bSharedBetweenUserSessions) {
      hrStep = RemoveOneCompartment(ulPID, sCompartment, bRemove);
      if (FAILED(hrStep)) {
        LogFailure(OLESTR("CInternalDataStore::RemoveCompartment RemoveOneCompartment failed"));
      }
      return hrStep;
    }
    // No session of the caller's: the compartment goes from every session.
    std::vector<secwstring> sessionIds;
    hrStep = m_Tree->GetSessionIdList(sessionIds);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::RemoveCompartment GetSessionIdList failed"));
      return hrStep;
    }
    for (const secwstring& sSessionId : sessionIds) {
      const secwstring sPath =
          sCompartment == kTreeRoot ? sSessionId : sSessionId + kPathSeparator + sCompartment;
      hrStep = RemoveOneCompartment(ulPID, sPath, bRemove);
      if (FAILED(hrStep)) {
        LogFailure(OLESTR("CInternalDataStore::RemoveCompartment RemoveOneCompartment failed"));
        return hrStep;
      }
    }
    return S_OK;
  });
  return hr;
}

HRESULT CInternalDataStore::FlushStore(ULONG ulPID) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::FlushStore"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::FlushStore dwClientProcessId = %d"), ulPID);
  CExitLine exitLine(kFlushStore.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    if (m_Tree == nullptr) {
      LogFailure(kFlushStore.treeNull);
      return E_FAIL;
    }
    HRESULT hrStep = m_Tree->FlushTree(ulPID);
    if (FAILED(hrStep)) LogFailure(OLESTR("CInternalDataStore::FlushStore FlushTree failed"));
    if (gHistoryTree == nullptr) return hrStep;
    // The counters of the whole store go, whatever the flush of the tree
    // gave.
    ULONG ulCompartmentVersion = 0, ulContentVersion = 0;
    BOOL bCached = FALSE;
    hrStep = gHistoryTree->IsCompartmentCached(m_sStoreId, &ulCompartmentVersion, &ulContentVersion,
                                               &bCached, 0);
    if (FAILED(hrStep)) {
      LogFailure(kFlushStore.isCachedFailed);
      return hrStep;
    }
    if (bCached == 1) {
      hrStep = gHistoryTree->RemoveCompartment(m_sStoreId, 1, 0);
      if (FAILED(hrStep))
        LogFailure(OLESTR("CInternalDataStore::FlushStore RemoveCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::IsDataCached(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                         LONG* bCached) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::IsDataCached"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::IsDataCached dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::IsDataCached sBSTRCompartmentId = %s"), sCompartmentId);
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalDataStore::IsDataCached sBSTRDataId = %s"),
           sDataId);
  CExitLine exitLine(kIsDataCached.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment, sData, sPath;
    HRESULT hrStep = BSTR2wstring(sCompartmentId, sCompartment);
    if (SUCCEEDED(hrStep)) hrStep = BSTR2wstring(sDataId, sData);
    if (FAILED(hrStep)) {
      LogFailure(kIsDataCached.bstrFailed);
      return hrStep;
    }
    if (bCached != nullptr) *bCached = FALSE;
    if (m_Tree == nullptr) {
      LogFailure(kIsDataCached.treeNull);
      return E_FAIL;
    }
    hrStep = ResolvePath(kIsDataCached, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    BOOL bFound = FALSE;
    hrStep = m_Tree->IsDataCached(sPath, sData, bCached != nullptr ? &bFound : nullptr, 0);
    if (bCached != nullptr) *bCached = bFound;
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::IsDataCached IsDataCached failed"));
      return hrStep;
    }
    qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CInternalDataStore::IsDataCached *pbCached = %x"),
             bFound);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::ListDataIds(ULONG ulPID, BSTR sCompartmentId, SAFEARRAY** sDataIdList) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::ListDataIds"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::ListDataIds dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::ListDataIds sBSTRCompartmentId = %s"), sCompartmentId);
  CExitLine exitLine(kListDataIds.exit, hr);
  CScopedLock lock(m_Lock);
  if (sDataIdList != nullptr) *sDataIdList = nullptr;
  hr = NoThrow([&] {
    secwstring sCompartment, sPath;
    HRESULT hrStep = Prepare(kListDataIds, sCompartmentId, sCompartment);
    if (SUCCEEDED(hrStep)) hrStep = ResolvePath(kListDataIds, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    hrStep = m_Tree->ListDataIds(sPath, sDataIdList, 0);
    if (FAILED(hrStep)) LogFailure(OLESTR("CInternalDataStore::ListDataIds ListDataIds failed"));
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::ListCompartmentIds(ULONG ulPID, BSTR sCompartmentId,
                                               SAFEARRAY** sCompartmentIdList) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::ListCompartmentIds"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::ListCompartmentIds dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::ListCompartmentIds sBSTRCompartmentId = %s"),
           sCompartmentId);
  CExitLine exitLine(kListCompartmentIds.exit, hr);
  CScopedLock lock(m_Lock);
  if (sCompartmentIdList != nullptr) *sCompartmentIdList = nullptr;
  hr = NoThrow([&] {
    secwstring sCompartment, sPath;
    HRESULT hrStep = Prepare(kListCompartmentIds, sCompartmentId, sCompartment);
    if (SUCCEEDED(hrStep)) hrStep = ResolvePath(kListCompartmentIds, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    hrStep = m_Tree->ListCompartmentIds(sPath, sCompartmentIdList, 0);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::ListCompartmentIds ListCompartmentIds failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::IsCompartmentCached(ULONG ulPID, BSTR sCompartmentId,
                                                ULONG* pulCompartmentVersion,
                                                ULONG* pulContentVersion, LONG* pbCached) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::IsCompartmentCached"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::IsCompartmentCached dwClientProcessId = %d"), ulPID);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::IsCompartmentCached sBSTRCompartmentId = %s"),
           sCompartmentId);
  CExitLine exitLine(kIsCompartmentCached.exit, hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    secwstring sCompartment, sPath;
    HRESULT hrStep = BSTR2wstring(sCompartmentId, sCompartment);
    if (FAILED(hrStep)) {
      LogFailure(kIsCompartmentCached.bstrFailed);
      return hrStep;
    }
    if (pbCached != nullptr) *pbCached = FALSE;
    if (pulCompartmentVersion != nullptr) *pulCompartmentVersion = 0;
    if (pulContentVersion != nullptr) *pulContentVersion = 0;
    if (m_Tree == nullptr) {
      LogFailure(kIsCompartmentCached.treeNull);
      return E_FAIL;
    }
    hrStep = ResolvePath(kIsCompartmentCached, ulPID, sCompartment, sPath);
    if (FAILED(hrStep)) return hrStep;
    BOOL bCached = FALSE;
    hrStep = m_Tree->IsCompartmentCached(sPath, pulCompartmentVersion, pulContentVersion,
                                         pbCached != nullptr ? &bCached : nullptr, 0);
    if (pbCached != nullptr) *pbCached = bCached;
    if (FAILED(hrStep)) {
      LogFailure(kIsCompartmentCached.isCachedFailed);
      return hrStep;
    }
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalDataStore::IsCompartmentCached *pulCompartmentVersion = %d"),
             *pulCompartmentVersion);
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalDataStore::IsCompartmentCached *pulContentVersion = %d"),
             *pulContentVersion);
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalDataStore::IsCompartmentCached *pbCached = %x"), bCached);
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::FlushStoreFromSessionId(DWORD dwSessionId) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CInternalDataStore::FlushStoreFromSessionId"));
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CInternalDataStore::FlushStoreFromSessionId dwSessionId = %d"), dwSessionId);
  CExitLine exitLine(OLESTR("CInternalDataStore::FlushStoreFromSessionId hr = 0x%x"), hr);
  hr = NoThrow([&] {
    const secwstring sSessionId = Decimal(dwSessionId);
    const secwstring sRoot(kTreeRoot);
    CScopedLock lock(m_Lock);
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CInternalDataStore::FlushStoreFromSessionId sSessionId = %s"),
             sSessionId.c_str());
    if (m_Tree == nullptr) {
      LogFailure(OLESTR("CInternalDataStore::FlushStoreFromSessionId m_Tree == NULL"));
      return E_FAIL;
    }
    // A shared store has no part of its own per session: it loses all.
    secwstring sPath = sRoot;
    if (!m_bSharedBetweenUserSessions) {
      HRESULT hrFind = m_Tree->FindSessionId(sSessionId, sRoot, sPath);
      if (FAILED(hrFind)) {
        LogFailure(OLESTR("CInternalDataStore::FlushStoreFromSessionId FindSessionId failed"));
        return hrFind;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalDataStore::FlushStoreFromSessionId sSessionIdFound = %s"),
               sPath.c_str());
    }
    HRESULT hrStep = m_Tree->RemoveCompartment(sPath, 1, 0);
    if (SUCCEEDED(hrStep)) {
      if (gHistoryTree == nullptr) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CInternalDataStore::FlushStoreFromSessionId gHistoryTree == NULL"));
        return hrStep;
      }
      hrStep = gHistoryTree->RemoveCompartment(HistoryKey(sPath), 1, 0);
    }
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::FlushStoreFromSessionId RemoveCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}

HRESULT CInternalDataStore::SetAvailabilityStoreFromSessionId(DWORD dwSessionId, BOOL bAvailabled) {
  CScopedLock lock(m_Lock);
  return m_availability.SetAvailabilityStoreFromSessionId(dwSessionId, bAvailabled);
}

HRESULT CInternalDataStore::GetAvailabilityStoreFromSessionId(DWORD dwSessionId,
                                                              BOOL* pbAvailabled) {
  CScopedLock lock(m_Lock);
  return m_availability.GetAvailabilityStoreFromSessionId(dwSessionId, pbAvailabled);
}

HRESULT CInternalDataStore::GetSessionId(DWORD dwClientProcessId, secwstring& sSessionId) {
  CScopedLock lock(m_Lock);
  return m_availability.GetSessionId(dwClientProcessId, sSessionId);
}

HRESULT CInternalDataStore::RemoveOneCompartment(DWORD dwClientProcessId,
                                                 const secwstring& sCompartmentIdGlobal,
                                                 BOOL bRemoveVersions) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY,
           OLESTR("CInternalDataStore::RemoveOneCompartment dwClientProcessId = %x "
                  "sCompartmentIdGlobal = %s bRemoveVersions = %d"),
           dwClientProcessId, sCompartmentIdGlobal.c_str(), bRemoveVersions);
  CExitLine exitLine(OLESTR("CInternalDataStore::RemoveOneCompartment hr = 0x%x"), hr);
  CScopedLock lock(m_Lock);
  hr = NoThrow([&] {
    if (m_Tree == nullptr) {
      LogFailure(OLESTR("CInternalDataStore::RemoveOneCompartment m_Tree == NULL"));
      return E_FAIL;
    }
    HRESULT hrStep = m_Tree->RemoveCompartment(sCompartmentIdGlobal, 1, dwClientProcessId);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::RemoveOneCompartment RemoveCompartment failed"));
      return hrStep;
    }
    const secwstring sKey = HistoryKey(sCompartmentIdGlobal);
    if (!bRemoveVersions) {
      // The counters survive and advance: a compartment made again later
      // never shows versions a client saw before.
      hrStep = UpdateHistoryTree(sKey, -1);
      if (FAILED(hrStep)) {
        LogFailure(OLESTR("CInternalDataStore::RemoveOneCompartment UpdateHistoryTree failed"));
      }
      return hrStep;
    }
    if (gHistoryTree == nullptr) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CInternalDataStore::RemoveOneCompartment gHistoryTree == NULL"));
      return S_OK;
    }
    hrStep = gHistoryTree->RemoveCompartment(sKey, 1, 0);
    if (FAILED(hrStep)) {
      LogFailure(OLESTR("CInternalDataStore::RemoveOneCompartment RemoveCompartment failed"));
    }
    return hrStep;
  });
  return hr;
}
