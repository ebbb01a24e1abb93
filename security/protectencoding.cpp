#include "security/protectencoding.h"

#include <climits>
#include <cstring>
#include <limits>
#include <new>

#include "support/logscope.h"
#include "support/scopedsafearray.h"
#include "support/zuwinext.h"

namespace {

// The fixed entropy table. Generated once from a random source; changing
// it makes every value protected so far unreadable, so it never changes.
constexpr BYTE kEntropyTable[CProtectEntropy::kBytes] = {
    0x45, 0x14, 0x91, 0x40, 0xF1, 0xD2, 0x2E, 0xEC, 0xD6, 0xBD, 0x1D, 0x47, 0x41, 0xCA, 0xA3, 0x17};

constexpr OLECHAR kMatrixPrefix[] = OLESTR("UI1_MULTI");
constexpr size_t kMatrixPrefixUnits = 9;
static_assert(sizeof kMatrixPrefix / sizeof kMatrixPrefix[0] == kMatrixPrefixUnits + 1);

bool SameText(LPCWSTR a, const OLECHAR* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

// The vectors that a description other than "BSTR" and the matrix restores.
struct SVectorType {
  const OLECHAR* pszDescr;
  VARTYPE vt;
  DWORD cbElement;
};
constexpr SVectorType kVectorTypes[] = {
    {OLESTR("INT"), VT_INT, 4}, {OLESTR("I8"), VT_I8, 8},   {OLESTR("UINT"), VT_UINT, 4},
    {OLESTR("UI8"), VT_UI8, 8}, {OLESTR("UI1"), VT_UI1, 1},
};
constexpr SVectorType kSignedBytes{OLESTR("I1"), VT_I1, 1};

void WipeAndFreeString(BSTR bstr) noexcept {
  if (bstr == nullptr) return;
  ZU::Framework::SecureZero(bstr, SysStringByteLen(bstr));
  SysFreeString(bstr);
}

bool IsBlank(OLECHAR c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// One "%d" of the matrix pattern: blanks, an optional sign, decimal digits.
// A number outside the range of a LONG is not read.
bool ReadCount(LPCWSTR& p, LONG* plValue) {
  while (IsBlank(*p)) ++p;
  bool bNegative = false;
  if (*p == '+' || *p == '-') bNegative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > int64_t{INT32_MAX} + 1) return false;
  }
  if (bNegative) value = -value;
  if (value > INT32_MAX) return false;
  *plValue = static_cast<LONG>(value);
  return true;
}

// Reads "UI1_MULTI %d %d".
bool ReadMatrixCounts(LPCWSTR pszDescr, LONG* plFirst, LONG* plSecond) {
  LPCWSTR p = pszDescr + kMatrixPrefixUnits;
  return ReadCount(p, plFirst) && ReadCount(p, plSecond);
}

void AppendDecimal(OLECHAR*& p, ULONG ul) {
  OLECHAR digits[10];
  int c = 0;
  do {
    digits[c++] = static_cast<OLECHAR>('0' + ul % 10);
    ul /= 10;
  } while (ul != 0);
  while (c > 0) *p++ = digits[--c];
}

// Copies the plaintext into a new array, logging as DecryptValue does. A
// failed creation is reported as the failed lock of an array that was not
// created, with E_OUTOFMEMORY.
HRESULT FillNewArray(SAFEARRAY* psaNew, const BYTE* pbPlain, DWORD cbPlain, SAFEARRAY** ppsaOut) {
  CScopedSafeArray array(psaNew);
  if (psaNew == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed"));
    return E_OUTOFMEMORY;
  }
  void* pvData = nullptr;
  HRESULT hr = SafeArrayAccessData(psaNew, &pvData);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed"));
    return hr;
  }
  if (cbPlain != 0) std::memcpy(pvData, pbPlain, cbPlain);
  hr = SafeArrayUnaccessData(psaNew);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayUnaccessData failed"));
    ZU::Framework::SecureZero(pvData, cbPlain);
    return hr;
  }
  *ppsaOut = array.Release();
  return S_OK;
}

HRESULT RestoreVector(const SVectorType& type, const BYTE* pbPlain, DWORD cbPlain,
                      SAFEARRAY** ppsaOut) {
  if (cbPlain % type.cbElement != 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue pDataOut size mismatch"));
    return E_FAIL;
  }
  return FillNewArray(SafeArrayCreateVector(type.vt, 0, cbPlain / type.cbElement), pbPlain, cbPlain,
                      ppsaOut);
}

