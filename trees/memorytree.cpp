#include "trees/memorytree.h"

#include <algorithm>
#include <climits>
#include <new>
#include <utility>

#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/scopedbstr.h"
#include "trees/history.h"
#include "trees/treepath.h"

CMemoryTree::CMemoryTree(const secwstring& sTreeId) : m_sTreeId(sTreeId) {
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::CMemoryTree"));
}

CMemoryTree::~CMemoryTree() {
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::~CMemoryTree"));
  m_topLevelPaths.clear();
  m_childPaths.clear();
  m_cFullPathNodeList.clear();
}

HRESULT CMemoryTree::GetTreeId(secwstring& sTreeId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::GetTreeId"), hr);
  try {
    sTreeId = m_sTreeId;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::GetTreeId allocation failed"));
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

CMemoryTree::PathMap::iterator CMemoryTree::InsertPath(const secwstring& sPath) {
  const auto it = m_cFullPathNodeList.emplace(sPath, std::make_unique<CNode>()).first;
  try {
    const PathView key(it->first);
    const size_t pos = key.rfind(kPathSeparator);
    if (pos == PathView::npos) {
      m_topLevelPaths.insert(key);
    } else {
      m_childPaths.emplace(key.substr(0, pos), key.substr(pos + 1));
    }
  } catch (const std::bad_alloc&) {
    // Only one of the two inserts can have failed, so neither index holds
    // the key: the entry goes without unindexing.
    m_cFullPathNodeList.erase(it);
    throw;
  }
  return it;
}

void CMemoryTree::ErasePath(PathMap::iterator it) noexcept {
  const PathView key(it->first);
  const size_t pos = key.rfind(kPathSeparator);
  if (pos == PathView::npos) {
    m_topLevelPaths.erase(key);
  } else {
    m_childPaths.erase(std::make_pair(key.substr(0, pos), key.substr(pos + 1)));
  }
  m_cFullPathNodeList.erase(it);
}

HRESULT CMemoryTree::EnsurePath(const secwstring& sCompartmentId, CNode*& pNode) {
  // An existing path has all its ancestors already.
  const auto found = m_cFullPathNodeList.find(sCompartmentId);
  if (found != m_cFullPathNodeList.end()) {
    pNode = found->second.get();
    return S_OK;
  }

  std::vector<secwstring> prefixes;
  HRESULT hr = ListPathPrefixes(sCompartmentId, prefixes);
  if (FAILED(hr)) return hr;
  // The entries made here, by iterator: once reserved, recording one cannot
  // fail, so no entry made is missed when undoing.
  std::vector<PathMap::iterator> created;
  try {
    created.reserve(prefixes.size());
    for (const secwstring& sPrefix : prefixes) {
      auto it = m_cFullPathNodeList.find(sPrefix);
      if (it == m_cFullPathNodeList.end()) {
        it = InsertPath(sPrefix);
        created.push_back(it);
      }
      pNode = it->second.get();
    }
  } catch (const std::bad_alloc&) {
    // Nothing half made stays behind: the ancestors created here go again.
    for (const auto it : created) ErasePath(it);
    pNode = nullptr;
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::EnsurePath allocation failed"));
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT CMemoryTree::SetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                             SAFEARRAY* psaDataValue, DWORD, BOOL) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::SetData"), hr, kLogDetailLevels);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::SetData sCompartmentId = %s sDataId = %s"),
           sCompartmentId.c_str(), sDataId.c_str());
  CNode* pNode = nullptr;
  hr = EnsurePath(sCompartmentId, pNode);
  if (SUCCEEDED(hr)) {
    if (pNode == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::SetData pNode == NULL"));
      hr = E_FAIL;
    } else {
      hr = pNode->AddDataItem(sDataId, psaDataValue);
    }
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::SetData sCompartmentId = %s sDataId = %s hr = 0x%x"),
           sCompartmentId.c_str(), sDataId.c_str(), hr);
  return hr;
}

HRESULT CMemoryTree::GetData(const secwstring& sCompartmentId, const secwstring& sDataId,
                             SAFEARRAY** ppsaDataValue, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::GetData"), hr, kLogDetailLevels);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::GetData sCompartmentId = %s sDataId = %s"),
           sCompartmentId.c_str(), sDataId.c_str());
  const auto it = m_cFullPathNodeList.find(sCompartmentId);
  if (it == m_cFullPathNodeList.end()) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::GetData sCompartmentId not found"));
    hr = E_INVALIDARG;
  } else if (!it->second) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::GetData pNode == NULL"));
    hr = E_FAIL;
  } else {
    hr = it->second->GetDataItem(sDataId, ppsaDataValue);
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::GetData sCompartmentId = %s sDataId = %s hr = 0x%x"),
           sCompartmentId.c_str(), sDataId.c_str(), hr);
  return hr;
}

