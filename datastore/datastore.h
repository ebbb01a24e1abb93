// CDataStore: the COM object of one data store, a thin facade over its
// CInternalDataStore (datastore/internaldatastore.h).
//
// Every interface method runs the caller trust check on the process id the
// client states, calls the internal operation of the same name when the
// caller is trusted, releases the [in] arguments when the argument
// ownership rule says the method owns them (datastore/storeownership.h),
// writes the outcome to *plRetVal when plRetVal is not null, and answers
// S_OK. An untrusted caller gets E_ACCESSDENIED and the store is not
// touched.
//
// The object is created with one reference, counted with interlocked
// operations, and answers QueryInterface for IUnknown, IDispatch and
// IDataStore only; late-bound calls go through datastore/storedispatch.h.
#pragma once

#include <windows.h>

#include <atomic>

#include "datastore/dualobject.h"
#include "datastore/internaldatastore.h"
#include "kelmyr_i.h"

class CDataStore final : public TDualObject<IDataStore, IID_IDataStore> {
 public:
  CDataStore() noexcept = default;
  CDataStore(const CDataStore&) = delete;
  CDataStore& operator=(const CDataStore&) = delete;

  // The manager starts (Begin) and ends (End) the store through it.
  CInternalDataStore& Internal() noexcept { return m_internal; }

  // IDataStore
  HRESULT STDMETHODCALLTYPE SetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                    SAFEARRAY* ucData, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                    SAFEARRAY** ucData, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE RemoveData(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                       LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE CreateCompartment(ULONG ulPID, BSTR sCompartmentId,
                                              LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE TouchCompartment(ULONG ulPID, BSTR sCompartmentId,
                                             LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE RemoveCompartment(ULONG ulPID, BSTR sCompartmentId,
                                              LONG bRemoveVersions, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE FlushStore(ULONG ulPID, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE IsDataCached(ULONG ulPID, BSTR sCompartmentId, BSTR sDataId,
                                         LONG* bCached, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE ListDataIds(ULONG ulPID, BSTR sCompartmentId, SAFEARRAY** sDataIdList,
                                        LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE ListCompartmentIds(ULONG ulPID, BSTR sCompartmentId,
                                               SAFEARRAY** sCompartmentIdList,
                                               LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE IsCompartmentCached(ULONG ulPID, BSTR sCompartmentId,
                                                ULONG* pulCompartmentVersion,
                                                ULONG* pulContentVersion, LONG* pbCached,
                                                LONG* plRetVal) override;

 private:
  ~CDataStore() = default;

  CInternalDataStore m_internal;
};
