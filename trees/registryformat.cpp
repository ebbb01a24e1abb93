#include "trees/registryformat.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "support/qvlog.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"
#include "trees/treepath.h"

namespace {

constexpr BYTE kTagI1 = 0x0B;
constexpr BYTE kTagUI1 = 0xBA;
constexpr BYTE kTagRows = 0xBB;

// Access to an array's data for the life of the object.
class CArrayData {
 public:
  explicit CArrayData(SAFEARRAY* psa) noexcept : m_psa(psa) {
    m_hr = SafeArrayAccessData(psa, &m_pv);
  }
  ~CArrayData() {
    if (SUCCEEDED(m_hr)) SafeArrayUnaccessData(m_psa);
  }
  CArrayData(const CArrayData&) = delete;
  CArrayData& operator=(const CArrayData&) = delete;

  HRESULT Result() const noexcept { return m_hr; }
  BYTE* Bytes() const noexcept { return static_cast<BYTE*>(m_pv); }

 private:
  SAFEARRAY* m_psa;
  void* m_pv = nullptr;
  HRESULT m_hr;
};

HRESULT Allocate(CRegistryBytes& bytes, size_t cb) noexcept {
  try {
    bytes.assign(cb, 0);
    return S_OK;
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData allocation failed"));
    return E_OUTOFMEMORY;
  }
}

HRESULT AccessFailed(HRESULT hr) {
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData SafeArrayAccessData failed"));
  return FAILED(hr) ? E_FAIL : hr;
}

// One string, or none: REG_SZ.
HRESULT EncodeString(SAFEARRAY* psa, CRegistryBytes& bytes) {
  bytes.clear();
  if (psa->rgsabound[0].cElements == 0) return S_OK;
  LONG lIndex = psa->rgsabound[0].lLbound;
  CScopedBSTR elem;
  if (FAILED(SafeArrayGetElement(psa, &lIndex, elem.Receive()))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData SafeArrayGetElement failed"));
    return E_FAIL;
  }
  const UINT cb = SysStringByteLen(elem.Get());
  if (cb > kRegistryValueLimit) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData SysStringByteLen(pElem) > 1MB"));
    return E_INVALIDARG;
  }
  const HRESULT hr = Allocate(bytes, cb);
  if (SUCCEEDED(hr) && cb != 0) std::memcpy(bytes.data(), elem.Get(), cb);
  return hr;
}

// Two strings or more: REG_MULTI_SZ, sized in a first pass over the
// elements and filled in a second one.
HRESULT EncodeMultiString(SAFEARRAY* psa, CRegistryBytes& bytes, HRESULT& hrElements) {
  const ULONG cElements = psa->rgsabound[0].cElements;
  const LONG lLbound = psa->rgsabound[0].lLbound;
  ULONGLONG cbTotal = sizeof(WCHAR);
  for (ULONG i = 0; i < cElements; ++i) {
    LONG lIndex = lLbound + static_cast<LONG>(i);
    CScopedBSTR elem;
    // An element that cannot be read here is reported by the second pass.
    if (SUCCEEDED(SafeArrayGetElement(psa, &lIndex, elem.Receive()))) {
      cbTotal += SysStringByteLen(elem.Get()) + sizeof(WCHAR);
    }
  }
  if (cbTotal > kRegistryValueLimit) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData SysStringByteLen(pElem) > 1MB"));
    return E_INVALIDARG;
  }
  HRESULT hr = Allocate(bytes, static_cast<size_t>(cbTotal));
  if (FAILED(hr)) return hr;

  size_t cbUsed = 0;
  for (ULONG i = 0; i < cElements; ++i) {
    LONG lIndex = lLbound + static_cast<LONG>(i);
    CScopedBSTR elem;
    if (FAILED(SafeArrayGetElement(psa, &lIndex, elem.Receive()))) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::SetData SafeArrayGetElement failed"));
      hrElements = E_FAIL;
      continue;
    }
    const UINT cb = SysStringByteLen(elem.Get());
    // The string, its terminator and the final zero unit must fit.
    if (cbUsed + cb + 2 * sizeof(WCHAR) > bytes.size()) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData cbData size is invalid"));
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData cbData size is invalid!"));
      return E_FAIL;
    }
    if (cb != 0) std::memcpy(bytes.data() + cbUsed, elem.Get(), cb);
    cbUsed += cb + sizeof(WCHAR);
  }
  bytes.resize(cbUsed + sizeof(WCHAR));
  return S_OK;
}

