#include "datastore/storeownership.h"

std::atomic<IDataStoreManager*> gpDataStoreManager{nullptr};
std::atomic<bool> gbManagerCreatedThroughExport{false};

namespace {
thread_local bool tbLateBound = false;
}

bool MethodReleasesArguments() noexcept {
  return !tbLateBound && gpDataStoreManager.load(std::memory_order_acquire) == nullptr &&
         !gbManagerCreatedThroughExport.load(std::memory_order_acquire);
}

CLateBoundCall::CLateBoundCall() noexcept : m_bOuter(tbLateBound) { tbLateBound = true; }

CLateBoundCall::~CLateBoundCall() { tbLateBound = m_bOuter; }
