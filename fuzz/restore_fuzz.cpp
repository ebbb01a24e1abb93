// The decoding behind the authentication: arbitrary (description,
// plaintext) pairs are sealed with the real key and restored by
// DecryptValue, so that the description matching, the "UI1_MULTI " counts,
// the string-list walk and the copy into the new array see any input.
//
// Input: the description as bytes up to the first '\n' (each byte one
// UTF-16 unit, a zero byte ends it early, at most 64), then the plaintext.
//
// A restored value must protect again and come back the same (string lists
// as their non-null strings), and a restored vector must hold exactly the
// plaintext bytes.
#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_keys.h"
#include "security/protect.h"
#include "support/qvlog.h"

namespace {

using Text = std::basic_string<OLECHAR>;

void Check(bool bCondition) {
  if (!bCondition) __builtin_trap();
}

std::vector<BYTE> DataOf(SAFEARRAY* psa) {
  size_t c = 1;
  for (UINT i = 0; i < SafeArrayGetDim(psa); ++i) c *= psa->rgsabound[i].cElements;
  void* pv = nullptr;
  Check(SUCCEEDED(SafeArrayAccessData(psa, &pv)));
  const BYTE* pb = static_cast<const BYTE*>(pv);
  std::vector<BYTE> data(pb, pb + c * SafeArrayGetElemsize(psa));
  SafeArrayUnaccessData(psa);
  return data;
}

// The non-null strings, in order.
std::vector<Text> StringsOf(SAFEARRAY* psa) {
  std::vector<Text> strings;
  for (LONG i = 0; i < static_cast<LONG>(psa->rgsabound[0].cElements); ++i) {
    BSTR bstr = nullptr;
    Check(SUCCEEDED(SafeArrayGetElement(psa, &i, &bstr)));
    if (bstr != nullptr) strings.emplace_back(bstr, SysStringLen(bstr));
    SysFreeString(bstr);
  }
  return strings;
}

struct SShape {
  VARTYPE vt;
  UINT cDims;
  std::vector<ULONG> counts;
  bool operator==(const SShape&) const = default;
};

SShape ShapeOf(SAFEARRAY* psa) {
  SShape shape{VT_EMPTY, SafeArrayGetDim(psa), {}};
  SafeArrayGetVartype(psa, &shape.vt);
  for (UINT i = 0; i < shape.cDims; ++i) {
    shape.counts.push_back(psa->rgsabound[i].cElements);
    Check(psa->rgsabound[i].lLbound == 0);
  }
  return shape;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvlogSetLevelMask(0);
  InstallFixedFuzzKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
  if (cbData > 1 << 16) return 0;
  Text descr;
  size_t pos = 0;
  for (; pos < cbData && pbData[pos] != '\n' && descr.size() < 64; ++pos) {
    descr.push_back(static_cast<OLECHAR>(pbData[pos]));
  }
  if (pos < cbData && pbData[pos] == '\n') ++pos;
  const size_t cut = descr.find(OLECHAR{0});
  if (cut != Text::npos) descr.resize(cut);
  const BYTE* pbPlain = pbData + pos;
  const DWORD cbPlain = static_cast<DWORD>(cbData - pos);

  SAFEARRAY* psaSealed = SealForFuzz(descr.c_str(), pbPlain, cbPlain);
  Check(psaSealed != nullptr);
  SAFEARRAY* psaValue = nullptr;
  const HRESULT hr = DecryptValue(psaSealed, &psaValue);
  SafeArrayDestroy(psaSealed);
  if (FAILED(hr)) {
    // Only a string vector whose strings could not all be put comes back
    // with a failure.
    if (psaValue != nullptr) {
      Check(ShapeOf(psaValue).vt == VT_BSTR);
      SafeArrayDestroy(psaValue);
    }
    return 0;
  }
  Check(psaValue != nullptr);
  const SShape shape = ShapeOf(psaValue);
  if (shape.vt != VT_BSTR) Check(DataOf(psaValue) == std::vector<BYTE>(pbPlain, pbPlain + cbPlain));

  SAFEARRAY* psaProtected = nullptr;
  Check(EncryptValue(psaValue, &psaProtected) == S_OK);
  SAFEARRAY* psaAgain = nullptr;
  Check(DecryptValue(psaProtected, &psaAgain) == S_OK);
  if (shape.vt == VT_BSTR) {
    Check(ShapeOf(psaAgain).vt == VT_BSTR);
    Check(StringsOf(psaAgain) == StringsOf(psaValue));
  } else {
    Check(ShapeOf(psaAgain) == shape);
    Check(DataOf(psaAgain) == DataOf(psaValue));
  }
  SafeArrayDestroy(psaAgain);
  SafeArrayDestroy(psaProtected);
  SafeArrayDestroy(psaValue);
  return 0;
}
