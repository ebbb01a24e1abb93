#include "trees/treepath.h"

#include <new>

#include "support/qvlog.h"

HRESULT SplitCompartmentPath(const secwstring& sPath, std::vector<secwstring>& segments) {
  segments.clear();
  try {
    size_t begin = 0;
    for (;;) {
      const size_t end = sPath.find(kPathSeparator, begin);
      if (end == secwstring::npos) {
        segments.push_back(sPath.substr(begin));
        return S_OK;
      }
      segments.push_back(sPath.substr(begin, end - begin));
      begin = end + 1;
    }
  } catch (const std::bad_alloc&) {
    segments.clear();
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("SplitCompartmentPath allocation failed"));
    return E_OUTOFMEMORY;
  }
}

HRESULT JoinCompartmentPath(const std::vector<secwstring>& segments, size_t first, size_t last,
                            secwstring& sPath) {
  if (first > last || last > segments.size()) return E_INVALIDARG;
  try {
    size_t cch = 0;
    for (size_t i = first; i < last; ++i) cch += segments[i].size() + 1;
    secwstring sJoined;
    sJoined.reserve(cch);
    for (size_t i = first; i < last; ++i) {
      if (i != first) sJoined.push_back(kPathSeparator);
      sJoined.append(segments[i]);
    }
    sPath.swap(sJoined);
    return S_OK;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("JoinCompartmentPath allocation failed"));
    return E_OUTOFMEMORY;
  }
}

HRESULT ListPathPrefixes(const secwstring& sPath, std::vector<secwstring>& prefixes) {
  prefixes.clear();
  try {
    // Joining segments 1..k reproduces the path up to its k-th "/", so each
    // prefix is cut from the path directly.
    size_t pos = 0;
    for (;;) {
      const size_t end = sPath.find(kPathSeparator, pos);
      if (end == secwstring::npos) {
        prefixes.push_back(sPath);
        return S_OK;
      }
      prefixes.push_back(sPath.substr(0, end));
      pos = end + 1;
    }
  } catch (const std::bad_alloc&) {
    prefixes.clear();
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("ListPathPrefixes allocation failed"));
    return E_OUTOFMEMORY;
  }
}

bool IsPathOrBelow(const secwstring& sKey, const secwstring& sPath) noexcept {
  if (sKey.size() < sPath.size()) return false;
  if (sKey.compare(0, sPath.size(), sPath) != 0) return false;
  return sKey.size() == sPath.size() || sKey[sPath.size()] == kPathSeparator;
}

HRESULT MakeHistoryKey(const secwstring& sTreeId, const secwstring& sCompartmentId,
                       secwstring& sHistoryKey) {
  try {
    if (sCompartmentId == kRootPath) {
      sHistoryKey = sTreeId;
    } else {
      // One allocation: the key is built on every version read.
      secwstring sKey;
      sKey.reserve(sTreeId.size() + 1 + sCompartmentId.size());
      sKey.append(sTreeId).append(1, kPathSeparator).append(sCompartmentId);
      sHistoryKey.swap(sKey);
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("MakeHistoryKey allocation failed"));
    return E_OUTOFMEMORY;
  }
}
