// The class factories of the module's three classes.
//
// The module keeps one factory per class for its whole life and holds one
// reference on it; every further reference, held by a client, counts as a
// lock on the module (host/module.h), as does each LockServer(TRUE) until
// its LockServer(FALSE). A factory is deleted only as the module is
// unloaded, and only when no client holds it (DeleteIfUnheld).
//
// CreateInstance answers E_POINTER for a null ppv and CLASS_E_NOAGGREGATION
// for an outer unknown, in that order, and clears *ppv first.
//
// The DataStore and AuthStore factories make a new object per call; such an
// object is never started and answers E_FAIL to every operation.
//
// The DataStoreManager factory is a singleton: its first CreateInstance
// makes the one manager under the factory's lock and keeps it; a failure to
// make it is kept too and answered by every later call; otherwise every
// call answers the kept manager queried for the interface asked for. The
// manager is made by the creation function the factory was given, by
// default CreateDataStoreManager; a hosting process may give its own.
#pragma once

#include <windows.h>

#include <atomic>

#include "host/datastoremanager.h"
#include "support/scopedlock.h"

class CClassFactoryBase : public IClassFactory {
 public:
  CClassFactoryBase() noexcept = default;
  CClassFactoryBase(const CClassFactoryBase&) = delete;
  CClassFactoryBase& operator=(const CClassFactoryBase&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

  // Deletes the factory when the module's reference is the only one left
  // and says whether it did; a factory a client holds is left alone.
  bool DeleteIfUnheld() noexcept;

 protected:
  virtual ~CClassFactoryBase() = default;

 private:
  std::atomic<ULONG> m_cRef{1};  // the module's reference
};

// DataStore (CDataStore) and AuthStore (CAuthStore).
template <class T>
class TObjectClassFactory final : public CClassFactoryBase {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;
};

// The manager made with one reference, or the reason it could not be made.
using PFN_CREATE_MANAGER = HRESULT (*)(CDataStoreManager** ppManager);
HRESULT CreateDataStoreManager(CDataStoreManager** ppManager);

class CManagerClassFactory final : public CClassFactoryBase {
 public:
  explicit CManagerClassFactory(PFN_CREATE_MANAGER pfnCreate = CreateDataStoreManager) noexcept
      : m_pfnCreate(pfnCreate) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                           void** ppvObject) override;

  // Gives up the kept manager when nothing but the factory reaches it or
  // its stores and no other object of the classes is alive, and returns it
  // for the caller to release outside every lock; null otherwise. The next
  // CreateInstance makes a new manager.
  CDataStoreManager* DetachUnusedManager() noexcept;

 private:
  PFN_CREATE_MANAGER m_pfnCreate;
  CCriticalSection m_cs;
  CDataStoreManager* m_pManager = nullptr;  // one reference
  HRESULT m_hrCreate = S_OK;                // a failure to make it, for good
};
