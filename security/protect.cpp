#include "security/protect.h"

#include <cstring>

#include "security/protectencoding.h"
#include "support/logscope.h"
#include "support/scopedbstr.h"
#include "support/scopedsafearray.h"

namespace {

// CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT, with the machine key for
// the second try of the way back.
constexpr DWORD kProtectFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;
constexpr DWORD kMachineKeyFlags = kProtectFlags | CRYPTPROTECT_LOCAL_MACHINE;

// A buffer the data protection API returned: wiped and freed with
// LocalFree when it goes out of scope.
class CScopedProtectBlob {
 public:
  CScopedProtectBlob() noexcept = default;
  ~CScopedProtectBlob() {
    if (m_blob.pbData != nullptr) {
      ZU::Framework::SecureZero(m_blob.pbData, m_blob.cbData);
      LocalFree(m_blob.pbData);
    }
  }
  CScopedProtectBlob(const CScopedProtectBlob&) = delete;
  CScopedProtectBlob& operator=(const CScopedProtectBlob&) = delete;

  DATA_BLOB* Receive() noexcept { return &m_blob; }
  const DATA_BLOB& Get() const noexcept { return m_blob; }

 private:
  DATA_BLOB m_blob{0, nullptr};
};

// The description CryptUnprotectData returned, freed with LocalFree.
class CScopedDescription {
 public:
  CScopedDescription() noexcept = default;
  ~CScopedDescription() {
    if (m_psz != nullptr) LocalFree(m_psz);
  }
  CScopedDescription(const CScopedDescription&) = delete;
  CScopedDescription& operator=(const CScopedDescription&) = delete;

  LPWSTR* Receive() noexcept { return &m_psz; }
  LPCWSTR Get() const noexcept { return m_psz; }

 private:
  LPWSTR m_psz = nullptr;
};

// The size of an array's data area: the product of all element counts
// times the element size; false beyond what one blob can carry.
bool DataAreaBytes(const SAFEARRAY* psa, UINT cDims, UINT cbElement, DWORD* pcb) {
  uint64_t cb = cbElement;
  for (UINT i = 0; i < cDims; ++i) {
    cb *= psa->rgsabound[i].cElements;
    if (cb > 0xFFFFFFFFu) return false;
  }
  *pcb = static_cast<DWORD>(cb);
  return true;
}

// The blob as a new VT_UI1 vector with lower bound 0.
HRESULT BlobToVector(const DATA_BLOB& blob, SAFEARRAY** ppsaOut) {
  CScopedSafeArray vector(SafeArrayCreateVector(VT_UI1, 0, blob.cbData));
  if (vector.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayCreateVector failed"));
    return E_OUTOFMEMORY;
  }
  void* pvData = nullptr;
  HRESULT hr = SafeArrayAccessData(vector.Get(), &pvData);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayAccessData failed"));
    return hr;
  }
  std::memcpy(pvData, blob.pbData, blob.cbData);
  hr = SafeArrayUnaccessData(vector.Get());
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayUnaccessData failed"));
    return hr;
  }
  *ppsaOut = vector.Release();
  return S_OK;
}

}  // namespace