HRESULT RestoreMatrix(LPCWSTR pszDescr, const BYTE* pbPlain, DWORD cbPlain, SAFEARRAY** ppsaOut) {
  LONG lFirst = 0;
  LONG lSecond = 0;
  if (!ReadMatrixCounts(pszDescr, &lFirst, &lSecond) || lFirst < 0 || lSecond < 0) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue UI1_MULTI dimensions unreadable"));
    return E_FAIL;
  }
  // The counts decide the size of the new array, the plaintext what is
  // copied into it: they must agree.
  if (uint64_t{static_cast<ULONG>(lFirst)} * static_cast<ULONG>(lSecond) != cbPlain) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue pDataOut size mismatch"));
    return E_FAIL;
  }
  SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(lSecond), 0}, {static_cast<ULONG>(lFirst), 0}};
  return FillNewArray(SafeArrayCreate(VT_UI1, 2, bounds), pbPlain, cbPlain, ppsaOut);
}

HRESULT RestoreStringList(const BYTE* pbPlain, DWORD cbPlain, SAFEARRAY** ppsaOut) {
  const DWORD cUnits = cbPlain / 2;
  auto unitAt = [pbPlain](DWORD i) {
    return static_cast<OLECHAR>(pbPlain[2 * i] | (pbPlain[2 * i + 1] << 8));
  };
  // Each zero unit ends a string; a zero unit right after the one that
  // ended the previous string ends the list, as does the end of the
  // plaintext (units after the last zero unit belong to no string).
  auto forEachString = [&](auto&& visit) {
    DWORD dwStart = 0;
    ULONG cStrings = 0;
    for (DWORD i = 0; i < cUnits; ++i) {
      if (unitAt(i) != 0) continue;
      if (cStrings > 0 && i == dwStart) break;
      if (!visit(cStrings, dwStart, i - dwStart)) return cStrings;
      ++cStrings;
      dwStart = i + 1;
    }
    return cStrings;
  };
  const ULONG cStrings = forEachString([](ULONG, DWORD, DWORD) { return true; });

  if (cStrings == 0) {
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("DecryptValue nbElem = 0"));
    SAFEARRAY* psaEmpty = SafeArrayCreateVector(VT_BSTR, 0, 0);
    if (psaEmpty == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayCreateVector failed"));
      return E_OUTOFMEMORY;
    }
    *ppsaOut = psaEmpty;
    return S_OK;
  }

  SAFEARRAY* psaStrings = SafeArrayCreateVector(VT_BSTR, 0, cStrings);
  if (psaStrings == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayCreateVector failed"));
    return E_OUTOFMEMORY;
  }
  HRESULT hrPut = S_OK;
  bool bOutOfMemory = false;
  forEachString([&](ULONG k, DWORD dwStart, DWORD cch) {
    if (cch == 0) return true;  // an empty string leaves its element null
    BSTR bstr = SysAllocStringLen(nullptr, cch);
    if (bstr == nullptr) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SysAllocStringLen failed"));
      bOutOfMemory = true;
      return false;
    }
    for (DWORD i = 0; i < cch; ++i) bstr[i] = unitAt(dwStart + i);
    LONG lIndex = static_cast<LONG>(k);
    hrPut = SafeArrayPutElement(psaStrings, &lIndex, bstr);
    if (FAILED(hrPut)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayPutElement failed"));
    }
    WipeAndFreeString(bstr);
    return true;
  });
  if (bOutOfMemory) {
    WipeAndDestroyArray(psaStrings);
    return E_OUTOFMEMORY;
  }
  *ppsaOut = psaStrings;
  return hrPut;
}

}  // namespace

CProtectEntropy::~CProtectEntropy() {
  if (m_pb != nullptr) {
    ZU::Framework::SecureZero(m_pb, kBytes);
    delete[] m_pb;
  }
}

bool CProtectEntropy::Build() noexcept {
  if (m_pb == nullptr) m_pb = new (std::nothrow) BYTE[kBytes];
  if (m_pb == nullptr) return false;
  for (DWORD i = 0; i < kBytes; ++i) m_pb[i] = static_cast<BYTE>(kEntropyTable[i] ^ (i + 1));
  return true;
}

LPCWSTR ProtectDescriptionOf(VARTYPE vt, UINT cDims) noexcept {
  if (cDims == 0) return nullptr;
  switch (vt) {
    case VT_BSTR:
      return cDims == 1 ? OLESTR("BSTR") : nullptr;
    case VT_I1:
      return OLESTR("I1");
    case VT_UI1:
      return cDims == 1 ? OLESTR("UI1") : nullptr;
    case VT_I8:
      return OLESTR("I8");
    case VT_UI8:
      return OLESTR("UI8");
    case VT_INT:
      return OLESTR("INT");
    case VT_UINT:
      return OLESTR("UINT");
    default:
      return nullptr;
  }
}

