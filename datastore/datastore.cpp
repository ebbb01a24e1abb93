#include "datastore/datastore.h"

#include <initializer_list>

#include "datastore/storedispatch.h"
#include "datastore/storeownership.h"
#include "security/checkclient.h"
#include "support/logscope.h"
#include "support/qvlog.h"
#include "support/zuwinext.h"

namespace {

// The lines of one interface method, each with its qualified name. A
// method that tells "not found" apart logs E_INVALIDARG of the internal
// operation with notFound at level 2 instead of its failure line.
struct SMethodMessages {
  CLogScopeName scope;
  SCallerCheckMessages check;
  logformat::CLogFormat<> internalFailed;
  logformat::CLogFormat<> notFound;
  bool bTellsNotFound;
};

#define METHOD_MESSAGES(method)                                                 \
  (SMethodMessages{LOG_SCOPE_NAME("CDataStore::" method),                       \
                   CALLER_CHECK_MESSAGES("CDataStore::" method),                \
                   OLESTR("CDataStore::" method " Internal " method " failed"), \
                   OLESTR("CDataStore::" method " Internal " method " failed"), false})

constexpr SMethodMessages kSetData = METHOD_MESSAGES("SetData");
constexpr SMethodMessages kGetData = {LOG_SCOPE_NAME("CDataStore::GetData"),
                                      CALLER_CHECK_MESSAGES("CDataStore::GetData"),
                                      OLESTR("CDataStore::GetData Internal GetData failed"),
                                      OLESTR("CDataStore::GetData data not found"), true};
constexpr SMethodMessages kRemoveData = METHOD_MESSAGES("RemoveData");
constexpr SMethodMessages kCreateCompartment = METHOD_MESSAGES("CreateCompartment");
constexpr SMethodMessages kTouchCompartment = METHOD_MESSAGES("TouchCompartment");
constexpr SMethodMessages kRemoveCompartment = METHOD_MESSAGES("RemoveCompartment");
constexpr SMethodMessages kFlushStore = METHOD_MESSAGES("FlushStore");
constexpr SMethodMessages kIsDataCached = METHOD_MESSAGES("IsDataCached");
constexpr SMethodMessages kListDataIds = METHOD_MESSAGES("ListDataIds");
constexpr SMethodMessages kListCompartmentIds = METHOD_MESSAGES("ListCompartmentIds");
constexpr SMethodMessages kIsCompartmentCached = METHOD_MESSAGES("IsCompartmentCached");

// One interface method: its entry and exit lines, the trust check, the
// internal operation for a trusted caller, the release of the BSTR
// arguments the method owns (and, through releaseMore, any other), and the
// outcome in *plRetVal. The COM result is always S_OK.
template <class F, class R>
HRESULT Serve(const SMethodMessages& messages, ULONG ulPID, std::initializer_list<BSTR> arguments,
              LONG* plRetVal, F&& operation, R&& releaseMore) {
  HRESULT hr = S_OK;
  CLogScope scope(messages.scope, hr);
  const bool bRelease = MethodReleasesArguments();
  hr = CheckClientCallerForMethod(messages.check, ulPID);
  if (SUCCEEDED(hr)) {
    hr = operation();
    if (hr == E_INVALIDARG && messages.bTellsNotFound) {
      qvlogLog(gLogChannel, LOG_NOTABLE, messages.notFound);
    } else if (FAILED(hr)) {
      qvlogLog(gLogChannel, LOG_FAILURE, messages.internalFailed);
    }
  }
  if (bRelease) {
    for (BSTR bstr : arguments) zuSysFreeString(bstr, ZU_RELEASE_CALLER_ARGUMENT);
    releaseMore();
  }
  if (plRetVal != nullptr) *plRetVal = hr;
  return S_OK;
}

template <class F>
HRESULT Serve(const SMethodMessages& messages, ULONG ulPID, std::initializer_list<BSTR> arguments,
              LONG* plRetVal, F&& operation) {
  return Serve(messages, ulPID, arguments, plRetVal, operation, [] {});
}

}  // namespace