HRESULT EncryptValue(SAFEARRAY* psaValue, SAFEARRAY** ppsaProtected) noexcept {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("EncryptValue"), hr, kLogDetailLevels);
  if (ppsaProtected == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue ppsaOut == NULL"));
    return hr = E_POINTER;
  }
  VARTYPE vt = VT_EMPTY;
  hr = SafeArrayGetVartype(psaValue, &vt);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayGetVartype failed"));
    return hr;
  }
  const UINT cbElement = SafeArrayGetElemsize(psaValue);
  const UINT cDims = SafeArrayGetDim(psaValue);

  // The element type is checked before anything is read, so a refused value
  // costs nothing and leaves nothing behind.
  const bool bMatrix = IsProtectedMatrix(vt, cDims);
  LPCWSTR pszDescr = bMatrix ? nullptr : ProtectDescriptionOf(vt, cDims);
  if (pszDescr == nullptr && !bMatrix) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue unsupported vt"));
    return hr = E_FAIL;
  }

  CSecureBytes stringList;
  CScopedBSTR matrixDescr;
  DATA_BLOB plain{0, nullptr};
  bool bLocked = false;
  // An empty value still hands the platform a valid address.
  static BYTE bNoData = 0;
  if (vt == VT_BSTR) {
    hr = BuildStringList(psaValue, stringList);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue string list allocation failed"));
      return hr;
    }
    if (stringList.size() > 0xFFFFFFFFu) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue value too large"));
      return hr = E_FAIL;
    }
    plain = {static_cast<DWORD>(stringList.size()), stringList.data()};
  } else {
    // The data area stays locked while it is being sealed, so that it
    // cannot be released under the platform call.
    void* pvData = nullptr;
    hr = SafeArrayAccessData(psaValue, &pvData);
    if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayAccessData failed"));
      return hr;
    }
    bLocked = true;
    if (!DataAreaBytes(psaValue, cDims, cbElement, &plain.cbData)) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue value too large"));
      hr = E_FAIL;
    } else {
      plain.pbData = plain.cbData != 0 ? static_cast<BYTE*>(pvData) : &bNoData;
      if (bMatrix) {
        hr = BuildMatrixDescription(psaValue, matrixDescr.Receive());
        if (hr == E_FAIL) {
          qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue unsupported vt"));
        } else if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue description allocation failed"));
        }
        pszDescr = matrixDescr.Get();
      }
    }
  }

  CProtectEntropy entropy;
  CScopedProtectBlob blob;
  if (SUCCEEDED(hr)) {
    if (!entropy.Build()) {
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue pbTemp allocation failed"));
      hr = E_OUTOFMEMORY;
    } else {
      DATA_BLOB entropyBlob = entropy.Blob();
      const BOOL bRet = CryptProtectData(&plain, pszDescr, &entropyBlob, nullptr, nullptr,
                                         kProtectFlags, blob.Receive());
      if (!bRet) {
        const DWORD dwError = GetLastError();
        qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("EncryptValue bRet = %x error = %x"), bRet,
                 dwError);
        qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue CryptProtectData failed"));
        hr = E_FAIL;
      } else {
        qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("EncryptValue CryptProtectData succeed"));
      }
    }
  }
  if (bLocked && FAILED(SafeArrayUnaccessData(psaValue))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("EncryptValue SafeArrayUnaccessData failed"));
  }
  if (FAILED(hr)) return hr;
  return hr = BlobToVector(blob.Get(), ppsaProtected);
}

HRESULT DecryptValue(SAFEARRAY* psaProtected, SAFEARRAY** ppsaValue) noexcept {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("DecryptValue"), hr, kLogDetailLevels);
  if (ppsaValue == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue ppsaOut == NULL"));
    return hr = E_POINTER;
  }
  void* pvData = nullptr;
  hr = SafeArrayAccessData(psaProtected, &pvData);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed"));
    return hr;
  }
  // The protected bytes: the element count of the first dimension times
  // the element size, which never exceeds the data area.
  const uint64_t cbProtected =
      uint64_t{psaProtected->rgsabound[0].cElements} * SafeArrayGetElemsize(psaProtected);
  DATA_BLOB protectedBlob{static_cast<DWORD>(cbProtected), static_cast<BYTE*>(pvData)};

  CProtectEntropy entropy;
  CScopedDescription description;
  CScopedProtectBlob plain;
  if (cbProtected > 0xFFFFFFFFu) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue value too large"));
    hr = E_FAIL;
  } else if (!entropy.Build()) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue pbTemp allocation failed"));
    hr = E_OUTOFMEMORY;
  } else {
    DATA_BLOB entropyBlob = entropy.Blob();
    BOOL bRet = CryptUnprotectData(&protectedBlob, description.Receive(), &entropyBlob, nullptr,
                                   nullptr, kProtectFlags, plain.Receive());
    if (!bRet) {
      qvlogLog(gLogChannel, LOG_DETAIL,
               OLESTR("DecryptValue CryptUnProtectData with user key failed => try with machine "
                      "key"));
      bRet = CryptUnprotectData(&protectedBlob, description.Receive(), &entropyBlob, nullptr,
                                nullptr, kMachineKeyFlags, plain.Receive());
    }
    if (!bRet) {
      const DWORD dwError = GetLastError();
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("DecryptValue bRet = %x error = %x"), bRet, dwError);
      qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue CryptUnProtectData failed"));
      hr = E_FAIL;
    } else {
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("DecryptValue CryptUnProtectData succeed"));
    }
  }
  // The input stays locked while the platform reads it.
  if (FAILED(SafeArrayUnaccessData(psaProtected))) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue SafeArrayUnaccessData failed"));
  }
  if (FAILED(hr)) return hr;

  if (description.Get() == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("DecryptValue pDescrOut == NULL"));
    return hr = E_FAIL;
  }
  return hr = RestoreValue(description.Get(), plain.Get().pbData, plain.Get().cbData, ppsaValue);
}
