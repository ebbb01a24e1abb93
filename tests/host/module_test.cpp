// The component's module as COM and its clients reach it: loaded from its
// file (qv.kelmyr.dll, natively qv.kelmyr.so) and called through the entry
// points it exports by name. Calls on its objects are made inside a call
// context whose caller owns this process, so that they pass the trust check.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>

#include <tuple>

#include "common/module_exports.h"
#include "common/scripted_call_context.h"
#include "host/classfactory.h"

namespace {

// An entry point of the module, loaded once and kept.
template <class F>
F* Entry(const char* pszName) {
  static const HMODULE hModule = LoadLibraryW(WIDE(KELMYR_MODULE_FILE));
  return Export<F>(hModule, pszName);
}
const auto GetClassObject = Entry<HRESULT WINAPI(REFCLSID, REFIID, void**)>("DllGetClassObject");

// A caller that owns this process, installed for the calls of the thread.
void TrustThisProcess() {
  static CScriptedCallContext context;
  PSID pOwner = nullptr;
  PSECURITY_DESCRIPTOR pSd = nullptr;
  GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner,
                  nullptr, nullptr, nullptr, &pSd);
  context.callers = {
      {{static_cast<BYTE*>(pOwner), static_cast<BYTE*>(pOwner) + GetLengthSid(pOwner)}}};
  LocalFree(pSd);
  IUnknown* pPrevious = nullptr;
  CoSwitchCallContext(&context, &pPrevious);
}

// The answer of the class's factory, which is the same one each time, or
// the module's when it has none.
HRESULT Create(REFCLSID clsid, IUnknown* pOuter, REFIID iid, void** ppv) {
  IClassFactory* pFactories[2] = {};
  HRESULT hr = GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactories[0]));
  if (hr != S_OK) return hr;
  GetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactories[1]));
  EXPECT_EQ(pFactories[0], pFactories[1]) << "the factory is kept";
  hr = pFactories[0]->CreateInstance(pOuter, iid, ppv);
  for (IClassFactory* pFactory : pFactories) pFactory->Release();
  return hr;
}

LONG FlushPins(void* pStore) {
  LONG lRet = -1;
  static_cast<IAuthStore*>(pStore)->FlushStore(GetCurrentProcessId(), nullptr, &lRet);
  return lRet;
}

TEST(Module, ClassObjectsAndTheirObjects) {
  TrustThisProcess();
  // The class, the outer unknown, whether the out pointer is null, the answer.
  const std::tuple<const CLSID&, IUnknown*, bool, HRESULT> rows[] = {
      {CLSID_DataStoreManager, nullptr, false, S_OK},
      {CLSID_AuthStore, nullptr, false, S_OK},
      {CLSID_DataStoreManager, nullptr, true, E_POINTER},
      {CLSID_DataStoreManager, reinterpret_cast<IUnknown*>(&Create), false, CLASS_E_NOAGGREGATION},
      {CLSID_DataStore, reinterpret_cast<IUnknown*>(&Create), false, CLASS_E_NOAGGREGATION},
      {IID_IDataStoreManager, nullptr, false, CLASS_E_CLASSNOTAVAILABLE},
  };
  for (const auto& [clsid, pOut, bNull, hr] : rows) {
    void* pObjects[2] = {};
    for (void*& pv : pObjects)
      EXPECT_EQ(Create(clsid, pOut, IID_IUnknown, bNull ? nullptr : &pv), hr);
    if (hr != S_OK) continue;
    // The one manager is kept; the stores are new, and never started.
    EXPECT_EQ(pObjects[0] == pObjects[1], clsid == CLSID_DataStoreManager);
    EXPECT_TRUE(clsid != CLSID_AuthStore || FlushPins(pObjects[0]) == E_FAIL) << "started";
    for (void* pv : pObjects) static_cast<IUnknown*>(pv)->Release();
  }
  EXPECT_EQ(GetClassObject(CLSID_DataStore, IID_IClassFactory, nullptr), E_POINTER);
}

void LockServer(BOOL fLock) {
  IClassFactory* pFactory = nullptr;
  GetClassObject(CLSID_DataStore, IID_IClassFactory, reinterpret_cast<void**>(&pFactory));
  pFactory->LockServer(fLock);
  pFactory->Release();
}

// What a client holds keeps the module; the manager its factory keeps does
// not, and is let go only when no client reaches it or its stores.
TEST(Module, CanUnloadOnlyWhenNothingIsHeld) {
  TrustThisProcess();
  // Each row takes an object, released to give it back, or else a lock.
  void (*const rows[])(void**) = {
      [](void** ppv) { GetClassObject(CLSID_AuthStore, IID_IUnknown, ppv); },
      [](void**) { LockServer(TRUE); },
      [](void** ppv) { Create(CLSID_AuthStore, nullptr, IID_IUnknown, ppv); },
      [](void** ppv) {  // the PIN store of the class's manager, which is released
        void* pManager = nullptr;
        Create(CLSID_DataStoreManager, nullptr, IID_IDataStoreManager, &pManager);
        static_cast<IDataStoreManager*>(pManager)->GetAuthStore(
            GetCurrentProcessId(), SysAllocString(KELMYR_PIN_STORE_ID),
            reinterpret_cast<IAuthStore**>(ppv), nullptr);
        static_cast<IUnknown*>(pManager)->Release();
      },
      [](void** ppv) { Entry<HRESULT WINAPI(void**)>("CreateIDataStoreManagerInstance")(ppv); },
  };
  for (const auto& take : rows) {
    EXPECT_EQ(Entry<HRESULT WINAPI()>("DllCanUnloadNow")(), S_OK) << "before row " << &take - rows;
    void* pHeld = nullptr;
    take(&pHeld);
    EXPECT_EQ(Entry<HRESULT WINAPI()>("DllCanUnloadNow")(), S_FALSE) << "row " << &take - rows;
    EXPECT_TRUE(&take != &rows[3] || FlushPins(pHeld) == S_OK) << "its manager is not ended";
    pHeld != nullptr ? void(static_cast<IUnknown*>(pHeld)->Release()) : LockServer(FALSE);
  }
  EXPECT_EQ(Entry<HRESULT WINAPI()>("DllCanUnloadNow")(), S_OK);
}

// A manager that cannot be made: every request gets the same answer, with
// no second attempt.
TEST(ManagerClassFactory, KeepsACreationFailure) {
  static int nAttempts = 0;
  CManagerClassFactory factory([](CDataStoreManager**) { return ++nAttempts, E_ACCESSDENIED; });
  void* pv = &nAttempts;
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IDataStoreManager, &pv), E_ACCESSDENIED);
  EXPECT_EQ(factory.CreateInstance(nullptr, IID_IDataStoreManager, &pv), E_ACCESSDENIED);
  EXPECT_TRUE(pv == nullptr && nAttempts == 1);
}

}  // namespace
