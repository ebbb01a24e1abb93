#include "host/datastoremanager.h"

#include <oleauto.h>

#include <list>
#include <new>

#include "datastore/dualobject.h"
#include "datastore/storedispatch.h"
#include "datastore/storeownership.h"
#include "host/export.h"
#include "host/storecatalogue.h"
#include "security/checkclient.h"
#include "security/privileges.h"
#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"
#include "trees/history.h"

namespace {

// The product whose memory stores follow the terminal sessions.
constexpr OLECHAR kSessionProduct[] = OLESTR("Brenmoor");

// The lines of one method that takes an identifier.
struct SMethodMessages {
  CLogScopeName scope;
  SCallerCheckMessages check;
  logformat::CLogFormat<> conversionFailed;
  logformat::CLogFormat<> notFound;
};

#define MANAGER_METHOD(method, notFoundLine)                                    \
  (SMethodMessages{LOG_SCOPE_NAME("CDataStoreManager::" method),                \
                   CALLER_CHECK_MESSAGES("CDataStoreManager::" method),         \
                   OLESTR("CDataStoreManager::" method " BSTR2wstring failed"), \
                   OLESTR("CDataStoreManager::" method " " notFoundLine)})

constexpr SMethodMessages kGetDataStore =
    MANAGER_METHOD("GetDataStore", "Don't find IDataStore with this id");
constexpr SMethodMessages kGetAuthStore =
    MANAGER_METHOD("GetAuthStore", "Don't find IAuthStore with this id");
constexpr SMethodMessages kGetDataStoreInfo =
    MANAGER_METHOD("GetDataStoreInfo", "Don't find IDataStore");
constexpr SMethodMessages kGetAuthStoreInfo =
    MANAGER_METHOD("GetAuthStoreInfo", "Don't find IAuthStore");

// A method on one store of a table: the trust check, the identifier
// converted and looked up, then operation(store) for a trusted caller and a
// known store; the identifier released when the method owns it, and the
// outcome in *plRetVal.
template <class Table, class F>
HRESULT ServeStore(const SMethodMessages& messages, const Table& table, ULONG ulPID, BSTR bstrId,
                   LONG* plRetVal, F&& operation) {
  HRESULT hr = S_OK;
  CLogScope scope(messages.scope, hr);
  const bool bRelease = MethodReleasesArguments();
  hr = CheckClientCallerForMethod(messages.check, ulPID);
  if (SUCCEEDED(hr)) {
    secwstring sId;
    hr = BSTR2wstring(bstrId, sId);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, messages.conversionFailed);
    } else if (const auto it = table.find(sId); it == table.end() || it->second == nullptr) {
      hr = E_FAIL;
      qvlogLog(gLogChannel, LOG_FAILURE, messages.notFound);
    } else {
      hr = operation(*it->second);
    }
  }
  if (bRelease) zuSysFreeString(bstrId, ZU_RELEASE_CALLER_ARGUMENT);
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

// The operation that gives the caller its own reference to the store, when
// it asked for one.
template <class I>
auto HandOut(I** ppStore) {
  return [ppStore](auto& store) {
    if (ppStore != nullptr) {
      store.AddRef();
      *ppStore = &store;
    }
    return S_OK;
  };
}

struct SListMessages {
  CLogScopeName scope;
  SCallerCheckMessages check;
  logformat::CLogFormat<> conversionFailed;
  logformat::CLogFormat<> putFailed;
  logformat::CLogFormat<> createFailed;
};

#define LIST_METHOD(method)                                                          \
  (SListMessages{LOG_SCOPE_NAME("CDataStoreManager::" method),                       \
                 CALLER_CHECK_MESSAGES("CDataStoreManager::" method),                \
                 OLESTR("CDataStoreManager::" method " wstring2BSTR failed"),        \
                 OLESTR("CDataStoreManager::" method " SafeArrayPutElement failed"), \
                 OLESTR("CDataStoreManager::" method " SafeArrayCreateVector failed")})

