#include "security/protect_test_util.h"

#include <cstring>

namespace {

constexpr DWORD kProtectFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;

size_t ElementCount(SAFEARRAY* psa) {
  size_t c = 1;
  for (UINT i = 0; i < SafeArrayGetDim(psa); ++i) c *= psa->rgsabound[i].cElements;
  return c;
}

}  // namespace

SAFEARRAY* MakeVector(VARTYPE vt, LONG lLbound, const Bytes& data) {
  SAFEARRAY* psa = SafeArrayCreateVector(vt, lLbound, 0);
  if (psa == nullptr) return nullptr;
  const UINT cb = SafeArrayGetElemsize(psa);
  SafeArrayDestroy(psa);
  psa = SafeArrayCreateVector(vt, lLbound, static_cast<ULONG>(data.size() / cb));
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
  const BYTE* pb = static_cast<const BYTE*>(pv);
  Bytes data(pb, pb + ElementCount(psa) * SafeArrayGetElemsize(psa));
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

Bytes Utf16Bytes(const OleText& text) {
  Bytes bytes;
  for (OLECHAR c : text) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(static_cast<BYTE>(static_cast<uint16_t>(c) >> 8));
  }
  return bytes;
}

SOpenedBlob OpenProtected(SAFEARRAY* psaProtected) {
  SOpenedBlob opened;
  Bytes blob = DataOf(psaProtected);
  Bytes entropy(std::begin(kExpectedEntropy), std::end(kExpectedEntropy));
  DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
  DATA_BLOB out{0, nullptr};
  LPWSTR pszDescr = nullptr;
  opened.bOpened = CryptUnprotectData(&in, &pszDescr, &ent, nullptr, nullptr, kProtectFlags, &out);
  opened.dwError = opened.bOpened ? 0 : GetLastError();
  opened.plaintext.assign(out.pbData, out.pbData + out.cbData);
  if (pszDescr != nullptr) opened.description = pszDescr;
  LocalFree(out.pbData);
  LocalFree(pszDescr);
  return opened;
}

SAFEARRAY* SealProtected(const OLECHAR* pszDescr, Bytes plain) {
  plain.reserve(1);  // a valid address also for an empty plaintext
  Bytes entropy(std::begin(kExpectedEntropy), std::end(kExpectedEntropy));
  DATA_BLOB in{static_cast<DWORD>(plain.size()), plain.data()};
  DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
  DATA_BLOB out{0, nullptr};
  if (!CryptProtectData(&in, pszDescr, &ent, nullptr, nullptr, kProtectFlags, &out)) return nullptr;
  SAFEARRAY* psa = MakeVector(VT_UI1, 0, Bytes(out.pbData, out.pbData + out.cbData));
  LocalFree(out.pbData);
  return psa;
}
