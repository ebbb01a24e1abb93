#include "common/scripted_call_context.h"

#include <oleauto.h>
#include <sddl.h>

#include <cstring>

namespace {

using SCaller = CScriptedCallContext::SCaller;

// An object the context hands out: counted among the live objects until
// its last reference is released.
template <class I>
class CHandedOut : public CScriptedDispatch<I> {
 public:
  explicit CHandedOut(std::atomic<LONG>& live) : m_live(live) { ++m_live; }
  virtual ~CHandedOut() { --m_live; }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

 protected:
  std::atomic<LONG>& m_live;

 private:
  std::atomic<LONG> m_refs{1};
};

class CIdentity final : public CHandedOut<ISecurityIdentityColl> {
 public:
  CIdentity(std::atomic<LONG>& live, const SCaller& caller) : CHandedOut(live), m_caller(caller) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return Query(riid, ppvObject, &IID_ISecurityIdentityColl);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Item(BSTR name, VARIANT* pItem) override {
    VariantInit(pItem);
    if (name == nullptr || std::basic_string<OLECHAR>(name) != OLESTR("SID")) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (FAILED(m_caller.hrSid) || m_caller.bSidWithoutArray) return m_caller.hrSid;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(m_caller.sid.size()));
    if (psa == nullptr) return E_OUTOFMEMORY;
    if (!m_caller.sid.empty()) std::memcpy(psa->pvData, m_caller.sid.data(), m_caller.sid.size());
    pItem->vt = VT_ARRAY | VT_UI1;
    pItem->parray = psa;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  const SCaller& m_caller;
};

// The object in the "Callers" item: a callers collection, or an object
// without one, or one whose query for one succeeds without an object.
class CCallers final : public CHandedOut<ISecurityCallersColl> {
 public:
  CCallers(std::atomic<LONG>& live, const CScriptedCallContext& context)
      : CHandedOut(live), m_context(context) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    using ECallers = CScriptedCallContext::ECallers;
    if (m_context.eCallers == ECallers::kNullFromQuery &&
        IsEqualIID(riid, IID_ISecurityCallersColl)) {
      *ppvObject = nullptr;
      return S_OK;
    }
    return Query(riid, ppvObject,
                 m_context.eCallers == ECallers::kCollection ? &IID_ISecurityCallersColl : nullptr);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) override {
    if (SUCCEEDED(m_context.hrCount)) {
      *plCount = m_context.countOverride.value_or(static_cast<LONG>(m_context.callers.size()));
    }
    return m_context.hrCount;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG lIndex, ISecurityIdentityColl** pObj) override {
    *pObj = nullptr;
    if (lIndex < 0 || static_cast<size_t>(lIndex) >= m_context.callers.size()) return E_INVALIDARG;
    const SCaller& caller = m_context.callers[static_cast<size_t>(lIndex)];
    if (SUCCEEDED(caller.hrIdentity) && !caller.bNullIdentity)
      *pObj = new CIdentity(m_live, caller);
    return caller.hrIdentity;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  const CScriptedCallContext& m_context;
};

}  // namespace

CScriptedCallContext::SCaller CScriptedCallContext::Caller(LPCWSTR pszSid) {
  SCaller caller;
  PSID pSid = nullptr;
  if (ConvertStringSidToSidW(pszSid, &pSid)) {
    const BYTE* p = static_cast<const BYTE*>(pSid);
    caller.sid.assign(p, p + GetLengthSid(pSid));
    LocalFree(pSid);
  }
  return caller;
}

HRESULT CScriptedCallContext::get_Item(BSTR name, VARIANT* pItem) {
  VariantInit(pItem);
  const std::basic_string<OLECHAR> item = name != nullptr ? name : OLESTR("");
  if (item == OLESTR("NumCallers")) {
    if (FAILED(hrNumCallers)) return hrNumCallers;
    pItem->vt = VT_I4;
    pItem->lVal = static_cast<LONG>(callers.size());
    return S_OK;
  }
  if (item != OLESTR("Callers")) return DISP_E_MEMBERNOTFOUND;
  if (FAILED(hrCallers) || eCallers == ECallers::kEmpty) return hrCallers;
  pItem->vt = VT_DISPATCH;
  pItem->pdispVal = new CCallers(m_liveObjects, *this);
  return S_OK;
}

HRESULT CScriptedCallContext::IsSecurityEnabled(VARIANT_BOOL* pfIsEnabled) {
  if (SUCCEEDED(hrIsSecurityEnabled)) *pfIsEnabled = bSecurityEnabled;
  return hrIsSecurityEnabled;
}
