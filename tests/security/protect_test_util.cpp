#include "security/protect_test_util.h"

#include "common/dpapi_test_keys.h"

#include <cstring>

namespace {

Bytes Entropy() { return Bytes(std::begin(kExpectedEntropy), std::end(kExpectedEntropy)); }

}  // namespace

SAFEARRAY* MakeBytes(const Bytes& data) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(data.size()));
  void* pv = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, &pv))) {
    if (!data.empty()) std::memcpy(pv, data.data(), data.size());
    SafeArrayUnaccessData(psa);
  }
  return psa;
}

SAFEARRAY* MakeStrings(LONG lLbound, const std::vector<OptText>& strings) {
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, lLbound, static_cast<ULONG>(strings.size()));
  for (size_t i = 0; psa != nullptr && i < strings.size(); ++i) {
    if (!strings[i]) continue;
    BSTR bstr = SysAllocStringLen(strings[i]->data(), static_cast<UINT>(strings[i]->size()));
    LONG lIndex = lLbound + static_cast<LONG>(i);
    SafeArrayPutElement(psa, &lIndex, bstr);
    SysFreeString(bstr);
  }
  return psa;
}

Bytes DataOf(SAFEARRAY* psa) {
  void* pv = nullptr;
  if (psa == nullptr || FAILED(SafeArrayAccessData(psa, &pv))) return {};
  size_t cb = SafeArrayGetElemsize(psa);
  for (UINT i = 0; i < SafeArrayGetDim(psa); ++i) cb *= psa->rgsabound[i].cElements;
  const BYTE* pb = static_cast<const BYTE*>(pv);
  Bytes data(pb, pb + cb);
  SafeArrayUnaccessData(psa);
  return data;
}

std::vector<OptText> StringsOf(SAFEARRAY* psa) {
  std::vector<OptText> strings;
  LONG lLower = 0;
  LONG lUpper = -1;
  SafeArrayGetLBound(psa, 1, &lLower);
  SafeArrayGetUBound(psa, 1, &lUpper);
  for (LONG i = lLower; i <= lUpper; ++i) {
    BSTR bstr = nullptr;
    if (FAILED(SafeArrayGetElement(psa, &i, &bstr)) || bstr == nullptr) {
      strings.emplace_back();
    } else {
      strings.emplace_back(OleText(bstr, SysStringLen(bstr)));
    }
    SysFreeString(bstr);
  }
  return strings;
}

SOpenedBlob OpenProtected(SAFEARRAY* psaProtected) {
  SOpenedBlob opened;
  OpenData(DataOf(psaProtected), Entropy(), kUserFlags, &opened.plaintext, &opened.description);
  return opened;
}

SAFEARRAY* SealProtected(const OLECHAR* pszDescr, Bytes plain) {
  Bytes blob;
  if (SealData(std::move(plain), pszDescr, Entropy(), kUserFlags, &blob) != 0) return nullptr;
  return MakeBytes(blob);
}
