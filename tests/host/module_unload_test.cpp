// The module loaded from its file and unloaded again once its clients have
// let go of everything: nothing it kept for its life outlives it. Natively
// the sanitizer build's leak checker looks for what the unloaded object
// left behind.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/module_exports.h"
#include "kelmyr_i.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

TEST(ModuleUnload, LeavesNothingBehind) {
  // The class factories alone, then with an object made of each class.
  for (const bool bObjects : {false, true}) {
    const HMODULE hModule = LoadLibraryW(WIDE(KELMYR_MODULE_FILE));
    const auto GetClassObject =
        Export<HRESULT WINAPI(REFCLSID, REFIID, void**)>(hModule, "DllGetClassObject");
    for (const CLSID* pclsid : {&CLSID_DataStoreManager, &CLSID_DataStore, &CLSID_AuthStore}) {
      IClassFactory* pFactory = nullptr;
      ASSERT_EQ(GetClassObject(*pclsid, IID_IClassFactory, reinterpret_cast<void**>(&pFactory)),
                S_OK);
      IUnknown* pObject = nullptr;
      if (bObjects)
        pFactory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&pObject));
      pFactory->Release();
      if (pObject != nullptr) pObject->Release();
    }
    // Lets the manager its factory keeps go.
    EXPECT_EQ(Export<HRESULT WINAPI()>(hModule, "DllCanUnloadNow")(), S_OK);
    FreeLibrary(hModule);
    EXPECT_EQ(GetModuleHandleW(WIDE(KELMYR_MODULE_FILE)), nullptr) << "still loaded";
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the unloaded module left memory behind";
#endif
  }
}

}  // namespace