bool IsProtectedMatrix(VARTYPE vt, UINT cDims) noexcept { return vt == VT_UI1 && cDims == 2; }

HRESULT BuildMatrixDescription(const SAFEARRAY* psa, BSTR* pbstrDescr) noexcept {
  const ULONG ulFirst = psa->rgsabound[0].cElements;
  const ULONG ulSecond = psa->rgsabound[1].cElements;
  if (ulFirst > INT32_MAX || ulSecond > INT32_MAX) return E_FAIL;
  OLECHAR sz[kMatrixPrefixUnits + 2 * 11 + 2];
  OLECHAR* p = sz;
  for (size_t i = 0; i < kMatrixPrefixUnits; ++i) *p++ = kMatrixPrefix[i];
  *p++ = ' ';
  AppendDecimal(p, ulFirst);
  *p++ = ' ';
  AppendDecimal(p, ulSecond);
  *p++ = ' ';
  *p = 0;
  *pbstrDescr = SysAllocString(sz);
  return *pbstrDescr != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT BuildStringList(SAFEARRAY* psa, CSecureBytes& list) noexcept {
  try {
    list.clear();
    const ULONG cElements = psa->rgsabound[0].cElements;
    for (ULONG ul = 0; ul < cElements && ul <= static_cast<ULONG>(std::numeric_limits<LONG>::max());
         ++ul) {
      LONG lIndex = static_cast<LONG>(ul);
      BSTR bstr = nullptr;
      if (FAILED(SafeArrayGetElement(psa, &lIndex, &bstr)) || bstr == nullptr) continue;
      const UINT cch = SysStringLen(bstr);
      // The list grows geometrically (every block it leaves is wiped), so
      // a long vector costs linear time.
      try {
        for (UINT i = 0; i < cch; ++i) {
          list.push_back(static_cast<BYTE>(bstr[i]));
          list.push_back(static_cast<BYTE>(bstr[i] >> 8));
        }
        list.push_back(0);
        list.push_back(0);
      } catch (...) {
        WipeAndFreeString(bstr);
        throw;
      }
      WipeAndFreeString(bstr);
    }
    list.resize(list.empty() ? 4 : list.size() + 2, 0);
    return S_OK;
  } catch (...) {
    CSecureBytes().swap(list);
    return E_OUTOFMEMORY;
  }
}

HRESULT RestoreValue(LPCWSTR pszDescr, const BYTE* pbPlain, DWORD cbPlain,
                     SAFEARRAY** ppsaOut) noexcept {
  if (SameText(pszDescr, OLESTR("UNKNOWN"))) {
    // Interface pointers are never protected by this system; a blob that
    // claims them would restore raw addresses.
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue UNKNOWN refused"));
    return E_FAIL;
  }
  for (const SVectorType& type : kVectorTypes) {
    if (SameText(pszDescr, type.pszDescr)) {
      return RestoreVector(type, pbPlain, cbPlain, ppsaOut);
    }
  }
  bool bMatrix = true;
  for (size_t i = 0; i < kMatrixPrefixUnits && bMatrix; ++i) {
    bMatrix = pszDescr[i] == kMatrixPrefix[i];
  }
  if (bMatrix) return RestoreMatrix(pszDescr, pbPlain, cbPlain, ppsaOut);
  if (SameText(pszDescr, kSignedBytes.pszDescr)) {
    return RestoreVector(kSignedBytes, pbPlain, cbPlain, ppsaOut);
  }
  if (SameText(pszDescr, OLESTR("BSTR"))) return RestoreStringList(pbPlain, cbPlain, ppsaOut);
  qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue *pDescrOut unknown"));
  return E_FAIL;
}

void WipeAndDestroyArray(SAFEARRAY* psa) noexcept {
  if (psa == nullptr) return;
  VARTYPE vt = VT_EMPTY;
  void* pvData = nullptr;
  if (SUCCEEDED(SafeArrayGetVartype(psa, &vt)) && SUCCEEDED(SafeArrayAccessData(psa, &pvData))) {
    size_t cElements = 1;
    for (UINT i = 0; i < psa->cDims; ++i) cElements *= psa->rgsabound[i].cElements;
    if (vt == VT_BSTR) {
      BSTR* pbstr = static_cast<BSTR*>(pvData);
      for (size_t i = 0; i < cElements; ++i) {
        if (pbstr[i] != nullptr) ZU::Framework::SecureZero(pbstr[i], SysStringByteLen(pbstr[i]));
      }
    } else {
      ZU::Framework::SecureZero(pvData, cElements * psa->cbElements);
    }
    SafeArrayUnaccessData(psa);
  }
  zuSafeArrayDestroy(psa, ZU_RELEASE_TEMPORARY);
}
