#include "datastore/storeownership.h"

std::atomic<IDataStoreManager*> gpDataStoreManager{nullptr};

bool MethodReleasesArguments() noexcept {
  return gpDataStoreManager.load(std::memory_order_acquire) == nullptr;
}
