#include "host/export.h"

#include <new>

#include "datastore/storeownership.h"
#include "host/datastoremanager.h"
#include "host/module.h"
#include "support/qvlog.h"

namespace {

// True while the export holds the reference its manager was built with,
// because the call that built it had no ppv to hand it to; the next call
// that hands out a reference gives it up, so the manager lives on between
// the two.
bool gbExportHoldsReference = false;

}  // namespace

CCriticalSection& ExportLock() noexcept {
  static CCriticalSection lock;
  return lock;
}

extern "C" HRESULT WINAPI CreateIDataStoreManagerInstance(void** ppv) {
  HRESULT hr = S_OK;
  qvlogLog(gLogChannel, LOG_ENTRY, OLESTR("CreateIDataStoreManagerInstance"));
  if (!PellwickModule().Initialised()) {
    hr = E_UNEXPECTED;
    if (ppv != nullptr) *ppv = nullptr;
  } else {
    CScopedLock lock(ExportLock());
    IDataStoreManager* pManager = gpDataStoreManager.load(std::memory_order_acquire);
    if (pManager == nullptr) {
      CDataStoreManager* pNew = new (std::nothrow) CDataStoreManager();
      if (pNew == nullptr) {
        hr = E_OUTOFMEMORY;
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CreateIDataStoreManagerInstance new CComObject failed"));
      } else {
        pNew->MarkCreatedThroughExport();
        gbManagerCreatedThroughExport.store(true, std::memory_order_release);
        gbExportHoldsReference = true;
        pManager = pNew;
        gpDataStoreManager.store(pManager, std::memory_order_release);
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CreateIDataStoreManagerInstance new CComObject succeeded"));
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CreateIDataStoreManagerInstance gpDataStoreManager->FinalConstruct "
                        "succeeded"));
      }
    }
    if (pManager != nullptr) {
      hr = pManager->QueryInterface(IID_IDataStoreManager, ppv);
      if (SUCCEEDED(hr)) {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CreateIDataStoreManagerInstance gpDataStoreManager->QueryInterface "
                        "succeeded"));
        if (gbExportHoldsReference) {
          gbExportHoldsReference = false;
          pManager->Release();  // the caller's reference keeps it alive
        }
      } else {
        qvlogLog(gLogChannel, LOG_NOTABLE,
                 OLESTR("CreateIDataStoreManagerInstance gpDataStoreManager->QueryInterface "
                        "failed with error code 0x%x"),
                 GetLastError());
      }
    } else if (ppv != nullptr) {
      *ppv = nullptr;
    }
  }
  qvlogLog(gLogChannel, LOG_EXIT, OLESTR("CreateIDataStoreManagerInstance hr = %x"), hr);
  return hr;
}
