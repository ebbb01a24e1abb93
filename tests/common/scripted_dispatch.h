// CScriptedDispatch: IDispatch without type information and a query for
// IUnknown, IDispatch and the object's own interface (when it has one):
// what the tests' scripted and counted COM objects share.
#pragma once

#include <windows.h>

#include <oleauto.h>

template <class I>
class CScriptedDispatch : public I {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

 protected:
  HRESULT Query(REFIID riid, void** ppvObject, const IID* pOwn) {
    *ppvObject = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
        (pOwn == nullptr || !IsEqualIID(riid, *pOwn))) {
      return E_NOINTERFACE;
    }
    *ppvObject = static_cast<I*>(this);
    this->AddRef();
    return S_OK;
  }
};
