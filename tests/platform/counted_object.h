// A COM object of the automation conformance suites that counts the
// references held on it, so that a test can see which references an
// automation function takes and gives back. It lives on the stack and is
// never deleted through Release.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include "common/scripted_dispatch.h"

class CCountedObject : public CScriptedDispatch<IDispatch> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return Query(riid, ppv, nullptr);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_cRefs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_cRefs); }

  IUnknown* Unknown() { return static_cast<IUnknown*>(this); }

  // References held by others: the object starts with one, its owner's.
  LONG m_cRefs = 1;
};
