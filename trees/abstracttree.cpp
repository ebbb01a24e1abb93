#include "trees/abstracttree.h"

#include <algorithm>
#include <new>

#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "trees/treepath.h"

namespace {

constexpr OLECHAR kAnySession[] = OLESTR("0");

// The number of elements of a one-dimensional list made by a tree.
ULONG ListLength(SAFEARRAY* psa) noexcept {
  if (psa == nullptr || SafeArrayGetDim(psa) != 1) return 0;
  return psa->rgsabound[0].cElements;
}

HRESULT CopyString(const secwstring& sFrom, secwstring& sTo) noexcept {
  try {
    sTo = sFrom;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace

CAbstractTree::CAbstractTree() { CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::CAbstractTree")); }

CAbstractTree::~CAbstractTree() {
  CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::~CAbstractTree"));
}

bool CAbstractTree::TraceIsLogged() noexcept {
  return qvlog::Selected(LOG_DETAIL) || qvlog::Selected(LOG_NOTABLE) ||
         qvlog::Selected(LOG_ENTRY) || qvlog::Selected(LOG_EXIT);
}

HRESULT CAbstractTree::LookUpCompartment(const secwstring&, bool& bFound) {
  bFound = false;
  return E_NOTIMPL;
}

HRESULT CAbstractTree::FindSessionId(const secwstring& sSessionId,
                                     const secwstring& sSubCompartmentId,
                                     secwstring& sSessionIdFound) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::FindSessionId"), hr, kLogDetailLevels);
  hr = SearchSessionId(sSessionId, sSubCompartmentId, sSessionIdFound);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CAbstractTree::FindSessionId sSessionId = %s, sSubCompartmentId = %s, "
                  "sSessionIdFound = %s, hr = 0x%x"),
           sSessionId.c_str(), sSubCompartmentId.c_str(), sSessionIdFound.c_str(), hr);
  return hr;
}

HRESULT CAbstractTree::SearchSessionId(const secwstring& sSessionId,
                                       const secwstring& sSubCompartmentId,
                                       secwstring& sSessionIdFound) {
  HRESULT hr = S_OK;
  if (sSessionId != kAnySession) {
    hr = CopyString(sSessionId, sSessionIdFound);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CAbstractTree::FindSessionId allocation failed"));
    }
    return hr;
  }

  std::vector<secwstring> sessionIdList;
  hr = GetSessionIdList(sessionIdList);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::FindSessionId GetSessionIdList failed"));
    return hr;
  }

  for (const secwstring& sPrefix : sessionIdList) {
    // A compartment filed under "0" is never the answer of the search; a
    // caller of session 0 reaches it only through the fallback below.
    if (sPrefix == kAnySession) continue;
    secwstring sCompartmentIdFound;
    bool bFound = false;
    hr = FindCompartmentId(sPrefix, sSubCompartmentId, sCompartmentIdFound, bFound);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::FindSessionId FindCompartmentId failed"));
      return hr;
    }
    if (bFound) {
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CAbstractTree::FindSessionId bFound = true"));
      hr = CopyString(sPrefix, sSessionIdFound);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::FindSessionId allocation failed"));
        return hr;
      }
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CAbstractTree::FindSessionId sSessionIdFound = %s"),
               sSessionIdFound.c_str());
      return S_OK;
    }
  }

  hr = CopyString(secwstring(kAnySession), sSessionIdFound);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CAbstractTree::FindSessionId allocation failed"));
  }
  return hr;
}

