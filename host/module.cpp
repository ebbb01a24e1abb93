#include "host/module.h"

#include <cstring>
#include <new>

#include "datastore/datastore.h"
#include "datastore/dualobject.h"
#include "datastore/storedispatch.h"
#include "host/classfactory.h"
#include "host/registrationscripts.h"
#include "kelmyr_i.h"
#include "pincache/authstore.h"
#include "platform/no_destructor.h"
#include "sessions/sessionmonitor.h"
#include "support/logscope.h"
#include "support/zutimer.h"

namespace {

constexpr size_t kManagerClass = 0;

template <class TFactory>
CClassFactoryBase* NewFactory() noexcept {
  return new (std::nothrow) TFactory();
}

}  // namespace

const CPellwickModule::SClass CPellwickModule::kClasses[kClassCount] = {
    {&CLSID_DataStoreManager, kDataStoreManagerScript, NewFactory<CManagerClassFactory>},
    {&CLSID_DataStore, kDataStoreScript, NewFactory<TObjectClassFactory<CDataStore>>},
    {&CLSID_AuthStore, kAuthStoreScript, NewFactory<TObjectClassFactory<CAuthStore>>},
};

CPellwickModule::CPellwickModule() noexcept {
  m_bInitialised = InitializeCriticalSectionAndSpinCount(&m_csFactories, 0) != FALSE;
  if (!m_bInitialised) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CPellwickModule: the critical section could not be created, error %u"),
             GetLastError());
  }
}

void CPellwickModule::Lock() noexcept { m_cLocks.fetch_add(1, std::memory_order_acq_rel); }

void CPellwickModule::Unlock() noexcept {
  LONG cLocks = m_cLocks.load(std::memory_order_acquire);
  while (cLocks > 0 &&
         !m_cLocks.compare_exchange_weak(cLocks, cLocks - 1, std::memory_order_acq_rel)) {
  }
}

HRESULT CPellwickModule::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("DllGetClassObject"), hr);
  if (ppv == nullptr) return hr = E_POINTER;
  *ppv = nullptr;
  if (!m_bInitialised) return hr = E_UNEXPECTED;
  size_t i = 0;
  while (i < kClassCount && memcmp(&rclsid, kClasses[i].pclsid, sizeof(CLSID)) != 0) ++i;
  if (i == kClassCount) return hr = CLASS_E_CLASSNOTAVAILABLE;
  CClassFactoryBase* pFactory = m_apFactories[i].load(std::memory_order_acquire);
  if (pFactory == nullptr) {
    EnterCriticalSection(&m_csFactories);
    pFactory = m_apFactories[i].load(std::memory_order_acquire);
    if (pFactory == nullptr) {
      pFactory = kClasses[i].pfnCreateFactory();
      m_apFactories[i].store(pFactory, std::memory_order_release);
    }
    LeaveCriticalSection(&m_csFactories);
    if (pFactory == nullptr) return hr = E_OUTOFMEMORY;
  }
  hr = pFactory->QueryInterface(riid, ppv);
  if (hr == S_OK && *ppv == nullptr) hr = CLASS_E_CLASSNOTAVAILABLE;
  return hr;
}

HRESULT CPellwickModule::CanUnloadNow() noexcept {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("DllCanUnloadNow"), hr);
  if (!m_bInitialised) return hr = E_UNEXPECTED;
  if (LockCount() != 0) return hr = S_FALSE;
  auto* pManagerFactory = static_cast<CManagerClassFactory*>(
      m_apFactories[kManagerClass].load(std::memory_order_acquire));
  if (pManagerFactory != nullptr) {
    // Released here, outside every lock: its last release stops its monitor
    // and ends its stores.
    if (CDataStoreManager* pManager = pManagerFactory->DetachUnusedManager()) {
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("DllCanUnloadNow releases the class's manager"));
      pManager->Release();
    }
  }
  return hr = Unused() ? S_OK : S_FALSE;
}

bool CPellwickModule::Unused() const noexcept {
  return LockCount() == 0 && DualObjectsAlive() == 0 && SessionMonitorThreadsAlive() == 0 &&
         !TimerThreadRunning();
}

void CPellwickModule::ReleaseUnusedFactories() noexcept {
  if (!m_bInitialised) return;
  EnterCriticalSection(&m_csFactories);
  if (Unused()) {
    for (std::atomic<CClassFactoryBase*>& factory : m_apFactories) {
      CClassFactoryBase* pFactory = factory.load(std::memory_order_acquire);
      if (pFactory != nullptr && pFactory->DeleteIfUnheld()) {
        factory.store(nullptr, std::memory_order_release);
      }
    }
    StoreReleaseTypeInfo();
  }
  LeaveCriticalSection(&m_csFactories);
}

const GUID& CPellwickModule::LibId() const noexcept { return LIBID_PellwickLib; }

LPCOLESTR CPellwickModule::AppId() const noexcept { return KELMYR_APPID_STRING; }

CPellwickModule& PellwickModule() noexcept {
  static TNoDestructor<CPellwickModule> module;
  return *module;
}
