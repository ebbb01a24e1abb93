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

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_keys.h"
#include "security/protect.h"
#include "support/qvlog.h"

namespace {

void Check(bool bCondition) {
  if (!bCondition) __builtin_trap();
}

// What a value holds: its element type, then for a string list its
// non-null strings, else its counts and its bytes. Bounds are checked to
// be 0.
std::vector<std::string> Summary(SAFEARRAY* psa) {
  VARTYPE vt = VT_EMPTY;
  Check(SUCCEEDED(SafeArrayGetVartype(psa, &vt)));
  std::vector<std::string> summary{std::to_string(vt)};
  size_t c = 1;
  for (UINT i = 0; i < SafeArrayGetDim(psa); ++i) {
    Check(psa->rgsabound[i].lLbound == 0);
    c *= psa->rgsabound[i].cElements;
    if (vt != VT_BSTR) summary.push_back(std::to_string(psa->rgsabound[i].cElements));
  }
  void* pv = nullptr;
  Check(SUCCEEDED(SafeArrayAccessData(psa, &pv)));
  for (size_t i = 0; vt == VT_BSTR && i < c; ++i) {
    const BSTR bstr = static_cast<const BSTR*>(pv)[i];
    if (bstr != nullptr)
      summary.emplace_back(reinterpret_cast<const char*>(bstr), SysStringByteLen(bstr));
  }
  if (vt != VT_BSTR)
    summary.emplace_back(static_cast<const char*>(pv), c * SafeArrayGetElemsize(psa));
  SafeArrayUnaccessData(psa);
  return summary;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvlogSetLevelMask(0);
  InstallFixedFuzzKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
  if (cbData > 1 << 16) return 0;
  const uint8_t* pbEnd = std::find(pbData, pbData + std::min<size_t>(cbData, 64), '\n');
  const std::basic_string<OLECHAR> descr(pbData, std::find(pbData, pbEnd, 0));
  const BYTE* pbPlain = pbEnd + (pbEnd != pbData + cbData && *pbEnd == '\n');
  const DWORD cbPlain = static_cast<DWORD>(pbData + cbData - pbPlain);

  SAFEARRAY* psaSealed = SealForFuzz(descr.c_str(), pbPlain, cbPlain);
  Check(psaSealed != nullptr);
  SAFEARRAY* psaValue = nullptr;
  const HRESULT hr = DecryptValue(psaSealed, &psaValue);
  SafeArrayDestroy(psaSealed);
  const std::string sStrings = std::to_string(VT_BSTR);
  if (FAILED(hr)) {
    // Only a string vector whose strings could not all be put comes back
    // with a failure.
    Check(psaValue == nullptr || Summary(psaValue)[0] == sStrings);
    SafeArrayDestroy(psaValue);
    return 0;
  }
  Check(psaValue != nullptr);
  const std::vector<std::string> summary = Summary(psaValue);
  if (summary[0] != sStrings) {
    Check(summary.back() == std::string(reinterpret_cast<const char*>(pbPlain), cbPlain));
  }

  SAFEARRAY* psaProtected = nullptr;
  Check(EncryptValue(psaValue, &psaProtected) == S_OK);
  SAFEARRAY* psaAgain = nullptr;
  Check(DecryptValue(psaProtected, &psaAgain) == S_OK);
  Check(Summary(psaAgain) == summary);
  SafeArrayDestroy(psaAgain);
  SafeArrayDestroy(psaProtected);
  SafeArrayDestroy(psaValue);
  return 0;
}