HRESULT CAbstractTree::GetSessionIdList(std::vector<secwstring>& sessionIdList) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::GetSessionIdList"), hr);
  sessionIdList.clear();

  CScopedSafeArray ids;
  const HRESULT hrList = ListCompartmentIds(secwstring(kRootPath), ids.Receive(), 0);
  if (FAILED(hrList) || !ids.Get()) {
    // A memory tree without compartments has no top-level listing.
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::GetSessionIdList ListCompartmentIds failed"));
    return hr;
  }

  // Each new prefix is appended as it is found, so a failure part-way leaves
  // the caller the prefixes found before it.
  try {
    std::vector<secwstring> segments;
    const ULONG cIds = ListLength(ids.Get());
    for (ULONG i = 0; i < cIds; ++i) {
      CScopedBSTR bstrCompartmentId;
      LONG lIndex = static_cast<LONG>(i);
      hr = SafeArrayGetElement(ids.Get(), &lIndex, bstrCompartmentId.Receive());
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::GetSessionIdList SafeArrayGetElement failed"));
        return hr;
      }
      secwstring sCompartmentId;
      hr = BSTR2wstring(bstrCompartmentId.Get(), sCompartmentId);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::GetSessionIdList BSTR2wstring failed"));
        return hr;
      }
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CAbstractTree::GetSessionIdList sCompartmentId = %s"),
               sCompartmentId.c_str());
      hr = SplitCompartmentPath(sCompartmentId, segments);
      if (FAILED(hr)) return hr;
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CAbstractTree::GetSessionIdList strList.size = %d"),
               static_cast<int>(segments.size()));
      const secwstring& sSessionId = segments.front();
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CAbstractTree::GetSessionIdList sSessionId = %s"),
               sSessionId.c_str());
      if (std::find(sessionIdList.begin(), sessionIdList.end(), sSessionId) ==
          sessionIdList.end()) {
        sessionIdList.push_back(sSessionId);
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CAbstractTree::GetSessionIdList allocation failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }

  if (FAILED(ids.Reset())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::GetSessionIdList zuSafeArrayDestroy failed"));
  }
  return hr;
}

HRESULT CAbstractTree::FindCompartmentId(const secwstring& sSessionId,
                                         const secwstring& sSubCompartmentId,
                                         secwstring& sCompartmentIdFound, bool& bFound) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::FindCompartmentId"), hr);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CAbstractTree::FindCompartmentId sSessionId = %s sSubCompartmentId = %s"),
           sSessionId.c_str(), sSubCompartmentId.c_str());
  bFound = false;
  const auto found = [&](const secwstring& sPath) {
    const HRESULT hrCopy = CopyString(sPath, sCompartmentIdFound);
    if (FAILED(hrCopy)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::FindCompartmentId allocation failed"));
      return hrCopy;
    }
    bFound = true;
    qvlogLog(gLogChannel, LOG_NOTABLE,
             OLESTR("CAbstractTree::FindCompartmentId sCompartmentIdFound = %s"),
             sCompartmentIdFound.c_str());
    return hrCopy;
  };

  // Only the path sSessionId/sSubCompartmentId can match, and only when the
  // session is one segment: looked up directly where the tree can, unless
  // the per-path lines of the listing are wanted.
  if (sSessionId.find(kPathSeparator) == secwstring::npos && !TraceIsLogged()) {
    secwstring sPath;
    try {
      sPath = sSessionId + kPathSeparator + sSubCompartmentId;
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::FindCompartmentId allocation failed"));
      hr = E_OUTOFMEMORY;
      return hr;
    }
    bool bExists = false;
    const HRESULT hrLookUp = LookUpCompartment(sPath, bExists);
    if (hrLookUp != E_NOTIMPL) {
      hr = hrLookUp;
      if (bExists) hr = found(sPath);
      return hr;
    }
  }

  CScopedSafeArray ids;
  hr = ListAllCompartmentIds(ids.Receive());
  if (FAILED(hr) || !ids.Get()) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::FindCompartmentId ListAllCompartmentIds failed"));
    return hr;
  }

  std::vector<secwstring> segments;
  secwstring sCompartmentId1;
  const ULONG cIds = ListLength(ids.Get());
  for (ULONG i = 0; i < cIds; ++i) {
    // Each path read sets the result, so the search ends with the result of
    // the last path it read.
    CScopedBSTR bstrCompartmentId;
    LONG lIndex = static_cast<LONG>(i);
    hr = SafeArrayGetElement(ids.Get(), &lIndex, bstrCompartmentId.Receive());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::FindCompartmentId SafeArrayGetElement failed"));
      continue;
    }
    secwstring sCompartmentId;
    hr = BSTR2wstring(bstrCompartmentId.Get(), sCompartmentId);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::FindCompartmentId BSTR2wstring failed"));
      continue;
    }
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("CAbstractTree::FindCompartmentId sCompartmentId = %s"),
             sCompartmentId.c_str());
    hr = SplitCompartmentPath(sCompartmentId, segments);
    if (FAILED(hr)) return hr;
    if (segments.size() < 2 || segments.front() != sSessionId) continue;
    hr = JoinCompartmentPath(segments, 1, segments.size(), sCompartmentId1);
    if (FAILED(hr)) return hr;
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("CAbstractTree::FindCompartmentId sCompartmentId1 = %s"),
             sCompartmentId1.c_str());
    if (sCompartmentId1 == sSubCompartmentId) {
      hr = found(sCompartmentId);
      if (FAILED(hr)) return hr;
      break;
    }
  }

  if (FAILED(ids.Reset())) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::FindCompartmentId zuSafeArrayDestroy failed"));
  }
  return hr;
}

