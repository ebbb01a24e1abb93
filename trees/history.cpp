#include "trees/history.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "support/logscope.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"
#include "trees/memorytree.h"
#include "trees/treepath.h"

CHistoryTreePointer gHistoryTree;

namespace {

constexpr LONG kUpdateStructure = -1;
constexpr LONG kUpdateContent = 1;

// Guards the count of uses and the creation and destruction of the tree.
// Taken only by the managers' start-up and shut-down, never under a store
// lock, and never while the history lock is held.
std::mutex gHistoryLifetimeLock;
ULONG gulHistoryUsers = 0;

const secwstring& CompartmentVersionName() {
  static const secwstring sName(OLESTR("CompartmentVersion"));
  return sName;
}

const secwstring& ContentVersionName() {
  static const secwstring sName(OLESTR("ContentVersion"));
  return sName;
}

// Reads element 0 of a stored counter. An array whose elements are not
// 32-bit cannot be a counter and is refused before it is read into one.
HRESULT ReadCounter(SAFEARRAY* psa, UINT& uiValue) {
  if (psa != nullptr && SafeArrayGetElemsize(psa) != sizeof(UINT)) return DISP_E_TYPEMISMATCH;
  LONG lIndex = 0;
  return SafeArrayGetElement(psa, &lIndex, &uiValue);
}

// A counter as UpdateVersion stores it, read in place: false for anything
// else (GetVersion then reads it).
bool PeekCounter(const CNode* pNode, const secwstring& sName, UINT& uiValue) noexcept {
  SAFEARRAY* psa = nullptr;
  if (pNode == nullptr || !pNode->PeekDataItem(sName, psa)) {
    uiValue = 0;
    return true;
  }
  VARTYPE vt = VT_EMPTY;
  if (psa == nullptr || SafeArrayGetDim(psa) != 1 || FAILED(SafeArrayGetVartype(psa, &vt)) ||
      vt != VT_UINT || psa->cbElements != sizeof(UINT) || psa->rgsabound[0].lLbound != 0 ||
      psa->rgsabound[0].cElements == 0 || psa->pvData == nullptr) {
    return false;
  }
  std::memcpy(&uiValue, psa->pvData, sizeof(UINT));
  return true;
}

// GetVersion's release of one temporary copy: a failed release is logged
// and tried once more; a second failure is logged and reported, and the
// array is given up.
HRESULT ReleaseCounterCopy(CScopedSafeArray& copy) {
  SAFEARRAY* psa = copy.Release();
  HRESULT hr = zuSafeArrayDestroy(psa, ZU_RELEASE_TEMPORARY);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion zuSafeArrayDestroy failed"));
    hr = zuSafeArrayDestroy(psa, ZU_RELEASE_TEMPORARY);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion zuSafeArrayDestroy failed"));
    }
  }
  return hr;
}

}  // namespace

HRESULT AcquireHistoryTree() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("AcquireHistoryTree"), hr);
  std::lock_guard<std::mutex> guard(gHistoryLifetimeLock);
  if (gulHistoryUsers == 0) {
    try {
      auto pMemoryTree = std::make_unique<CMemoryTree>(secwstring(OLESTR("History")));
      gHistoryTree.m_pTree.store(new CLockingTree(std::move(pMemoryTree)),
                                 std::memory_order_release);
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("AcquireHistoryTree new CMemoryTree failed"));
      hr = E_OUTOFMEMORY;
      return hr;
    }
  }
  ++gulHistoryUsers;
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("AcquireHistoryTree ulUsers = %u"), gulHistoryUsers);
  return hr;
}

HRESULT ReleaseHistoryTree() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("ReleaseHistoryTree"), hr);
  std::lock_guard<std::mutex> guard(gHistoryLifetimeLock);
  if (gulHistoryUsers == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ReleaseHistoryTree no use held"));
    hr = E_FAIL;
    return hr;
  }
  --gulHistoryUsers;
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("ReleaseHistoryTree ulUsers = %u"), gulHistoryUsers);
  if (gulHistoryUsers == 0) {
    delete gHistoryTree.m_pTree.exchange(nullptr, std::memory_order_acq_rel);
  }
  return hr;
}

bool IsHistoryTree(const CAbstractTree* pTree) noexcept {
  const CLockingTree* pHistory = gHistoryTree.Locking();
  return pTree != nullptr && pHistory != nullptr &&
         (pTree == pHistory || pTree == pHistory->Inner());
}

HRESULT UpdateHistoryTree(const secwstring& sCompartmentIdGlobal, LONG lMode) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("UpdateHistoryTree"), hr);
  std::vector<secwstring> prefixes;
  hr = ListPathPrefixes(sCompartmentIdGlobal, prefixes);
  if (FAILED(hr)) return hr;

  // One change is one step for readers on other threads: they see all its
  // prefixes advanced or none.
  std::optional<CScopedLock> hold;
  if (CLockingTree* pHistory = gHistoryTree.Locking()) hold.emplace(pHistory->Lock());

  for (const secwstring& sPrefix : prefixes) {
    if (lMode == kUpdateStructure) {
      hr = UpdateVersion(sPrefix, 0);
      if (SUCCEEDED(hr)) hr = UpdateVersion(sPrefix, 1);
    } else if (lMode == kUpdateContent) {
      hr = UpdateVersion(sPrefix, 1);
    }
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateHistoryTree UpdateVersion failed"));
      return hr;
    }
  }
  return hr;
}