HRESULT STDMETHODCALLTYPE CDataStore::SetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                              SAFEARRAY* ucData, LONG* plRetVal) {
  return Serve(
      kSetData, ulPID, {sCompartmentId, sDataId}, plRetVal,
      [&] { return m_internal.SetData(ulPID, sCompartmentId, sDataId, ucData); },
      [&] {
        const HRESULT hr = zuSafeArrayDestroy(ucData, ZU_RELEASE_CALLER_ARGUMENT);
        if (FAILED(hr)) {
          qvlogLog(gLogChannel, LOG_FAILURE,
                   OLESTR("CDataStore::SetData zuSafeArrayDestroy pucData hr = 0x%x"), hr);
        }
      });
}

HRESULT STDMETHODCALLTYPE CDataStore::GetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                              SAFEARRAY** ucData, LONG* plRetVal) {
  return Serve(kGetData, ulPID, {sCompartmentId, sDataId}, plRetVal,
               [&] { return m_internal.GetData(ulPID, sCompartmentId, sDataId, ucData); });
}

HRESULT STDMETHODCALLTYPE CDataStore::RemoveData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                                 LONG* plRetVal) {
  return Serve(kRemoveData, ulPID, {sCompartmentId, sDataId}, plRetVal,
               [&] { return m_internal.RemoveData(ulPID, sCompartmentId, sDataId); });
}

HRESULT STDMETHODCALLTYPE CDataStore::CreateCompartment(ULONG ulPID, BSTR sCompartmentId,
                                                        LONG* plRetVal) {
  return Serve(kCreateCompartment, ulPID, {sCompartmentId}, plRetVal,
               [&] { return m_internal.CreateCompartment(ulPID, sCompartmentId); });
}

HRESULT STDMETHODCALLTYPE CDataStore::TouchCompartment(ULONG ulPID, BSTR sCompartmentId,
                                                       LONG* plRetVal) {
  return Serve(kTouchCompartment, ulPID, {sCompartmentId}, plRetVal,
               [&] { return m_internal.TouchCompartment(ulPID, sCompartmentId); });
}

HRESULT STDMETHODCALLTYPE CDataStore::RemoveCompartment(ULONG ulPID, BSTR sCompartmentId,
                                                        LONG bRemoveVersions, LONG* plRetVal) {
  return Serve(kRemoveCompartment, ulPID, {sCompartmentId}, plRetVal, [&] {
    return m_internal.RemoveCompartment(ulPID, sCompartmentId, bRemoveVersions);
  });
}

HRESULT STDMETHODCALLTYPE CDataStore::FlushStore(ULONG ulPID, LONG* plRetVal) {
  return Serve(kFlushStore, ulPID, {}, plRetVal, [&] { return m_internal.FlushStore(ulPID); });
}

HRESULT STDMETHODCALLTYPE CDataStore::IsDataCached(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                                   LONG* bCached, LONG* plRetVal) {
  return Serve(kIsDataCached, ulPID, {sCompartmentId, sDataId}, plRetVal,
               [&] { return m_internal.IsDataCached(ulPID, sCompartmentId, sDataId, bCached); });
}

HRESULT STDMETHODCALLTYPE CDataStore::ListDataIds(ULONG ulPID, BSTR sCompartmentId,
                                                  SAFEARRAY** sDataIdList, LONG* plRetVal) {
  return Serve(kListDataIds, ulPID, {sCompartmentId}, plRetVal,
               [&] { return m_internal.ListDataIds(ulPID, sCompartmentId, sDataIdList); });
}

HRESULT STDMETHODCALLTYPE CDataStore::ListCompartmentIds(ULONG ulPID, BSTR sCompartmentId,
                                                         SAFEARRAY** sCompartmentIdList,
                                                         LONG* plRetVal) {
  return Serve(kListCompartmentIds, ulPID, {sCompartmentId}, plRetVal, [&] {
    return m_internal.ListCompartmentIds(ulPID, sCompartmentId, sCompartmentIdList);
  });
}

HRESULT STDMETHODCALLTYPE CDataStore::IsCompartmentCached(ULONG ulPID, BSTR sCompartmentId,
                                                          ULONG* pulCompartmentVersion,
                                                          ULONG* pulContentVersion, LONG* pbCached,
                                                          LONG* plRetVal) {
  return Serve(kIsCompartmentCached, ulPID, {sCompartmentId}, plRetVal, [&] {
    return m_internal.IsCompartmentCached(ulPID, sCompartmentId, pulCompartmentVersion,
                                          pulContentVersion, pbCached);
  });
}
