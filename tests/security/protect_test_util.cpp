#include "security/protect_test_util.h"

#include "common/dpapi_test_keys.h"

#include <cstring>

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
  BSTR* pbstr = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, reinterpret_cast<void**>(&pbstr)))) {
    for (size_t i = 0; i < strings.size(); ++i) {
      if (strings[i]) pbstr[i] = SysAllocStringLen(strings[i]->data(), UINT(strings[i]->size()));
    }
    SafeArrayUnaccessData(psa);
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
  BSTR* pbstr = nullptr;
  if (FAILED(SafeArrayAccessData(psa, reinterpret_cast<void**>(&pbstr)))) return strings;
  for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
    strings.push_back(pbstr[i] ? OptText(OleText(pbstr[i], SysStringLen(pbstr[i]))) : std::nullopt);
  }
  SafeArrayUnaccessData(psa);
  return strings;
}

SOpenedBlob OpenProtected(SAFEARRAY* psaProtected) {
  SOpenedBlob opened;
  OpenData(DataOf(psaProtected), Bytes(std::begin(kExpectedEntropy), std::end(kExpectedEntropy)),
           kUserFlags, &opened.plaintext, &opened.description);
  return opened;
}

SAFEARRAY* SealProtected(const OLECHAR* pszDescr, Bytes plain) {
  Bytes blob;
  const Bytes entropy(std::begin(kExpectedEntropy), std::end(kExpectedEntropy));
  if (SealData(std::move(plain), pszDescr, entropy, kUserFlags, &blob) != 0) return nullptr;
  return MakeBytes(blob);
}