HRESULT UpdateVersion(const secwstring& sCompartmentIdGlobal, ULONG ulSelector) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("UpdateVersion"), hr);
  CLockingTree* pHistory = gHistoryTree.Locking();
  if (pHistory == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion NULL == gHistoryTree"));
    hr = E_FAIL;
    return hr;
  }

  const secwstring& sName = ulSelector != 0 ? ContentVersionName() : CompartmentVersionName();
  CScopedSafeArray old;
  CScopedSafeArray value;
  {
    // The counter's read and write are one step: two stores advancing the
    // same key from two threads never lose an advance.
    CScopedLock hold(pHistory->Lock());
    UINT uiValue = 1;
    bool bStore = true;
    hr = pHistory->GetData(sCompartmentIdGlobal, sName, old.Receive(), 0);
    if (hr == S_OK) {
      UINT uiOld = 0;
      hr = ReadCounter(old.Get(), uiOld);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion SafeArrayGetElement failed"));
        bStore = false;
      } else {
        uiValue = uiOld + 1;  // unsigned: 0xFFFFFFFF advances to 0
      }
    }
    if (bStore) {
      value.Reset(SafeArrayCreateVector(VT_UINT, 0, 1));
      if (!value.Get()) {
        qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion SafeArrayCreateVector failed"));
        hr = E_OUTOFMEMORY;
      } else {
        LONG lIndex = 0;
        hr = SafeArrayPutElement(value.Get(), &lIndex, &uiValue);
        if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion SafeArrayPutElement failed"));
        } else {
          hr = pHistory->SetData(sCompartmentIdGlobal, sName, value.Get(), 0, FALSE);
          if (FAILED(hr)) {
            qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion SetData failed"));
          }
        }
      }
    }
  }

  // The result is that of the last release performed.
  for (CScopedSafeArray* pTemporary : {&old, &value}) {
    if (!pTemporary->Get()) continue;
    hr = pTemporary->Reset();
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("UpdateVersion zuSafeArrayDestroy failed"));
    }
  }
  return hr;
}

HRESULT GetVersion(const secwstring& sCompartmentIdGlobal, ULONG* pulCompartmentVersion,
                   ULONG* pulContentVersion) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("GetVersion"), hr);
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("GetVersion sCompartmentIdGlobal = %s"),
           sCompartmentIdGlobal.c_str());
  UINT uiCompartmentVersion = 0;
  UINT uiContentVersion = 0;
  CScopedSafeArray compartmentVersion;
  CScopedSafeArray contentVersion;

  CLockingTree* pHistory = gHistoryTree.Locking();
  if (pHistory == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion NULL == gHistoryTree"));
    hr = E_FAIL;
  } else if (pulCompartmentVersion == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion NULL == pulCompartmentVersion"));
    hr = E_FAIL;
  } else {
    // Both counters are read as one step, so they belong to the same state.
    CScopedLock hold(pHistory->Lock());
    bool bReadContent = true;
    if (pHistory->GetData(sCompartmentIdGlobal, CompartmentVersionName(),
                          compartmentVersion.Receive(), 0) == S_OK) {
      const HRESULT hrRead = ReadCounter(compartmentVersion.Get(), uiCompartmentVersion);
      if (FAILED(hrRead)) {
        qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion SafeArrayGetElement failed"));
        hr = hrRead;
        bReadContent = false;
      }
    }
    if (bReadContent) {
      // A missing "CompartmentVersion" reads 0 whatever GetData said; for
      // "ContentVersion" only "not found" (E_INVALIDARG) is not a failure.
      const HRESULT hrGet = pHistory->GetData(sCompartmentIdGlobal, ContentVersionName(),
                                              contentVersion.Receive(), 0);
      if (hrGet == S_OK) {
        const HRESULT hrRead = ReadCounter(contentVersion.Get(), uiContentVersion);
        if (FAILED(hrRead)) {
          qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetVersion SafeArrayGetElement failed"));
          hr = hrRead;
        }
      } else if (hrGet == E_INVALIDARG) {
        hr = S_OK;
      } else {
        hr = hrGet;
      }
    }
  }

  // Each release sets the result, so a read failure is reported only when
  // no copy had to be released after it.
  if (compartmentVersion.Get() != nullptr) hr = ReleaseCounterCopy(compartmentVersion);
  if (contentVersion.Get() != nullptr) hr = ReleaseCounterCopy(contentVersion);

  if (pulCompartmentVersion != nullptr) {
    *pulCompartmentVersion = uiCompartmentVersion;
    qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("GetVersion uiCompartmentVersion = %d"),
             uiCompartmentVersion);
  }
  if (pulContentVersion != nullptr) {
    *pulContentVersion = uiContentVersion;
    qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("GetVersion uiContentVersion = %d"),
             uiContentVersion);
  }
  return hr;
}

HRESULT ReadVersions(const secwstring& sCompartmentIdGlobal, ULONG* pulCompartmentVersion,
                     ULONG* pulContentVersion) {
  if (CAbstractTree::TraceIsLogged()) {
    return GetVersion(sCompartmentIdGlobal, pulCompartmentVersion, pulContentVersion);
  }
  CLockingTree* pHistory = gHistoryTree.Locking();
  if (pHistory != nullptr && pulCompartmentVersion != nullptr) {
    CScopedLock hold(pHistory->Lock());
    // AcquireHistoryTree wraps a memory tree, always.
    const auto* pInner = static_cast<const CMemoryTree*>(pHistory->Inner());
    const CNode* pNode = pInner->PeekNode(sCompartmentIdGlobal);
    UINT uiCompartmentVersion = 0;
    UINT uiContentVersion = 0;
    if (PeekCounter(pNode, CompartmentVersionName(), uiCompartmentVersion) &&
        PeekCounter(pNode, ContentVersionName(), uiContentVersion)) {
      *pulCompartmentVersion = uiCompartmentVersion;
      if (pulContentVersion != nullptr) *pulContentVersion = uiContentVersion;
      return S_OK;
    }
  }
  return GetVersion(sCompartmentIdGlobal, pulCompartmentVersion, pulContentVersion);
}