HRESULT CMemoryTree::RemoveData(const secwstring& sCompartmentId, const secwstring& sDataId,
                                DWORD dwClientProcessId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::RemoveData"), hr, kLogDetailLevels);
  const auto it = m_cFullPathNodeList.find(sCompartmentId);
  if (it == m_cFullPathNodeList.end()) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::RemoveData sCompartmentId not found"));
    hr = E_INVALIDARG;
  } else if (!it->second) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::RemoveData pNode == NULL"));
    hr = E_FAIL;
  } else {
    hr = it->second->RemoveDataItem(sDataId);
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::RemoveData sCompartmentId = %s sDataId = %s dwClientProcessId = "
                  "%d hr = 0x%x"),
           sCompartmentId.c_str(), sDataId.c_str(), dwClientProcessId, hr);
  return hr;
}

HRESULT CMemoryTree::CreateCompartment(const secwstring& sCompartmentId, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::CreateCompartment"), hr, kLogDetailLevels);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::CreateCompartment sCompartmentId = %s"),
           sCompartmentId.c_str());
  CNode* pNode = nullptr;
  hr = EnsurePath(sCompartmentId, pNode);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::CreateCompartment sCompartmentId = %s hr = 0x%x"),
           sCompartmentId.c_str(), hr);
  return hr;
}

HRESULT CMemoryTree::RemoveCompartment(const secwstring& sCompartmentId, BOOL, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::RemoveCompartment"), hr);
  if (m_cFullPathNodeList.empty()) {
    qvlogLog(gLogChannel, LOG_DETAIL,
             OLESTR("CMemoryTree::RemoveCompartment m_cFullPathNodeList.size() == 0"));
    hr = E_INVALIDARG;
    return hr;
  }

  // The keys to remove, in key order, taken before anything is erased. They
  // all lie between the path and the path followed by "0" (the code unit
  // after "/"), so only that range is walked; keys in it that merely share
  // the text ("7/A!" for "7/A") are skipped.
  std::vector<secwstring> removed;
  try {
    const secwstring sEnd = sCompartmentId + OLESTR("0")[0];
    for (auto it = m_cFullPathNodeList.lower_bound(sCompartmentId);
         it != m_cFullPathNodeList.end() && it->first < sEnd; ++it) {
      if (IsPathOrBelow(it->first, sCompartmentId)) removed.push_back(it->first);
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::RemoveCompartment allocation failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }

  const bool bHistoryTree = IsHistoryTree(this);
  secwstring sHistoryKey;
  for (const secwstring& sKey : removed) {
    ErasePath(m_cFullPathNodeList.find(sKey));
    if (bHistoryTree || sKey == sCompartmentId) continue;
    // Holders of a descendant notice its removal through its counters. The
    // key is the tree identifier, "/" and the removed path, always.
    try {
      sHistoryKey = m_sTreeId + kPathSeparator + sKey;
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::RemoveCompartment allocation failed"));
      hr = E_OUTOFMEMORY;
      continue;
    }
    const HRESULT hrCompartment = UpdateVersion(sHistoryKey, 0);
    if (FAILED(hrCompartment)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CMemoryTree::RemoveCompartment UpdateVersion failed hr = 0x%x"),
               hrCompartment);
    }
    hr = UpdateVersion(sHistoryKey, 1);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_NOTABLE,
               OLESTR("CMemoryTree::RemoveCompartment UpdateVersion failed hr = 0x%x"), hr);
    }
  }
  return hr;
}

HRESULT CMemoryTree::FlushTree(DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::FlushTree"), hr);
  m_topLevelPaths.clear();
  m_childPaths.clear();
  m_cFullPathNodeList.clear();
  return hr;
}