// The identifiers of a table as a new VT_BSTR vector in key order. The
// index advances only when an element was stored; the outcome is that of
// the last step.
template <class Table>
HRESULT ListIds(const SListMessages& messages, const Table& table, ULONG ulPID,
                SAFEARRAY** ppsaList, LONG* plRetVal) {
  HRESULT hr = S_OK;
  CLogScope scope(messages.scope, hr);
  hr = CheckClientCallerForMethod(messages.check, ulPID);
  if (SUCCEEDED(hr) && ppsaList != nullptr) {
    CScopedSafeArray psa(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(table.size())));
    if (psa.Get() == nullptr) {
      hr = E_OUTOFMEMORY;
      qvlogLog(gLogChannel, LOG_FAILURE, messages.createFailed);
    } else {
      LONG lIndex = 0;
      for (const auto& entry : table) {
        BSTR bstrId = nullptr;
        hr = wstring2BSTR(entry.first, bstrId);
        if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_FAILURE, messages.conversionFailed);
          continue;
        }
        hr = SafeArrayPutElement(psa.Get(), &lIndex, bstrId);
        zuSysFreeString(bstrId, ZU_RELEASE_TEMPORARY);
        if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_FAILURE, messages.putFailed);
        } else {
          ++lIndex;
        }
      }
      *ppsaList = psa.Release();
    }
  }
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

}  // namespace

CDataStoreManager::CDataStoreManager() { Begin(); }

CDataStoreManager::~CDataStoreManager() { End(); }

HRESULT CDataStoreManager::Begin() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManager::Begin"), hr);
  hr = ModifyPrivs(gHostUnneededPrivileges, kHostUnneededPrivilegeCount, PRIVILEGE_REMOVE);
  if (SUCCEEDED(hr)) {
    const LPCWSTR debugPrivilege[] = {gSeDebugPrivilege};
    hr = ModifyPrivs(debugPrivilege, 1, PRIVILEGE_DISABLE);
  }
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CDataStoreManager::Begin ModifyPrivs failed"));
    return hr;
  }
  StartDataStores();
  hr = StartAuthStore();
  m_bHoldsHistoryTree = SUCCEEDED(AcquireHistoryTree());
  m_Subscriber.m_pDataStoreList = &m_SessionDataStores;
  m_Subscriber.m_pAuthStoreList = &m_AuthStores;
  m_SessionMonitor.SetSubscriber(&m_Subscriber);
  m_SessionMonitor.Start();
  return hr;
}

void CDataStoreManager::StartDataStores() {
  std::list<StoreInfo> listStoreInfos;
  GetRegInfos(listStoreInfos);  // whatever was read before a failure is used
  for (StoreInfo& info : listStoreInfos) {
    if (info.nType == 1) info.bSharedBetweenUserSessions = 1;
    CDataStore* pStore = new (std::nothrow) CDataStore();
    if (pStore == nullptr) continue;
    secwstring sStoreId;
    secwstring sProduct;
    HRESULT hr = BSTR2wstring(info.bstrStoreId.Get(), sStoreId);
    if (SUCCEEDED(hr)) {
      // An empty product stays empty: it then matches no flush by product.
      BSTR2wstring(info.bstrProduct.Get(), sProduct);
    } else {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CDataStoreManager::Begin BSTR2wstring failed hr = 0x%x"), hr);
      pStore->Release();
      continue;
    }
    {
      CLogScope storeScope(LOG_SCOPE_NAME("CDataStore::Begin"), hr);
      hr = pStore->Internal().Begin(info.bstrStoreId.Get(), info.nType, info.bEncrypted,
                                    info.bSharedBetweenUserSessions, sProduct);
    }
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CDataStoreManager::Begin Begin failed"));
      pStore->Release();
      continue;
    }
    CDataStore*& pEntry = m_DataStores[sStoreId];
    if (pEntry != nullptr) {
      pEntry->Internal().End();
      pEntry->Release();
    }
    pEntry = pStore;
    if (info.nType == 0 && sProduct == kSessionProduct) {
      m_SessionDataStores[sStoreId] = pStore;
    } else {
      m_SessionDataStores.erase(sStoreId);
    }
  }
}

