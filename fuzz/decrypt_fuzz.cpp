// DecryptValue on arbitrary bytes: the blob parsing and authentication of
// the platform's CryptUnprotectData, both key tries and every failure path.
// The seeds are real protected values of the fixed fuzzing keys, so that
// mutations start from blobs that open.
#include <windows.h>

#include <oleauto.h>

#include <cstdint>
#include <cstring>

#include "fuzz_keys.h"
#include "security/protect.h"
#include "support/qvlog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qvlogSetLevelMask(0);
  InstallFixedFuzzKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pbData, size_t cbData) {
  if (cbData > 1 << 16) return 0;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(cbData));
  if (psa == nullptr) return 0;
  if (cbData != 0) std::memcpy(psa->pvData, pbData, cbData);
  SAFEARRAY* psaValue = nullptr;
  const HRESULT hr = DecryptValue(psa, &psaValue);
  // A failure hands out no array, except a string vector whose strings
  // could not all be put.
  if (FAILED(hr) && psaValue != nullptr) {
    VARTYPE vt = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(psaValue, &vt)) || vt != VT_BSTR) __builtin_trap();
  }
  SafeArrayDestroy(psaValue);
  SafeArrayDestroy(psa);
  return 0;
}
