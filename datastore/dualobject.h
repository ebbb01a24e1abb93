// TDualObject: the IUnknown and IDispatch half of an object serving one dual
// interface I, shared by the manager, the data stores and the PIN store.
// QueryInterface answers IUnknown, IDispatch and I (identifier iidI) only,
// always with the one I pointer; the reference count is interlocked, since
// several threads may hold references; late-bound calls go through the
// shared dispatcher (datastore/storedispatch.h). An object is created with
// one reference and deleted by its last Release.
//
// Every such object counts itself among the objects alive in the process
// from its construction to the very end of its destruction: the module may
// not be unloaded while one lives, since its code serves it.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <atomic>

#include "datastore/storedispatch.h"

// The objects of the three classes alive in the process.
LONG DualObjectsAlive() noexcept;
void CountDualObject(LONG lDelta) noexcept;

template <class I, const IID& iidI>
class TDualObject : public I {
 public:
  TDualObject() noexcept { CountDualObject(+1); }
  TDualObject(const TDualObject&) = delete;
  TDualObject& operator=(const TDualObject&) = delete;
  virtual ~TDualObject() { CountDualObject(-1); }

  // True while a single reference reaches the object.
  bool HeldOnce() const noexcept { return m_cRef.load(std::memory_order_acquire) == 1; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
        !IsEqualIID(riid, iidI)) {
      *ppvObject = nullptr;
      return E_NOINTERFACE;
    }
    *ppvObject = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG cRef = --m_cRef;
    if (cRef == 0) delete this;
    return cRef;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    return StoreGetTypeInfoCount(iidI, pctinfo);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) override {
    return StoreGetTypeInfo(iidI, iTInfo, ppTInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    return StoreGetIDsOfNames(iidI, riid, rgszNames, cNames, rgDispId);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    return StoreInvoke(iidI, static_cast<I*>(this), dispIdMember, riid, wFlags, pDispParams,
                       pVarResult, pExcepInfo, puArgErr);
  }

 protected:
  std::atomic<ULONG> m_cRef{1};
};
