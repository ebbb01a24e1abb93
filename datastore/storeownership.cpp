#include "datastore/storeownership.h"

std::atomic<IDataStoreManager*> gpDataStoreManager{nullptr};
std::atomic<bool> gbManagerCreatedThroughExport{false};

bool MethodReleasesArguments() noexcept {
  return gpDataStoreManager.load(std::memory_order_acquire) == nullptr &&
         !gbManagerCreatedThroughExport.load(std::memory_order_acquire);
}
