// CPellwickModule: the process-wide object of the component's module
// (qv.kelmyr.dll; natively the shared object qv.kelmyr.so).
//
// It holds the module's lock count, the critical section under which the
// class factories are made, the class table (each class with the registry
// script resource that registers it), the type library identifier and the
// AppID. It is built before any entry point is called (when the module is
// loaded) and never destroyed: nothing is torn down at process exit, and no
// manager is ended under the loader lock. Only when the module is unloaded
// while unused (as DllCanUnloadNow would answer S_OK) are the class
// factories no client holds deleted (ReleaseUnusedFactories), since the
// module's memory that kept them goes away with it. When its critical section cannot
// be created the module is not initialised: on Windows the process attach
// fails; natively every entry point answers E_UNEXPECTED.
//
// GetClassObject (DllGetClassObject): E_POINTER for a null out pointer,
// which is cleared otherwise; E_UNEXPECTED when the module is not
// initialised; CLASS_E_CLASSNOTAVAILABLE for a class not in the table (an
// exact comparison of the 16 bytes). A class's factory is made on its first
// request under the critical section (tested again inside it) and kept for
// the module's life. The answer is the factory queried for the interface
// asked for; a null pointer with S_OK becomes CLASS_E_CLASSNOTAVAILABLE.
//
// CanUnloadNow (DllCanUnloadNow): S_FALSE while the module is locked
// (LockServer, or a client's reference on a factory), while an object of
// the three classes lives, while a session monitor thread has not finished,
// or while the timer thread runs (until no timer is left). The manager kept
// by the DataStoreManager factory does not hold the module by itself: when
// nothing but the factory reaches it or its stores and no other object
// lives, CanUnloadNow releases it (ending it, its monitor first) before it
// answers, and the factory makes a new one on its next request. The manager
// of the exported factory belongs to its clients and holds the module until
// their last reference goes.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

class CClassFactoryBase;
class CManagerClassFactory;

class CPellwickModule {
 public:
  struct SClass {
    const CLSID* pclsid;
    UINT uScriptId;  // the registry script resource of the class (host/registrationscripts.h)
    CClassFactoryBase* (*pfnCreateFactory)() noexcept;
  };
  static constexpr size_t kClassCount = 3;
  // DataStoreManager, DataStore, AuthStore.
  static const SClass kClasses[kClassCount];

  CPellwickModule() noexcept;
  CPellwickModule(const CPellwickModule&) = delete;
  CPellwickModule& operator=(const CPellwickModule&) = delete;

  bool Initialised() const noexcept { return m_bInitialised; }

  // The lock count; an unlock without a lock leaves it at 0.
  void Lock() noexcept;
  void Unlock() noexcept;
  LONG LockCount() const noexcept { return m_cLocks.load(std::memory_order_acquire); }

  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) noexcept;
  HRESULT CanUnloadNow() noexcept;
  // For the module's unloading, never for process exit: deletes the
  // factories no client holds, when nothing of the module is in use; a
  // manager the DataStoreManager factory still keeps keeps it in use.
  void ReleaseUnusedFactories() noexcept;

  const GUID& LibId() const noexcept;
  LPCOLESTR AppId() const noexcept;

 private:
  bool Unused() const noexcept;

  CRITICAL_SECTION m_csFactories;
  bool m_bInitialised = false;
  std::atomic<LONG> m_cLocks{0};
  std::atomic<CClassFactoryBase*> m_apFactories[kClassCount] = {};
};

CPellwickModule& PellwickModule() noexcept;
