// kelmyr demo: a walk through the layer the system stands on. It builds a
// value as a client would (a BSTR array), copies it the way a store copies
// what it keeps, converts identifiers, and logs each step on the channel, so
// that a fresh build can be seen working end to end.
#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "support/bstrconv.h"
#include "support/logscope.h"
#include "support/utf8.h"
#include "support/zuwinext.h"

namespace {

HRESULT RunDemo() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("KelmyrDemo"), hr);

  const OLECHAR* const items[] = {OLESTR("SmartCardReader"), OLESTR("Token-0042"),
                                  OLESTR("Session")};
  SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 3);
  if (psa == nullptr) {
    hr = E_OUTOFMEMORY;
    return hr;
  }
  for (LONG i = 0; i < 3 && SUCCEEDED(hr); ++i) {
    BSTR bstr = SysAllocString(items[i]);
    hr = bstr ? SafeArrayPutElement(psa, &i, bstr) : E_OUTOFMEMORY;
    SysFreeString(bstr);
  }
  std::printf("value: VT_BSTR vector of %u elements, element size %u\n",
              static_cast<unsigned>(psa->rgsabound[0].cElements), SafeArrayGetElemsize(psa));

  SAFEARRAY* psaCopy = nullptr;
  if (SUCCEEDED(hr)) hr = SafeArrayCopy(psa, &psaCopy);
  zuSafeArrayDestroy(psa, ZU_RELEASE_TEMPORARY);
  if (FAILED(hr)) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("KelmyrDemo SafeArrayCopy failed hr = 0x%x"), hr);
    return hr;
  }

  for (LONG i = 0; i < 3; ++i) {
    BSTR bstr = nullptr;
    if (FAILED(SafeArrayGetElement(psaCopy, &i, &bstr))) continue;
    secwstring s;
    if (SUCCEEDED(BSTR2wstring(bstr, s))) {
      std::printf("  copy[%ld] = %s (%u bytes)\n", static_cast<long>(i), Utf16ToUtf8(s).c_str(),
                  SysStringByteLen(bstr));
    }
    zuSysFreeString(bstr, ZU_RELEASE_TEMPORARY);
  }
  zuSafeArrayDestroy(psaCopy, ZU_RELEASE_TEMPORARY);

  BSTR bstrEmpty = SysAllocString(OLESTR(""));
  secwstring sUnchanged(OLESTR("unchanged"));
  const HRESULT hrEmpty = BSTR2wstring(bstrEmpty, sUnchanged);
  SysFreeString(bstrEmpty);
  std::printf("an empty identifier is refused: hr = 0x%08lX\n",
              static_cast<unsigned long>(static_cast<ULONG>(hrEmpty)));

  std::printf("process integrity level: 0x%lX, app container: %s\n",
              static_cast<unsigned long>(zuGetIntegrityLevel()), zuIsAppContainer() ? "yes" : "no");
  return hr;
}

}  // namespace

int KelmyrDemo(const KelmyrArgs& args) {
  if (!args.empty()) {
    std::fprintf(stderr, "kelmyr demo: takes no arguments\n");
    return 2;
  }
  const HRESULT hr = RunDemo();
  std::printf("demo %s (hr = 0x%08lX)\n", SUCCEEDED(hr) ? "succeeded" : "failed",
              static_cast<unsigned long>(static_cast<ULONG>(hr)));
  return SUCCEEDED(hr) ? 0 : 1;
}