HRESULT EncodeByteVector(SAFEARRAY* psa, BYTE bTag, CRegistryBytes& bytes) {
  const ULONGLONG cbData =
      static_cast<ULONGLONG>(SafeArrayGetElemsize(psa)) * psa->rgsabound[0].cElements;
  if (cbData + 2 > kRegistryValueLimit) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData nSize > 1MB"));
    return E_INVALIDARG;
  }
  CArrayData data(psa);
  if (FAILED(data.Result())) return AccessFailed(data.Result());
  const HRESULT hr = Allocate(bytes, static_cast<size_t>(cbData) + 2);
  if (FAILED(hr)) return hr;
  bytes[0] = bTag;
  bytes[1] = static_cast<BYTE>(cbData % 256);
  if (cbData != 0) std::memcpy(bytes.data() + 2, data.Bytes(), static_cast<size_t>(cbData));
  return S_OK;
}

// A byte matrix: one record per row, each the tag, the row's length byte
// and its content.
HRESULT EncodeRows(SAFEARRAY* psa, BYTE bTag, CRegistryBytes& bytes) {
  const ULONGLONG cRows = psa->rgsabound[0].cElements;
  const ULONGLONG cbRow = psa->rgsabound[1].cElements;
  // A matrix whose working form (a length byte and a row per row) would
  // hold 0 or 2 bytes is kept as the tag and a zero byte.
  const ULONGLONG cbWork = cRows + cRows * cbRow;
  if (cbWork == 0 || cbWork == 2) {
    HRESULT hr = Allocate(bytes, 2);
    if (SUCCEEDED(hr)) bytes[0] = bTag;
    return hr;
  }
  if (SafeArrayGetElemsize(psa) != 1) return E_FAIL;
  if (cbRow == 0) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData row of %d bytes has no room for its length"), 0);
    return E_INVALIDARG;
  }
  CArrayData data(psa);
  if (FAILED(data.Result())) return AccessFailed(data.Result());
  const BYTE* pRows = data.Bytes();

  ULONGLONG cbTotal = 0;
  for (ULONGLONG r = 0; r < cRows; ++r) {
    const BYTE n = pRows[r * cbRow];
    if (n >= cbRow) {
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("CRegistryTree::SetData row %d length byte %d does not fit its %d bytes"),
               static_cast<ULONG>(r), n, static_cast<ULONG>(cbRow));
      return E_INVALIDARG;
    }
    cbTotal += n + 2u;
  }
  if (cbTotal > kRegistryValueLimit) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::SetData nSize > 1MB"));
    return E_INVALIDARG;
  }
  const HRESULT hr = Allocate(bytes, static_cast<size_t>(cbTotal));
  if (FAILED(hr)) return hr;
  BYTE* pOut = bytes.data();
  for (ULONGLONG r = 0; r < cRows; ++r) {
    const BYTE* pRow = pRows + r * cbRow;
    *pOut++ = bTag;
    std::memcpy(pOut, pRow, pRow[0] + 1u);
    pOut += pRow[0] + 1u;
  }
  return S_OK;
}

HRESULT EncodeNumbers(SAFEARRAY* psa, CRegistryBytes& bytes) {
  const ULONGLONG cbData =
      static_cast<ULONGLONG>(SafeArrayGetElemsize(psa)) * psa->rgsabound[0].cElements;
  if (cbData > kRegistryValueLimit) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData dwElemSize*psaDataValue->rgsabound->cElements > 1MB"));
    return E_INVALIDARG;
  }
  CArrayData data(psa);
  if (FAILED(data.Result())) return AccessFailed(data.Result());
  const HRESULT hr = Allocate(bytes, static_cast<size_t>(cbData));
  if (SUCCEEDED(hr) && cbData != 0) {
    std::memcpy(bytes.data(), data.Bytes(), static_cast<size_t>(cbData));
  }
  return hr;
}

// A new vector of cElements elements of vt, lower bound 0.
HRESULT NewVector(VARTYPE vt, ULONG cElements, CScopedSafeArray& result) {
  result.Reset(SafeArrayCreateVector(vt, 0, cElements));
  if (result.Get() != nullptr) return S_OK;
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayCreateVector failed"));
  return E_OUTOFMEMORY;
}

HRESULT CopyInto(SAFEARRAY* psa, const BYTE* pData, size_t cb) {
  if (cb == 0) return S_OK;
  CArrayData data(psa);
  if (FAILED(data.Result())) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayAccessData failed"));
    return data.Result();
  }
  std::memcpy(data.Bytes(), pData, cb);
  return S_OK;
}