HRESULT CDataStoreManager::StartAuthStore() {
  CAuthStore* pStore = new (std::nothrow) CAuthStore();
  if (pStore == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CDataStoreManager::Begin CoCreateInstance failed hr = %x"), E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  CScopedBSTR bstrStoreId(SysAllocString(KELMYR_PIN_STORE_ID));
  if (bstrStoreId.Get() == nullptr) {
    pStore->Release();
    return E_OUTOFMEMORY;
  }
  secwstring sStoreId;
  HRESULT hr = BSTR2wstring(bstrStoreId.Get(), sStoreId);
  if (SUCCEEDED(hr)) hr = pStore->Begin(bstrStoreId.Get());
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CDataStoreManager::Begin Begin failed"));
    pStore->Release();
    return hr;
  }
  m_AuthStores[sStoreId] = pStore;
  return hr;
}

HRESULT CDataStoreManager::End() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManager::End"), hr);
  // No session event may reach a store from here on.
  m_SessionMonitor.Stop();
  for (auto& [sStoreId, pStore] : m_DataStores) {
    if (pStore == nullptr) continue;
    HRESULT hrStore = S_OK;
    {
      CLogScope storeScope(LOG_SCOPE_NAME("CDataStore::End"), hrStore);
      hrStore = pStore->Internal().End();
    }
    pStore->Release();
  }
  m_DataStores.clear();
  m_SessionDataStores.clear();
  for (auto& [sStoreId, pStore] : m_AuthStores) {
    if (pStore == nullptr) continue;
    pStore->End();
    pStore->Release();
  }
  m_AuthStores.clear();
  if (m_bHoldsHistoryTree) ReleaseHistoryTree();
  m_bHoldsHistoryTree = false;
  return hr;
}

ULONG STDMETHODCALLTYPE CDataStoreManager::Release() {
  ULONG cRef = 0;
  if (m_bThroughExport) {
    // The export looks its manager up under the same lock: once the count
    // is zero here, no call can take a new reference.
    CScopedLock lock(ExportLock());
    cRef = --m_cRef;
    IDataStoreManager* pSelf = this;
    if (cRef == 0) gpDataStoreManager.compare_exchange_strong(pSelf, nullptr);
  } else {
    cRef = --m_cRef;
  }
  if (cRef == 0) delete this;
  return cRef;
}

