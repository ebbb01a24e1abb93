// The COM+ security call context interfaces of the Linux platform layer,
// with the interface identifiers of Windows. CoGetCallContext (objbase.h)
// hands out the context the host installed for the current call.
//
// The items of a security call context are read by name with get_Item:
// "NumCallers" (VT_I4), "Callers" (an object with ISecurityCallersColl,
// VT_DISPATCH), "DirectCaller" and "OriginalCaller" (identities); an
// identity's items include "SID" (the binary SID, VT_ARRAY | VT_UI1),
// "AccountName" (VT_BSTR) and "AuthenticationLevel" (VT_I4).
#pragma once

#include <windows.h>

#include <oleauto.h>

KELMYR_EXTERN_C const IID IID_ISecurityIdentityColl;
KELMYR_EXTERN_C const IID IID_ISecurityCallersColl;
KELMYR_EXTERN_C const IID IID_ISecurityCallContext;

#ifdef __cplusplus
struct ISecurityIdentityColl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(BSTR name, VARIANT* pItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppEnum) = 0;

 protected:
  ~ISecurityIdentityColl() = default;
};

struct ISecurityCallersColl : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(LONG lIndex, ISecurityIdentityColl** pObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppEnum) = 0;

 protected:
  ~ISecurityCallersColl() = default;
};

struct ISecurityCallContext : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Item(BSTR name, VARIANT* pItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsCallerInRole(BSTR bstrRole, VARIANT_BOOL* pfInRole) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsSecurityEnabled(VARIANT_BOOL* pfIsEnabled) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsUserInRole(VARIANT* pUser, BSTR bstrRole,
                                                 VARIANT_BOOL* pfInRole) = 0;

 protected:
  ~ISecurityCallContext() = default;
};
#endif