HRESULT PutString(SAFEARRAY* psa, LONG lIndex, const OLECHAR* pch, UINT cch) {
  CScopedBSTR bstr(SysAllocStringLen(pch, cch));
  if (bstr.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SysAllocStringLen failed"));
    return E_OUTOFMEMORY;
  }
  const HRESULT hr = SafeArrayPutElement(psa, &lIndex, bstr.Get());
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayPutElement failed"));
  }
  return hr;
}

HRESULT DecodeString(const BYTE* pData, DWORD cbData, CScopedSafeArray& result) {
  HRESULT hr = NewVector(VT_BSTR, 1, result);
  if (FAILED(hr)) return hr;
  CScopedBSTR bstr(SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pData), cbData));
  if (bstr.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::GetData SysAllocStringByteLen failed"));
    return E_OUTOFMEMORY;
  }
  LONG lIndex = 0;
  hr = SafeArrayPutElement(result.Get(), &lIndex, bstr.Get());
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayPutElement failed"));
  }
  return hr;
}

// Strings split at each zero unit; a zero unit right after a terminator
// ends the list, and text after the last terminator is the last string.
HRESULT DecodeMultiString(const BYTE* pData, DWORD cbData, CScopedSafeArray& result) {
  struct SPiece {
    size_t start;
    size_t length;
  };
  std::vector<OLECHAR, ZU::Framework::secallocator<OLECHAR>> units;
  std::vector<SPiece> pieces;
  try {
    units.resize(cbData / sizeof(OLECHAR));
    if (!units.empty()) std::memcpy(units.data(), pData, units.size() * sizeof(OLECHAR));
    size_t start = 0;
    bool bAfterTerminator = false;
    bool bEnded = false;
    for (size_t i = 0; i < units.size() && !bEnded; ++i) {
      if (units[i] != 0) {
        bAfterTerminator = false;
      } else if (bAfterTerminator) {
        bEnded = true;
      } else {
        pieces.push_back({start, i - start});
        start = i + 1;
        bAfterTerminator = true;
      }
    }
    if (!bEnded && start < units.size()) pieces.push_back({start, units.size() - start});
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData allocation failed"));
    return E_OUTOFMEMORY;
  }
  HRESULT hr = NewVector(VT_BSTR, static_cast<ULONG>(pieces.size()), result);
  for (size_t i = 0; SUCCEEDED(hr) && i < pieces.size(); ++i) {
    hr = PutString(result.Get(), static_cast<LONG>(i), units.data() + pieces[i].start,
                   static_cast<UINT>(pieces[i].length));
  }
  return hr;
}

// Row records back into a matrix with rows one byte longer than the longest
// content. An incomplete record at the end is not a row.
HRESULT DecodeRows(const BYTE* pData, DWORD cbData, CScopedSafeArray& result) {
  ULONG cRows = 0;
  ULONG nMax = 1;
  if (cbData != 2) {
    for (size_t off = 0; off + 2 <= cbData && off + 2 + pData[off + 1] <= cbData;
         off += 2 + pData[off + 1]) {
      ++cRows;
      nMax = std::max<ULONG>(nMax, pData[off + 1]);
    }
  }
  SAFEARRAYBOUND bounds[2] = {{nMax + 1, 0}, {cRows, 0}};
  result.Reset(SafeArrayCreate(VT_UI1, 2, bounds));
  if (result.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayCreate failed"));
    return E_OUTOFMEMORY;
  }
  if (cRows == 0) return S_OK;
  CArrayData data(result.Get());
  if (FAILED(data.Result())) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("CRegistryTree::GetData SafeArrayAccessData failed"));
    return data.Result();
  }
  BYTE* pRows = data.Bytes();
  std::memset(pRows, 0, static_cast<size_t>(cRows) * (nMax + 1));
  size_t off = 0;
  for (ULONG r = 0; r < cRows; ++r) {
    const BYTE n = pData[off + 1];
    std::memcpy(pRows + static_cast<size_t>(r) * (nMax + 1), pData + off + 1, n + 1u);
    off += 2u + n;
  }
  return S_OK;
}

}  // namespace

HRESULT GetRegistryTypeFromSafeArrayType(VARTYPE vt, DWORD& dwRegistryType) {
  switch (vt) {
    case VT_BSTR:
      // One string or none; the encoder chooses REG_MULTI_SZ for more.
      dwRegistryType = REG_SZ;
      return S_OK;
    case VT_I1:
    case VT_UI1:
      dwRegistryType = REG_BINARY;
      return S_OK;
    case VT_INT:
    case VT_UINT:
      dwRegistryType = REG_DWORD;
      return S_OK;
    case VT_I8:
    case VT_UI8:
      dwRegistryType = REG_QWORD;
      return S_OK;
    case VT_UNKNOWN:
      dwRegistryType = REG_NONE;
      return S_OK;
    default:
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("GetRegistryTypeFromSafeArrayType unsupported vt"));
      return E_FAIL;
  }
}