bool CDataStoreManager::OnlyReachedThroughOneReference() const noexcept {
  LONG lObjects = 1;
  const auto heldByTableAlone = [&lObjects](const auto& table) {
    for (const auto& entry : table) {
      if (entry.second == nullptr) continue;
      if (!entry.second->HeldOnce()) return false;
      ++lObjects;
    }
    return true;
  };
  return HeldOnce() && heldByTableAlone(m_DataStores) && heldByTableAlone(m_AuthStores) &&
         DualObjectsAlive() == lObjects;
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::GetDataStore(ULONG ulPID, BSTR bDataStoreId,
                                                          IDataStore** ppIDataStore,
                                                          LONG* plRetVal) {
  return ServeStore(kGetDataStore, m_DataStores, ulPID, bDataStoreId, plRetVal,
                    HandOut(ppIDataStore));
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::GetAuthStore(ULONG ulPID, BSTR bAuthStoreId,
                                                          IAuthStore** ppIAuthStore,
                                                          LONG* plRetVal) {
  return ServeStore(kGetAuthStore, m_AuthStores, ulPID, bAuthStoreId, plRetVal,
                    HandOut(ppIAuthStore));
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::GetDataStoreInfo(ULONG ulPID, BSTR bStoreId,
                                                              INT* nType, LONG* bEncrypted,
                                                              LONG* bSharedBetweenUserSessions,
                                                              BSTR* bProduct, LONG* plRetVal) {
  return ServeStore(
      kGetDataStoreInfo, m_DataStores, ulPID, bStoreId, plRetVal, [&](CDataStore& store) {
        ULONG ulType = 0;
        BOOL bEnc = FALSE;
        BOOL bShared = FALSE;
        secwstring sProduct;
        HRESULT hr = store.Internal().GetStoreInfo(&ulType, &bEnc, &bShared, sProduct);
        BSTR bstrProduct = nullptr;
        if (SUCCEEDED(hr) && bProduct != nullptr) {
          hr = wstring2BSTR(sProduct, bstrProduct);
        }
        if (FAILED(hr)) return hr;
        if (nType != nullptr) *nType = static_cast<INT>(ulType);
        if (bEncrypted != nullptr) *bEncrypted = bEnc;
        if (bSharedBetweenUserSessions != nullptr) {
          *bSharedBetweenUserSessions = bShared;
        }
        if (bProduct != nullptr) *bProduct = bstrProduct;
        return S_OK;
      });
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::GetAuthStoreInfo(ULONG ulPID, BSTR bStoreId,
                                                              INT* nType, LONG* bEncrypted,
                                                              LONG* bSharedBetweenUserSessions,
                                                              LONG* plRetVal) {
  return ServeStore(kGetAuthStoreInfo, m_AuthStores, ulPID, bStoreId, plRetVal,
                    [&](CAuthStore& store) {
                      ULONG ulType = 0;
                      BOOL bEnc = FALSE;
                      BOOL bShared = FALSE;
                      const HRESULT hr = store.GetStoreInfo(&ulType, &bEnc, &bShared);
                      if (FAILED(hr)) return hr;
                      if (nType != nullptr) *nType = static_cast<INT>(ulType);
                      if (bEncrypted != nullptr) *bEncrypted = bEnc;
                      if (bSharedBetweenUserSessions != nullptr) {
                        *bSharedBetweenUserSessions = bShared;
                      }
                      return S_OK;
                    });
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::FlushDataStores(ULONG ulPID, BSTR bProduct,
                                                             LONG* plRetVal) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManager::FlushDataStores"), hr);
  const bool bRelease = MethodReleasesArguments();
  hr = CheckClientCallerForMethod(CALLER_CHECK_MESSAGES("CDataStoreManager::FlushDataStores"),
                                  ulPID);
  secwstring sProduct;
  if (SUCCEEDED(hr)) {
    hr = BSTR2wstring(bProduct, sProduct);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CDataStoreManager::FlushDataStores BSTR2wstring failed"));
    }
  }
  if (SUCCEEDED(hr)) {
    for (auto& [sStoreId, pStore] : m_DataStores) {
      if (pStore == nullptr) continue;
      secwstring sStoreProduct;
      {
        HRESULT hrInfo = S_OK;
        CLogScope infoScope(LOG_SCOPE_NAME("CDataStore::GetStoreInfo"), hrInfo);
        hrInfo = pStore->Internal().GetStoreInfo(nullptr, nullptr, nullptr, sStoreProduct);
      }
      if (sStoreProduct != sProduct) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CDataStoreManager::FlushDataStores sProduct = %s <> sProduct1 = %s"),
                 sProduct.c_str(), sStoreProduct.c_str());
        hr = S_OK;
        continue;
      }
      LONG lRet = S_OK;
      hr = pStore->FlushStore(ulPID, &lRet);
      if (FAILED(hr) || lRet != S_OK) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CDataStoreManager::FlushDataStores FlushStore failed lRet = 0x%x, hr = "
                        "0x%x"),
                 lRet, hr);
      }
    }
  }
  if (bRelease) zuSysFreeString(bProduct, ZU_RELEASE_CALLER_ARGUMENT);
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::FlushAuthStores(ULONG ulPID, LONG* plRetVal) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CDataStoreManager::FlushAuthStores"), hr);
  hr = CheckClientCallerForMethod(CALLER_CHECK_MESSAGES("CDataStoreManager::FlushAuthStores"),
                                  ulPID);
  if (SUCCEEDED(hr)) {
    for (auto& [sStoreId, pStore] : m_AuthStores) {
      if (pStore == nullptr) continue;
      LONG lRet = S_OK;
      hr = pStore->FlushStore(ulPID, nullptr, &lRet);
      if (FAILED(hr) || lRet != S_OK) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CDataStoreManager::FlushAuthStores FlushStore failed lRet = 0x%x, hr = "
                        "0x%x"),
                 lRet, hr);
      }
    }
  }
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::ListDataStoreIds(ULONG ulPID,
                                                              SAFEARRAY** sDataStoreIdList,
                                                              LONG* plRetVal) {
  return ListIds(LIST_METHOD("ListDataStoreIds"), m_DataStores, ulPID, sDataStoreIdList, plRetVal);
}

HRESULT STDMETHODCALLTYPE CDataStoreManager::ListAuthStoreIds(ULONG ulPID,
                                                              SAFEARRAY** sAuthStoreIdList,
                                                              LONG* plRetVal) {
  return ListIds(LIST_METHOD("ListAuthStoreIds"), m_AuthStores, ulPID, sAuthStoreIdList, plRetVal);
}
