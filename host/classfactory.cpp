#include "host/classfactory.h"

#include <new>
#include <utility>

#include "datastore/datastore.h"
#include "host/module.h"
#include "pincache/authstore.h"
#include "support/logscope.h"

HRESULT STDMETHODCALLTYPE CClassFactoryBase::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppvObject = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactoryBase::AddRef() {
  PellwickModule().Lock();
  return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CClassFactoryBase::Release() {
  // The module's own reference is never given up; a client releasing more
  // than it holds changes nothing.
  ULONG cRef = m_cRef.load();
  do {
    if (cRef <= 1) return cRef;
  } while (!m_cRef.compare_exchange_weak(cRef, cRef - 1));
  PellwickModule().Unlock();
  return cRef - 1;
}

bool CClassFactoryBase::DeleteIfUnheld() noexcept {
  ULONG cRef = 1;
  if (!m_cRef.compare_exchange_strong(cRef, 0)) return false;
  delete this;
  return true;
}

HRESULT STDMETHODCALLTYPE CClassFactoryBase::LockServer(BOOL fLock) {
  if (fLock) {
    PellwickModule().Lock();
  } else {
    PellwickModule().Unlock();
  }
  return S_OK;
}

template <class T>
HRESULT STDMETHODCALLTYPE TObjectClassFactory<T>::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                                 void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  T* pObject = new (std::nothrow) T();
  if (pObject == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = pObject->QueryInterface(riid, ppvObject);
  pObject->Release();
  return hr;
}

template class TObjectClassFactory<CDataStore>;
template class TObjectClassFactory<CAuthStore>;

HRESULT CreateDataStoreManager(CDataStoreManager** ppManager) {
  *ppManager = new (std::nothrow) CDataStoreManager();
  return *ppManager != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE CManagerClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                               void** ppvObject) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CManagerClassFactory::CreateInstance"), hr);
  if (ppvObject == nullptr) return hr = E_POINTER;
  *ppvObject = nullptr;
  if (pUnkOuter != nullptr) return hr = CLASS_E_NOAGGREGATION;
  // Held while the manager is queried too, so that DllCanUnloadNow cannot
  // give it up in between.
  CScopedLock lock(m_cs);
  if (m_pManager == nullptr && SUCCEEDED(m_hrCreate)) {
    CDataStoreManager* pManager = nullptr;
    m_hrCreate = m_pfnCreate(&pManager);
    if (SUCCEEDED(m_hrCreate) && pManager == nullptr) m_hrCreate = E_UNEXPECTED;
    if (FAILED(m_hrCreate)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CManagerClassFactory::CreateInstance creation failed hr = 0x%x"),
               m_hrCreate);
      return hr = m_hrCreate;
    }
    m_pManager = pManager;
  }
  if (FAILED(m_hrCreate)) return hr = m_hrCreate;
  return hr = m_pManager->QueryInterface(riid, ppvObject);
}

CDataStoreManager* CManagerClassFactory::DetachUnusedManager() noexcept {
  CScopedLock lock(m_cs);
  if (m_pManager == nullptr || !m_pManager->OnlyReachedThroughOneReference()) return nullptr;
  return std::exchange(m_pManager, nullptr);
}