HRESULT GetSafeArrayTypeFromRegistryType(DWORD dwRegistryType, VARTYPE& vt) {
  switch (dwRegistryType) {
    case REG_SZ:
    case REG_MULTI_SZ:
      vt = VT_BSTR;
      return S_OK;
    case REG_BINARY:
      vt = VT_UI1;
      return S_OK;
    case REG_DWORD:
      vt = VT_UINT;
      return S_OK;
    case REG_QWORD:
      vt = VT_UI8;
      return S_OK;
    case REG_NONE:
      vt = VT_UNKNOWN;
      return S_OK;
    default:
      qvlogLog(gLogChannel, LOG_FAILURE,
               OLESTR("GetSafeArrayTypeFromRegistryType unsupported dwRegistryType"));
      return E_FAIL;
  }
}

HRESULT EncodeRegistryValue(SAFEARRAY* psa, VARTYPE vt, DWORD& dwRegistryType,
                            CRegistryBytes& bytes, HRESULT& hrElements) {
  hrElements = S_OK;
  const UINT cDims = SafeArrayGetDim(psa);
  const bool bBytes = dwRegistryType == REG_BINARY;
  if (cDims == 0 || cDims > 2 || (cDims == 2 && !bBytes)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::SetData %d dimensions of vt %d cannot be stored"), cDims, vt);
    return E_INVALIDARG;
  }
  switch (dwRegistryType) {
    case REG_SZ:
      if (psa->rgsabound[0].cElements < 2) return EncodeString(psa, bytes);
      dwRegistryType = REG_MULTI_SZ;
      return EncodeMultiString(psa, bytes, hrElements);
    case REG_BINARY:
      if (cDims == 1) return EncodeByteVector(psa, vt == VT_I1 ? kTagI1 : kTagUI1, bytes);
      return EncodeRows(psa, vt == VT_UI1 ? kTagRows : kTagI1, bytes);
    default:
      return EncodeNumbers(psa, bytes);
  }
}

HRESULT DecodeRegistryValue(DWORD dwType, const BYTE* pData, DWORD cbData, SAFEARRAY** ppsa) {
  *ppsa = nullptr;
  VARTYPE vt = VT_EMPTY;
  HRESULT hr = GetSafeArrayTypeFromRegistryType(dwType, vt);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE,
             OLESTR("CRegistryTree::GetData GetSafeArrayTypeFromRegistryType failed"));
    return hr;
  }
  CScopedSafeArray result;
  if (cbData == 0 || dwType == REG_NONE) {
    hr = NewVector(vt, 0, result);
  } else if (dwType == REG_SZ) {
    hr = DecodeString(pData, cbData, result);
  } else if (dwType == REG_MULTI_SZ) {
    hr = DecodeMultiString(pData, cbData, result);
  } else if (dwType == REG_BINARY) {
    const DWORD cbVector = cbData > 2 ? cbData - 2 : 0;
    switch (pData[0]) {
      case kTagI1:
      case kTagUI1:
        hr = NewVector(pData[0] == kTagI1 ? VT_I1 : VT_UI1, cbVector, result);
        if (SUCCEEDED(hr)) hr = CopyInto(result.Get(), pData + 2, cbVector);
        break;
      case kTagRows:
        hr = DecodeRows(pData, cbData, result);
        break;
      default:
        // No array, and no failure either: the value is not one of ours.
        return S_OK;
    }
  } else {
    const ULONG cbElement = dwType == REG_DWORD ? 4 : 8;
    const ULONG cElements = cbData / cbElement;
    hr = NewVector(vt, cElements, result);
    if (SUCCEEDED(hr)) hr = CopyInto(result.Get(), pData, size_t{cElements} * cbElement);
  }
  if (SUCCEEDED(hr)) *ppsa = result.Release();
  return hr;
}

bool HoldsKeyBreak(const secwstring& s) noexcept {
  return std::any_of(s.begin(), s.end(),
                     [](OLECHAR ch) { return ch == OLESTR("\\")[0] || ch == 0; });
}

bool IsKeyablePath(const secwstring& sPath) noexcept {
  if (sPath.empty() || sPath.front() == kPathSeparator || sPath.back() == kPathSeparator) {
    return false;
  }
  for (size_t i = 1; i < sPath.size(); ++i) {
    if (sPath[i] == kPathSeparator && sPath[i - 1] == kPathSeparator) return false;
  }
  return !HoldsKeyBreak(sPath);
}
