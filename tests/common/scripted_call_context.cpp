#include "common/scripted_call_context.h"

#include <oleauto.h>
#include <sddl.h>

#include <cstring>

namespace {

// The common part of the objects the context hands out: reference
// counting, and no type information.
template <class I>
class CHandedOut : public I {
 public:
  explicit CHandedOut(std::shared_ptr<CScriptedCallContext::SShared> pShared)
      : m_pShared(std::move(pShared)) {
    ++m_pShared->liveObjects;
  }
  virtual ~CHandedOut() { --m_pShared->liveObjects; }

  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG refs = --m_refs;
    if (refs == 0) delete this;
    return static_cast<ULONG>(refs);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }

 protected:
  // Answers IUnknown, IDispatch and the object's own interface (when it has
  // one).
  HRESULT Query(REFIID riid, void** ppvObject, const IID* pOwn) {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        (pOwn != nullptr && IsEqualIID(riid, *pOwn))) {
      *ppvObject = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

  std::shared_ptr<CScriptedCallContext::SShared> m_pShared;

 private:
  std::atomic<LONG> m_refs{1};
};

class CIdentity final : public CHandedOut<ISecurityIdentityColl> {
 public:
  CIdentity(std::shared_ptr<CScriptedCallContext::SShared> pShared,
            CScriptedCallContext::SCaller caller, LONG lIndex)
      : CHandedOut(std::move(pShared)), m_caller(std::move(caller)), m_lIndex(lIndex) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return Query(riid, ppvObject, &IID_ISecurityIdentityColl);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) override {
    *plCount = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(BSTR name, VARIANT* pItem) override {
    if (pItem == nullptr) return E_POINTER;
    VariantInit(pItem);
    if (name == nullptr || std::basic_string<OLECHAR>(name) != OLESTR("SID")) {
      return DISP_E_MEMBERNOTFOUND;
    }
    m_pShared->sidsRead.push_back(m_lIndex);
    if (FAILED(m_caller.hrSid)) return m_caller.hrSid;
    if (m_caller.bSidWithoutArray) return S_OK;
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
  const LONG m_lIndex;
};

class CCallers final : public CHandedOut<ISecurityCallersColl> {
 public:
  CCallers(std::shared_ptr<CScriptedCallContext::SShared> pShared,
           const CScriptedCallContext& context)
      : CHandedOut(std::move(pShared)),
        m_callers(context.callers),
        m_hrCount(context.hrCount),
        m_lCount(context.countOverride.value_or(static_cast<LONG>(context.callers.size()))) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return Query(riid, ppvObject, &IID_ISecurityCallersColl);
  }
  HRESULT STDMETHODCALLTYPE get_Count(LONG* plCount) override {
    if (plCount == nullptr) return E_POINTER;
    if (FAILED(m_hrCount)) return m_hrCount;
    *plCount = m_lCount;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG lIndex, ISecurityIdentityColl** pObj) override {
    if (pObj == nullptr) return E_POINTER;
    *pObj = nullptr;
    if (lIndex < 0 || static_cast<size_t>(lIndex) >= m_callers.size()) return E_INVALIDARG;
    const CScriptedCallContext::SCaller& caller = m_callers[static_cast<size_t>(lIndex)];
    if (FAILED(caller.hrIdentity)) return caller.hrIdentity;
    if (caller.bNullIdentity) return S_OK;
    *pObj = new CIdentity(m_pShared, caller, lIndex);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown**) override { return E_NOTIMPL; }

 private:
  const std::vector<CScriptedCallContext::SCaller> m_callers;
  const HRESULT m_hrCount;
  const LONG m_lCount;
};

// An object in the "Callers" item that is not a callers collection, or
// whose query for one succeeds without an object.
class CNotCallers final : public CHandedOut<IDispatch> {
 public:
  CNotCallers(std::shared_ptr<CScriptedCallContext::SShared> pShared, bool bNullFromQuery)
      : CHandedOut(std::move(pShared)), m_bNullFromQuery(bNullFromQuery) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (m_bNullFromQuery && ppvObject != nullptr && IsEqualIID(riid, IID_ISecurityCallersColl)) {
      *ppvObject = nullptr;
      return S_OK;
    }
    return Query(riid, ppvObject, nullptr);
  }

 private:
  const bool m_bNullFromQuery;
};

}  // namespace

CScriptedCallContext::CScriptedCallContext() : m_pShared(std::make_shared<SShared>()) {}

CScriptedCallContext::~CScriptedCallContext() = default;

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

LONG CScriptedCallContext::Outstanding() const {
  return m_refs.load() - 1 + m_pShared->liveObjects.load();
}

std::vector<LONG> CScriptedCallContext::SidsRead() const { return m_pShared->sidsRead; }

HRESULT CScriptedCallContext::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  *ppvObject = nullptr;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, IID_ISecurityCallContext)) {
    *ppvObject = static_cast<ISecurityCallContext*>(this);
    AddRef();
    return S_OK;
  }
  return E_NOINTERFACE;
}

// The test owns the context: the count never reaches zero through COM.
ULONG CScriptedCallContext::AddRef() { return static_cast<ULONG>(++m_refs); }
ULONG CScriptedCallContext::Release() { return static_cast<ULONG>(--m_refs); }

HRESULT CScriptedCallContext::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}
HRESULT CScriptedCallContext::GetTypeInfo(UINT, LCID, ITypeInfo**) { return E_NOTIMPL; }
HRESULT CScriptedCallContext::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
  return E_NOTIMPL;
}
HRESULT CScriptedCallContext::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) {
  return E_NOTIMPL;
}

HRESULT CScriptedCallContext::get_Count(LONG* plCount) {
  if (plCount == nullptr) return E_POINTER;
  *plCount = 2;
  return S_OK;
}

HRESULT CScriptedCallContext::get_Item(BSTR name, VARIANT* pItem) {
  if (pItem == nullptr) return E_POINTER;
  VariantInit(pItem);
  const std::basic_string<OLECHAR> item = name != nullptr ? name : OLESTR("");
  if (item == OLESTR("NumCallers")) {
    if (FAILED(hrNumCallers)) return hrNumCallers;
    pItem->vt = VT_I4;
    pItem->lVal = static_cast<LONG>(callers.size());
    return S_OK;
  }
  if (item != OLESTR("Callers")) return DISP_E_MEMBERNOTFOUND;
  if (FAILED(hrCallers)) return hrCallers;
  switch (eCallers) {
    case ECallers::kEmpty:
      return S_OK;
    case ECallers::kCollection:
      pItem->pdispVal = new CCallers(m_pShared, *this);
      break;
    case ECallers::kWithoutCollection:
    case ECallers::kNullFromQuery:
      pItem->pdispVal = new CNotCallers(m_pShared, eCallers == ECallers::kNullFromQuery);
      break;
  }
  pItem->vt = VT_DISPATCH;
  return S_OK;
}

HRESULT CScriptedCallContext::get__NewEnum(IUnknown**) { return E_NOTIMPL; }
HRESULT CScriptedCallContext::IsCallerInRole(BSTR, VARIANT_BOOL*) { return E_NOTIMPL; }

HRESULT CScriptedCallContext::IsSecurityEnabled(VARIANT_BOOL* pfIsEnabled) {
  if (pfIsEnabled == nullptr) return E_POINTER;
  if (FAILED(hrIsSecurityEnabled)) return hrIsSecurityEnabled;
  *pfIsEnabled = bSecurityEnabled;
  return S_OK;
}

HRESULT CScriptedCallContext::IsUserInRole(VARIANT*, BSTR, VARIANT_BOOL*) { return E_NOTIMPL; }