HRESULT CAbstractTree::MoveCompartmentIds(const secwstring& sCompartmentId0,
                                          const secwstring& sCompartmentId1, bool bRemoveSource) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAbstractTree::MoveCompartmentIds"), hr);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CAbstractTree::MoveCompartmentIds sCompartmentId0 = %s sCompartmentId1 = %s"),
           sCompartmentId0.c_str(), sCompartmentId1.c_str());

  // A target at or below the source is refused before anything is copied:
  // below it, every copied level would create a new child to copy without
  // end; onto itself, a move that removes its source would only delete.
  if (IsPathOrBelow(sCompartmentId1, sCompartmentId0)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::MoveCompartmentIds sCompartmentId1 within sCompartmentId0"));
    hr = E_INVALIDARG;
    return hr;
  }

  CScopedSafeArray ids;
  MoveItems(sCompartmentId0, sCompartmentId1, ids);

  CScopedSafeArray children;
  const HRESULT hrList = ListCompartmentIds(sCompartmentId0, children.Receive(), 0);
  if (FAILED(hrList) || !children.Get()) {
    // A leaf of a memory tree has no child list; its move reports E_FAIL.
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::MoveCompartmentIds ListCompartmentIds failed"));
    hr = E_FAIL;
  } else {
    const ULONG cChildren = ListLength(children.Get());
    for (ULONG i = 0; i < cChildren; ++i) {
      CScopedBSTR bstrName;
      LONG lIndex = static_cast<LONG>(i);
      hr = SafeArrayGetElement(children.Get(), &lIndex, bstrName.Receive());
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::MoveCompartmentIds SafeArrayGetElement failed"));
        continue;
      }
      secwstring sName;
      hr = BSTR2wstring(bstrName.Get(), sName);
      if (FAILED(hr)) continue;
      secwstring sChild0;
      secwstring sChild1;
      try {
        sChild0 = sCompartmentId0 + kPathSeparator + sName;
        sChild1 = sCompartmentId1 + kPathSeparator + sName;
      } catch (const std::bad_alloc&) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::MoveCompartmentIds allocation failed"));
        hr = E_OUTOFMEMORY;
        return hr;
      }
      hr = MoveCompartmentIds(sChild0, sChild1, false);
      if (FAILED(hr)) {
        qvlogLog(gLogChannel, LOG_FAILURE,
                 OLESTR("CAbstractTree::MoveCompartmentIds MoveCompartmentIds failed"));
      }
    }
  }

  if (bRemoveSource) {
    hr = RemoveCompartment(sCompartmentId0, TRUE, 0);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::MoveCompartmentIds RemoveCompartment failed"));
    }
  }
  return hr;
}

// Copies the items of one compartment; nothing here decides the move's
// result. The list stays with the caller until the move ends.
void CAbstractTree::MoveItems(const secwstring& sCompartmentId0, const secwstring& sCompartmentId1,
                              CScopedSafeArray& ids) {
  const HRESULT hrList = ListDataIds(sCompartmentId0, ids.Receive(), 0);
  if (FAILED(hrList)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CAbstractTree::MoveCompartmentIds ListDataIds failed"));
    return;
  }
  const ULONG cIds = ListLength(ids.Get());
  for (ULONG i = 0; i < cIds; ++i) {
    CScopedBSTR bstrDataId;
    LONG lIndex = static_cast<LONG>(i);
    if (FAILED(SafeArrayGetElement(ids.Get(), &lIndex, bstrDataId.Receive()))) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::MoveCompartmentIds SafeArrayGetElement failed"));
      continue;
    }
    secwstring sDataId;
    if (FAILED(BSTR2wstring(bstrDataId.Get(), sDataId))) continue;
    CScopedSafeArray value;
    if (FAILED(GetData(sCompartmentId0, sDataId, value.Receive(), 0))) continue;
    if (FAILED(SetData(sCompartmentId1, sDataId, value.Get(), 0, FALSE))) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::MoveCompartmentIds SetData failed"));
    }
    if (FAILED(value.Reset())) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CAbstractTree::MoveCompartmentIds zuSafeArrayDestroy failed"));
    }
  }
}
