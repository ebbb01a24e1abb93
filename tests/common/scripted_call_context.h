// CScriptedCallContext: a COM+ security call context whose answers the test
// decides: security on or off, the items "NumCallers" and "Callers", and
// the chain of callers with their "SID" items, each read scriptable to fail
// or to hold nothing. The objects it hands out count themselves, so that a
// test can see that everything obtained was released, and answer from the
// context, which outlives them.
//
// A test owns the context (one reference, its own) and hands it to the
// scripted machine (pCallContext) or installs it for the thread's call
// with CoSwitchCallContext.
#pragma once

#include <windows.h>

#include <comsvcs.h>
#include <objbase.h>

#include <atomic>
#include <optional>
#include <vector>

#include "common/scripted_dispatch.h"

class CScriptedCallContext final : public CScriptedDispatch<ISecurityCallContext> {
 public:
  struct SCaller {
    std::vector<BYTE> sid;          // the bytes of the identity's "SID" item
    HRESULT hrIdentity = S_OK;      // the callers collection's get_Item(index)
    bool bNullIdentity = false;     // get_Item(index) succeeds with no object
    HRESULT hrSid = S_OK;           // the identity's get_Item("SID")
    bool bSidWithoutArray = false;  // the "SID" item holds no array
  };

  // What the "Callers" item holds.
  enum class ECallers {
    kCollection,         // a collection of the callers below
    kEmpty,              // VT_EMPTY: no object
    kWithoutCollection,  // an object without ISecurityCallersColl
    kNullFromQuery,      // an object whose query succeeds with null
  };

  // A caller whose "SID" holds the SID of this text.
  static SCaller Caller(LPCWSTR pszSid);

  HRESULT hrIsSecurityEnabled = S_OK;
  VARIANT_BOOL bSecurityEnabled = VARIANT_TRUE;
  HRESULT hrNumCallers = S_OK;
  HRESULT hrCallers = S_OK;
  ECallers eCallers = ECallers::kCollection;
  HRESULT hrCount = S_OK;
  std::optional<LONG> countOverride;  // answered instead of the number of callers
  std::vector<SCaller> callers;

  // References on this context besides the test's own, plus the objects it
  // handed out that are still alive.
  LONG Outstanding() const { return m_refs.load() - 1 + m_liveObjects.load(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return Query(riid, ppvObject, &IID_ISecurityCallContext);
  }
  // The test owns the context: the count never reaches zero through COM.
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Item(BSTR name, VARIANT* pItem) override;
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsCallerInRole(BSTR, VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsSecurityEnabled(VARIANT_BOOL* pfIsEnabled) override;
  HRESULT STDMETHODCALLTYPE IsUserInRole(VARIANT*, BSTR, VARIANT_BOOL*) override {
    return E_NOTIMPL;
  }

 private:
  std::atomic<LONG> m_refs{1};
  std::atomic<LONG> m_liveObjects{0};
};
