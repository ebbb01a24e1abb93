#include "pincache/authstore.h"

#include <initializer_list>

#include "datastore/storedispatch.h"
#include "datastore/storeownership.h"
#include "security/checkclient.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/zuwinext.h"

namespace {

// The lines of one interface method, each with its qualified name.
struct SMethodLines {
  CLogScopeName scope;
  SCallerCheckMessages check;
  logformat::CLogFormat<> internalFailed;
  logformat::CLogFormat<HRESULT> releaseValueFailed;
  logformat::CLogFormat<HRESULT> releaseParametersFailed;
};

#define METHOD_LINES(method)                                                               \
  (SMethodLines{                                                                           \
      LOG_SCOPE_NAME("CAuthStore::" method), CALLER_CHECK_MESSAGES("CAuthStore::" method), \
      OLESTR("CAuthStore::" method " Internal " method " failed"),                         \
      OLESTR("CAuthStore::" method " zuSafeArrayDestroy pPINValue hr = 0x%x"),             \
      OLESTR("CAuthStore::" method " zuSafeArrayDestroy pAdditionalParameters hr = 0x%x")})

constexpr SMethodLines kSetPIN = METHOD_LINES("SetPIN");
constexpr SMethodLines kSetPINFromPINSessionId = METHOD_LINES("SetPINFromPINSessionId");
constexpr SMethodLines kGetPIN = METHOD_LINES("GetPIN");
constexpr SMethodLines kGetPINFromPINSessionId = METHOD_LINES("GetPINFromPINSessionId");
constexpr SMethodLines kIsPINCached = METHOD_LINES("IsPINCached");
constexpr SMethodLines kIsPINCachedFromPINSessionId = METHOD_LINES("IsPINCachedFromPINSessionId");
constexpr SMethodLines kRemovePIN = METHOD_LINES("RemovePIN");
constexpr SMethodLines kRemovePINFromPINSessionId = METHOD_LINES("RemovePINFromPINSessionId");
constexpr SMethodLines kRemoveCompartment = METHOD_LINES("RemoveCompartment");
constexpr SMethodLines kFlushStore = METHOD_LINES("FlushStore");
constexpr SMethodLines kChangePINState = METHOD_LINES("ChangePINState");
constexpr SMethodLines kChangePINStateFromPINSessionId =
    METHOD_LINES("ChangePINStateFromPINSessionId");

void ReleaseArray(SAFEARRAY* psa, logformat::CLogFormat<HRESULT> failedLine) {
  if (psa == nullptr) return;
  const HRESULT hr = zuSafeArrayDestroy(psa, ZU_RELEASE_CALLER_ARGUMENT);
  if (FAILED(hr)) qvlogLog(gLogChannel, LOG_FAILURE, failedLine, hr);
}

// One interface method: its entry and exit lines, the trust check, the
// internal operation for a trusted caller, the release of the arguments the
// method owns (the strings, then the PIN value and the additional
// parameters; the owner is asked again before the arrays), and the outcome
// in *plRetVal. A failed release is logged only. The COM result is always
// S_OK.
template <class F>
HRESULT Serve(const SMethodLines& lines, ULONG ulPID, std::initializer_list<BSTR> strings,
              SAFEARRAY* pPINValue, SAFEARRAY* pAdditionalParameters, LONG* plRetVal,
              F&& operation) {
  HRESULT hr = S_OK;
  CLogScope scope(lines.scope, hr);
  hr = CheckClientCallerForMethod(lines.check, ulPID);
  if (SUCCEEDED(hr)) {
    hr = operation();
    if (FAILED(hr)) qvlogLog(gLogChannel, LOG_FAILURE, lines.internalFailed);
  }
  if (MethodReleasesArguments()) {
    for (BSTR bstr : strings) zuSysFreeString(bstr, ZU_RELEASE_CALLER_ARGUMENT);
  }
  if (MethodReleasesArguments()) {
    ReleaseArray(pPINValue, lines.releaseValueFailed);
    ReleaseArray(pAdditionalParameters, lines.releaseParametersFailed);
  }
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

}  // namespace

HRESULT CAuthStore::Begin(BSTR bstrStoreId) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAuthStore::Begin"), hr);
  hr = m_internal.Begin(bstrStoreId);
  return hr;
}

HRESULT CAuthStore::End() {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAuthStore::End"), hr);
  hr = m_internal.End();
  return hr;
}

HRESULT CAuthStore::GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CAuthStore::GetStoreInfo"), hr);
  hr = m_internal.GetStoreInfo(pnType, pbEncrypted, pbShared);
  return hr;
}

