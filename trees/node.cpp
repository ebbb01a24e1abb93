#include "trees/node.h"

#include <new>

#include "support/logscope.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"

CNode::CNode() { qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CNode::CNode")); }

CNode::~CNode() {
  for (auto& item : m_mapDataItems) {
    const HRESULT hr = zuSafeArrayDestroy(item.second, ZU_RELEASE_TEMPORARY);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CNode::~CNode zuSafeArrayDestroy hr = 0x%x"), hr);
      break;
    }
  }
}

HRESULT CNode::AddDataItem(const secwstring& sDataId, SAFEARRAY* psaDataValue) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CNode::AddDataItem"), hr, kLogDetailLevels);
  const HRESULT hrRemove = RemoveDataItem(sDataId);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CNode::AddDataItem RemoveDataItem hr = 0x%x"),
           hrRemove);
  CScopedSafeArray copy;
  hr = SafeArrayCopy(psaDataValue, copy.Receive());
  if (SUCCEEDED(hr)) {
    try {
      m_mapDataItems.emplace(sDataId, copy.Get());
      copy.Release();
    } catch (const std::bad_alloc&) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CNode::AddDataItem allocation failed"));
      hr = E_OUTOFMEMORY;
    }
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CNode::AddDataItem sDataId = %s, hr = 0x%x"),
           sDataId.c_str(), hr);
  return hr;
}

HRESULT CNode::GetDataItem(const secwstring& sDataId, SAFEARRAY** ppsaDataValue) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CNode::GetDataItem"), hr, kLogDetailLevels);
  const auto it = m_mapDataItems.find(sDataId);
  if (it == m_mapDataItems.end()) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CNode::GetDataItem sDataId not found"));
    hr = E_INVALIDARG;
  } else {
    hr = SafeArrayCopy(it->second, ppsaDataValue);
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CNode::GetDataItem sDataId = %s, hr = 0x%x"),
           sDataId.c_str(), hr);
  return hr;
}

HRESULT CNode::RemoveDataItem(const secwstring& sDataId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CNode::RemoveDataItem"), hr, kLogDetailLevels);
  const auto it = m_mapDataItems.find(sDataId);
  if (it == m_mapDataItems.end()) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CNode::RemoveDataItem sDataId not found"));
    hr = E_INVALIDARG;
  } else {
    hr = zuSafeArrayDestroy(it->second, ZU_RELEASE_TEMPORARY);
    m_mapDataItems.erase(it);
  }
  qvlogLog(gLogChannel, LOG_NOTABLE, OLESTR("CNode::RemoveDataItem sDataId = %s, hr = 0x%x"),
           sDataId.c_str(), hr);
  return hr;
}

HRESULT CNode::ListDataItems(std::vector<secwstring>& dataIds) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CNode::ListDataItems"), hr);
  try {
    dataIds.reserve(dataIds.size() + m_mapDataItems.size());
    for (const auto& item : m_mapDataItems) dataIds.push_back(item.first);
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CNode::ListDataItems allocation failed"));
    hr = E_OUTOFMEMORY;
  }
  return hr;
}

bool CNode::PeekDataItem(const secwstring& sDataId, SAFEARRAY*& psa) const noexcept {
  // A node of the version history holds its two counters only; for so few
  // items, equality (lengths first) is cheaper than the ordered search,
  // which compares a matching name in full more than once.
  if (m_mapDataItems.size() <= 2) {
    for (const auto& item : m_mapDataItems) {
      if (item.first == sDataId) {
        psa = item.second;
        return true;
      }
    }
    return false;
  }
  const auto it = m_mapDataItems.find(sDataId);
  if (it == m_mapDataItems.end()) return false;
  psa = it->second;
  return true;
}