HRESULT CMemoryTree::IsDataCached(const secwstring& sCompartmentId, const secwstring& sDataId,
                                  BOOL* pbCached, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::IsDataCached"), hr);
  if (pbCached == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::IsDataCached pbCached == NULL"));
    hr = E_FAIL;
    return hr;
  }
  BOOL bCached = FALSE;
  const auto it = m_cFullPathNodeList.find(sCompartmentId);
  if (it != m_cFullPathNodeList.end() && it->second) {
    std::vector<secwstring> dataIds;
    hr = it->second->ListDataItems(dataIds);
    if (FAILED(hr)) return hr;
    bCached = std::find(dataIds.begin(), dataIds.end(), sDataId) != dataIds.end() ? TRUE : FALSE;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CMemoryTree::IsDataCached bCached = %d"), bCached);
  *pbCached = bCached;
  return hr;
}

HRESULT CMemoryTree::ListDataIds(const secwstring& sCompartmentId, SAFEARRAY** ppsaDataIdList,
                                 DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::ListDataIds"), hr);
  if (ppsaDataIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds ppsaDataIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  // The first key, in order, that is the path or lies below it: the path
  // itself when it is a key (it orders before everything below it), else
  // the first key from path + "/" on, when it still lies below the path.
  auto chosen = m_cFullPathNodeList.find(sCompartmentId);
  if (chosen == m_cFullPathNodeList.end()) {
    try {
      chosen = m_cFullPathNodeList.lower_bound(sCompartmentId + kPathSeparator);
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds allocation failed"));
      hr = E_OUTOFMEMORY;
      return hr;
    }
    if (chosen != m_cFullPathNodeList.end() && !IsPathOrBelow(chosen->first, sCompartmentId)) {
      chosen = m_cFullPathNodeList.end();
    }
  }
  if (chosen == m_cFullPathNodeList.end()) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds no data ids found"));
    hr = E_FAIL;
    return hr;
  }
  CNode* pNode = chosen->second.get();
  if (pNode == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds pNode == NULL"));
    hr = E_FAIL;
    return hr;
  }

  std::vector<secwstring> dataIds;
  hr = pNode->ListDataItems(dataIds);
  if (FAILED(hr)) return hr;
  SAFEARRAY* psaList = dataIds.size() <= ULONG_MAX
                           ? SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(dataIds.size()))
                           : nullptr;
  if (psaList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::ListDataIds SafeArrayCreateVector failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  *ppsaDataIdList = psaList;
  for (size_t i = 0; i < dataIds.size(); ++i) {
    CScopedBSTR bstrDataId;
    hr = wstring2BSTR(dataIds[i], *bstrDataId.Receive());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListDataIds wstring2BSTR failed"));
      continue;
    }
    LONG lIndex = static_cast<LONG>(i);
    hr = SafeArrayPutElement(psaList, &lIndex, bstrDataId.Get());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::ListDataIds SafeArrayPutElement failed"));
    }
  }
  return hr;
}

HRESULT CMemoryTree::ListCompartmentIds(const secwstring& sCompartmentId,
                                        SAFEARRAY** ppsCompartmentIdList, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::ListCompartmentIds"), hr);
  if (ppsCompartmentIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::ListCompartmentIds ppsCompartmentIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_DETAIL,
           OLESTR("CMemoryTree::ListCompartmentIds sFullPathNodeList.size() = %d"),
           static_cast<int>(m_cFullPathNodeList.size()));

  // The names to list, in key order: the top-level keys themselves for "/",
  // else the last segments of the keys filed under the path as parent.
  const bool bRoot = sCompartmentId == kRootPath;
  std::vector<PathView> names;
  try {
    if (bRoot) {
      names.assign(m_topLevelPaths.begin(), m_topLevelPaths.end());
    } else {
      const PathView parent(sCompartmentId);
      for (auto it = m_childPaths.lower_bound(std::make_pair(parent, PathView()));
           it != m_childPaths.end() && it->first == parent; ++it) {
        names.push_back(it->second);
      }
    }
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::ListCompartmentIds allocation failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::ListCompartmentIds ulNbCompartmentFound = %d"),
           static_cast<int>(names.size()));
  if (names.empty()) return hr;

  SAFEARRAY* psaList = names.size() <= ULONG_MAX
                           ? SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(names.size()))
                           : nullptr;
  if (psaList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::ListCompartmentIds SafeArrayCreateVector failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  *ppsCompartmentIdList = psaList;
  LONG lIndex = 0;
  for (const PathView name : names) {
    CScopedBSTR bstrElem;
    try {
      hr = wstring2BSTR(secwstring(name.data(), name.size()), *bstrElem.Receive());
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::ListCompartmentIds wstring2BSTR failed"));
      return hr;
    }
    if (bRoot) {
      qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CMemoryTree::ListCompartmentIds sElem = %s"),
               bstrElem.Get());
    }
    hr = SafeArrayPutElement(psaList, &lIndex, bstrElem.Get());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::ListCompartmentIds SafeArrayPutElement failed"));
      return hr;
    }
    ++lIndex;
  }
  return hr;
}

