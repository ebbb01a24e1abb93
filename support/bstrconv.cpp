#include "support/bstrconv.h"

#include <oleauto.h>

#include <climits>

#include "support/logscope.h"

HRESULT BSTR2wstring(BSTR sBSTRCompartmentId, secwstring& sCompartmentId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("BSTR2wstring"), hr);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("BSTR2wstring sBSTRCompartmentId = %s"),
           sBSTRCompartmentId);
  const UINT cch = SysStringLen(sBSTRCompartmentId);
  if (cch < 1) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("BSTR2wstring sBSTRCompartmentId length = 0"));
    hr = E_INVALIDARG;
    return hr;
  }
  try {
    secwstring sCopy(sBSTRCompartmentId, cch);
    sCompartmentId.swap(sCopy);
  } catch (const std::bad_alloc&) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("BSTR2wstring copy failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("BSTR2wstring sCompartmentId = %s"),
           sCompartmentId.c_str());
  return hr;
}

HRESULT wstring2BSTR(const secwstring& sCompartmentId, BSTR& sBSTRCompartmentId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("wstring2BSTR"), hr);
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("wstring2BSTR sCompartmentId = %s"),
           sCompartmentId.c_str());
  BSTR bstrCopy = nullptr;
  if (sCompartmentId.size() <= UINT_MAX) {
    bstrCopy = SysAllocStringLen(sCompartmentId.data(), static_cast<UINT>(sCompartmentId.size()));
  }
  if (bstrCopy == nullptr) {
    qvlogLog(gLogChannel, LOG_FAILURE, OLESTR("wstring2BSTR SysAllocStringLen failed"));
    hr = E_OUTOFMEMORY;
    return hr;
  }
  sBSTRCompartmentId = bstrCopy;
  qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("wstring2BSTR sBSTRCompartmentId = %s"),
           sBSTRCompartmentId);
  return hr;
}
