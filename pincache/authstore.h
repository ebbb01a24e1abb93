// CAuthStore: the COM object of the PIN store, a thin facade over its
// CInternalAuthStore (pincache/internalauthstore.h).
//
// Every interface method runs the caller trust check on the process id the
// client states, calls the internal operation of the same name when the
// caller is trusted, releases the [in] arguments when the argument
// ownership rule says the method owns them (datastore/storeownership.h),
// writes the outcome to *plRetVal when plRetVal is not null, and answers
// S_OK. An untrusted caller gets E_ACCESSDENIED and the store is not
// touched. The additional parameter "CheckClientCaller" is recognised by
// the store but never changes whether the check runs.
//
// The object is created with one reference, counted with interlocked
// operations, and answers QueryInterface for IUnknown, IDispatch and
// IAuthStore only; late-bound calls go through datastore/storedispatch.h.
#pragma once

#include <windows.h>

#include <atomic>

#include "datastore/dualobject.h"
#include "kelmyr_i.h"
#include "pincache/internalauthstore.h"

class CAuthStore final : public TDualObject<IAuthStore, IID_IAuthStore> {
 public:
  CAuthStore() noexcept = default;
  CAuthStore(const CAuthStore&) = delete;
  CAuthStore& operator=(const CAuthStore&) = delete;

  // The manager's operations, outside the interface and without a trust
  // check: start with the store identifier, end, and the fixed settings.
  HRESULT Begin(BSTR bstrStoreId);
  HRESULT End();
  HRESULT GetStoreInfo(ULONG* pnType, BOOL* pbEncrypted, BOOL* pbShared);
  // The session events reach the store through it.
  CInternalAuthStore& Internal() noexcept { return m_internal; }

  // IAuthStore
  HRESULT STDMETHODCALLTYPE SetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                   SAFEARRAY* pPINValue, SAFEARRAY* pAdditionalParameters,
                                   BSTR* pbstrPINSessionId, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE SetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                   BSTR bstrPINId, BSTR bstrPINSessionId,
                                                   SAFEARRAY* pPINValue,
                                                   SAFEARRAY* pAdditionalParameters,
                                                   LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetPIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                   SAFEARRAY* pAdditionalParameters, SAFEARRAY** pPINValue,
                                   BSTR* pbstrPINSessionId, INT* pnPINState,
                                   LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE GetPINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                   BSTR bstrPINId, BSTR bstrPINSessionId,
                                                   SAFEARRAY* pAdditionalParameters,
                                                   SAFEARRAY** pPINValue, INT* pnPINState,
                                                   LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE IsPINCached(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                        SAFEARRAY* pAdditionalParameters, BSTR* pbstrPINSessionId,
                                        INT* pnPINState, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE IsPINCachedFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                        BSTR bstrPINId, BSTR bstrPINSessionId,
                                                        SAFEARRAY* pAdditionalParameters,
                                                        INT* pnPINState, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE RemovePIN(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                      SAFEARRAY* pAdditionalParameters, LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE RemovePINFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                      BSTR bstrPINId, BSTR bstrPINSessionId,
                                                      SAFEARRAY* pAdditionalParameters,
                                                      LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE RemoveCompartment(ULONG ulPID, BSTR bstrCompartmentId,
                                              SAFEARRAY* pAdditionalParameters,
                                              LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE FlushStore(ULONG ulPID, SAFEARRAY* pAdditionalParameters,
                                       LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE ChangePINState(ULONG ulPID, BSTR bstrCompartmentId, BSTR bstrPINId,
                                           SAFEARRAY* pAdditionalParameters, INT nPINState,
                                           LONG* plRetVal) override;
  HRESULT STDMETHODCALLTYPE ChangePINStateFromPINSessionId(ULONG ulPID, BSTR bstrCompartmentId,
                                                           BSTR bstrPINId, BSTR bstrPINSessionId,
                                                           SAFEARRAY* pAdditionalParameters,
                                                           INT nPINState, LONG* plRetVal) override;

 private:
  ~CAuthStore() = default;

  CInternalAuthStore m_internal;
};