HRESULT STDMETHODCALLTYPE CAuthStore::SetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                             SAFEARRAY* pPINValue, SAFEARRAY* pAdditionalParameters,
                                             BSTR* pbstrPINSessionId, LONG* plRetVal) {
  return Serve(kSetPIN, ulPID, {bstrCompartmentId, bstrPINId}, pPINValue, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.SetPIN(ulPID, bstrCompartmentId, bstrPINId, pPINValue,
                                          pAdditionalParameters, pbstrPINSessionId);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::SetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                             BSTR bstrPINId, BSTR bstrPINSessionId,
                                                             SAFEARRAY* pPINValue,
                                                             SAFEARRAY* pAdditionalParameters,
                                                             LONG* plRetVal) {
  return Serve(kSetPINFromPINSessionId, ulPID, {bstrCompartmentId, bstrPINId, bstrPINSessionId},
               pPINValue, pAdditionalParameters, plRetVal, [&] {
                 return m_internal.SetPINFromPINSessionId(ulPID, bstrCompartmentId, bstrPINId,
                                                          bstrPINSessionId, pPINValue,
                                                          pAdditionalParameters);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::GetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                             SAFEARRAY* pAdditionalParameters,
                                             SAFEARRAY** pPINValue, BSTR* pbstrPINSessionId,
                                             INT* pnPINState, LONG* plRetVal) {
  return Serve(kGetPIN, ulPID, {bstrCompartmentId, bstrPINId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.GetPIN(ulPID, bstrCompartmentId, bstrPINId,
                                          pAdditionalParameters, pPINValue, pbstrPINSessionId,
                                          pnPINState);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::GetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                             BSTR bstrPINId, BSTR bstrPINSessionId,
                                                             SAFEARRAY* pAdditionalParameters,
                                                             SAFEARRAY** pPINValue, INT* pnPINState,
                                                             LONG* plRetVal) {
  return Serve(kGetPINFromPINSessionId, ulPID, {bstrCompartmentId, bstrPINId, bstrPINSessionId},
               nullptr, pAdditionalParameters, plRetVal, [&] {
                 return m_internal.GetPINFromPINSessionId(ulPID, bstrCompartmentId, bstrPINId,
                                                          bstrPINSessionId, pAdditionalParameters,
                                                          pPINValue, pnPINState);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::IsPINCached(ULONG ulPID, BSTR bstrCompartmentId,
                                                  BSTR bstrPINId, SAFEARRAY* pAdditionalParameters,
                                                  BSTR* pbstrPINSessionId, INT* pnPINState,
                                                  LONG* plRetVal) {
  return Serve(kIsPINCached, ulPID, {bstrCompartmentId, bstrPINId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.IsPINCached(ulPID, bstrCompartmentId, bstrPINId,
                                               pAdditionalParameters, pbstrPINSessionId,
                                               pnPINState);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::IsPINCachedFromPINSessionId(
    ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId,
    SAFEARRAY* pAdditionalParameters, INT* pnPINState, LONG* plRetVal) {
  return Serve(kIsPINCachedFromPINSessionId, ulPID,
               {bstrCompartmentId, bstrPINId, bstrPINSessionId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.IsPINCachedFromPINSessionId(ulPID, bstrCompartmentId, bstrPINId,
                                                               bstrPINSessionId,
                                                               pAdditionalParameters, pnPINState);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::RemovePIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                                SAFEARRAY* pAdditionalParameters, LONG* plRetVal) {
  return Serve(kRemovePIN, ulPID, {bstrCompartmentId, bstrPINId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.RemovePIN(ulPID, bstrCompartmentId, bstrPINId,
                                             pAdditionalParameters);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::RemovePINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                                BSTR bstrPINId,
                                                                BSTR bstrPINSessionId,
                                                                SAFEARRAY* pAdditionalParameters,
                                                                LONG* plRetVal) {
  return Serve(kRemovePINFromPINSessionId, ulPID, {bstrCompartmentId, bstrPINId, bstrPINSessionId},
               nullptr, pAdditionalParameters, plRetVal, [&] {
                 return m_internal.RemovePINFromPINSessionId(ulPID, bstrCompartmentId, bstrPINId,
                                                             bstrPINSessionId);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::RemoveCompartment(ULONG ulPID, BSTR bstrCompartmentId,
                                                        SAFEARRAY* pAdditionalParameters,
                                                        LONG* plRetVal) {
  return Serve(kRemoveCompartment, ulPID, {bstrCompartmentId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.RemoveCompartment(ulPID, bstrCompartmentId,
                                                     pAdditionalParameters);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::FlushStore(ULONG ulPID, SAFEARRAY* pAdditionalParameters,
                                                 LONG* plRetVal) {
  return Serve(kFlushStore, ulPID, {}, nullptr, pAdditionalParameters, plRetVal,
               [&] { return m_internal.FlushStore(ulPID, pAdditionalParameters); });
}

HRESULT STDMETHODCALLTYPE CAuthStore::ChangePINState(ULONG ulPID, BSTR bstrCompartmentId,
                                                     BSTR bstrPINId,
                                                     SAFEARRAY* pAdditionalParameters,
                                                     INT nPINState, LONG* plRetVal) {
  return Serve(kChangePINState, ulPID, {bstrCompartmentId, bstrPINId}, nullptr,
               pAdditionalParameters, plRetVal, [&] {
                 return m_internal.ChangePINState(ulPID, bstrCompartmentId, bstrPINId, nPINState);
               });
}

HRESULT STDMETHODCALLTYPE CAuthStore::ChangePINStateFromPINSessionId(
    ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId, BSTR bstrPINSessionId,
    SAFEARRAY* pAdditionalParameters, INT nPINState, LONG* plRetVal) {
  return Serve(kChangePINStateFromPINSessionId, ulPID,
               {bstrCompartmentId, bstrPINId, bstrPINSessionId}, nullptr, pAdditionalParameters,
               plRetVal, [&] {
                 return m_internal.ChangePINStateFromPINSessionId(
                     ulPID, bstrCompartmentId, bstrPINId, bstrPINSessionId, nPINState);
               });
}