const CNode* CMemoryTree::PeekNode(const secwstring& sPath) const noexcept {
  const auto it = m_cFullPathNodeList.find(sPath);
  return it != m_cFullPathNodeList.end() ? it->second.get() : nullptr;
}

HRESULT CMemoryTree::LookUpCompartment(const secwstring& sPath, bool& bFound) {
  bFound = false;
  // The empty path sorts first.
  if (!m_cFullPathNodeList.empty() && m_cFullPathNodeList.begin()->first.empty()) {
    return E_NOTIMPL;
  }
  bFound = m_cFullPathNodeList.contains(sPath);
  return S_OK;
}

HRESULT CMemoryTree::ListAllCompartmentIds(SAFEARRAY** ppsAllCompartmentIdList) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::ListAllCompartmentIds"), hr);
  if (ppsAllCompartmentIdList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::ListAllCompartmentIds ppsAllCompartmentIdList == NULL"));
    hr = E_FAIL;
    return hr;
  }
  const size_t cPaths = m_cFullPathNodeList.size();
  SAFEARRAY* psaList =
      cPaths <= ULONG_MAX ? SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(cPaths)) : nullptr;
  if (psaList == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::ListAllCompartmentIds SafeArrayCreateVector failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  *ppsAllCompartmentIdList = psaList;
  LONG lIndex = 0;
  for (const auto& entry : m_cFullPathNodeList) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::ListAllCompartmentIds str = %s"),
             entry.first.c_str());
    CScopedBSTR bstrElem;
    hr = wstring2BSTR(entry.first, *bstrElem.Receive());
    if (FAILED(hr)) {
      // A string that cannot be allocated ends the listing like a failed put.
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::ListAllCompartmentIds wstring2BSTR failed"));
      return hr;
    }
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CMemoryTree::ListAllCompartmentIds sElem = %s"),
             bstrElem.Get());
    hr = SafeArrayPutElement(psaList, &lIndex, bstrElem.Get());
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CMemoryTree::ListAllCompartmentIds SafeArrayPutElement failed"));
      return hr;
    }
    ++lIndex;
  }
  return hr;
}

HRESULT CMemoryTree::IsCompartmentCached(const secwstring& sCompartmentId,
                                         ULONG* pulCompartmentVersion, ULONG* pulContentVersion,
                                         BOOL* pbCached, DWORD) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CMemoryTree::IsCompartmentCached"), hr);
  if (pbCached == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CMemoryTree::IsCompartmentCached pbCached == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (pulCompartmentVersion == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::IsCompartmentCached pulCompartmentVersion == NULL"));
    hr = E_FAIL;
    return hr;
  }
  if (pulContentVersion == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::IsCompartmentCached pulContentVersion == NULL"));
    hr = E_FAIL;
    return hr;
  }

  const BOOL bCached = m_cFullPathNodeList.find(sCompartmentId) != m_cFullPathNodeList.end();
  secwstring sHistoryKey;
  if (IsHistoryTree(this)) {
    try {
      sHistoryKey = sCompartmentId;
    } catch (const std::bad_alloc&) {
      hr = E_OUTOFMEMORY;
    }
  } else {
    hr = MakeHistoryKey(m_sTreeId, sCompartmentId, sHistoryKey);
  }
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::IsCompartmentCached allocation failed"));
    return hr;
  }

  ULONG ulCompartmentVersion = 0;
  ULONG ulContentVersion = 0;
  hr = ReadVersions(sHistoryKey, &ulCompartmentVersion, &ulContentVersion);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CMemoryTree::IsCompartmentCached GetVersion failed hr = %x"), hr);
    return hr;
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CMemoryTree::IsCompartmentCached bCached = %d"),
           bCached);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::IsCompartmentCached ulCompartmentVersion = %d"),
           ulCompartmentVersion);
  qvlogLog(gLogChannel, LOG_NOTABLE,
           OLESTR("CMemoryTree::IsCompartmentCached ulContentVersion = %d"), ulContentVersion);
  *pbCached = bCached;
  *pulCompartmentVersion = ulCompartmentVersion;
  *pulContentVersion = ulContentVersion;
  return hr;
}
