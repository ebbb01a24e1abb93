#include "common/scripted_call_context.h"

#include <oleauto.h>
#include <sddl.h>

#include <cstring>

namespace {

using SShared = CScriptedCallContext::SShared;

// An object the context hands out: counted among the live objects until
// its last reference is released.
template <class I>
class CHandedOut : public CScriptedDispatch<I> {
 public:
  explicit CHandedOut(std::shared_ptr<SShared> pShared) : m_pShared(std::move(pShared)) {
    ++m_pShared->liveObjects;
  }
  virtual ~CHandedOut() { --m_pShared->liveObjects; }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }

 protected:
  std::shared_ptr<SShared> m_pShared;

 private:
  std::atomic<LONG> m_refs{1};
};

class CIdentity final : public CHandedOut<ISecurityIdentityColl> {
 public:
  CIdentity(std::shared_ptr<SShared> pShared, CScriptedCallContext::SCaller caller)
      : CHandedOut(std::move(pShared)), m_caller(std::move(caller)) {}

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
  const CScriptedCallContext::SCaller m_caller;
};

// The object in the "Callers" item: a callers collection, or an object
// without one, or one whose query for one succeeds without an object.
class CCallers final : public CHandedOut<ISecurityCallersColl> {
 public:
  CCallers(std::shared_ptr<SShared> pShared, const CScriptedCallContext& context)
      : CHandedOut(std::move(pShared)),
        m_eCallers(context.eCallers),
        m_callers(context.callers),
        m_hrCount(context.hrCount),
        m_lCount(context.countOverride.value_or(static_cast<LONG>(context.callers.size()))) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    using ECallers = CScriptedCallContext::ECallers;
    if (m_eCallers == ECallers::kNullFromQuery && IsEqualIID(riid, IID_ISecurityCallersColl)) {
      *ppvObject = nullptr;
      return S_OK;
    }
    return Query(riid, ppvObject,
                 m_eCallers == ECallers::kCollection ? &IID_ISecurityCallersColl : nullptr);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) override {
    if (SUCCEEDED(m_hrCount)) *plCount = m_lCount;
    return m_hrCount;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG lIndex, ISecurityIdentityColl** pObj) override {
    *pObj = nullptr;
    if (lIndex < 0 || static_cast<size_t>(lIndex) >= m_callers.size()) return E_INVALIDARG;
    const CScriptedCallContext::SCaller& caller = m_callers[static_cast<size_t>(lIndex)];
    if (SUCCEEDED(caller.hrIdentity) && !caller.bNullIdentity) {
      *pObj = new CIdentity(m_pShared, caller);
    }
    return caller.hrIdentity;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  const CScriptedCallContext::ECallers m_eCallers;
  const std::vector<CScriptedCallContext::SCaller> m_callers;
  const HRESULT m_hrCount;
  const LONG m_lCount;
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
  pItem->pdispVal = new CCallers(m_pShared, *this);
  return S_OK;
}

HRESULT CScriptedCallContext::IsSecurityEnabled(VARIANT_BOOL* pfIsEnabled) {
  if (SUCCEEDED(hrIsSecurityEnabled)) *pfIsEnabled = bSecurityEnabled;
  return hrIsSecurityEnabled;
}
