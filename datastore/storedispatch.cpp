#include "datastore/storedispatch.h"

#include "datastore/storeownership.h"
#include "kelmyr_i.h"

namespace {

constexpr UINT kMaxParams = 8;

// The index in rgvarg of the argument for parameter i: positional arguments
// come last to first, a named one by its position; cArgs when none is given.
UINT ArgumentOf(const DISPPARAMS& params, UINT i) {
  const UINT cArgs = params.cArgs, cNamed = params.cNamedArgs;
  if (cNamed > cArgs) return cArgs;
  if (i < cArgs - cNamed) return cArgs - 1 - i;
  UINT iArg = cArgs;
  for (UINT k = 0; k < cNamed && params.rgdispidNamedArgs != nullptr; ++k) {
    if (params.rgdispidNamedArgs[k] == static_cast<DISPID>(i)) iArg = k;
  }
  return iArg;
}

// An out array as a script reads it, in place: typed by its own elements,
// and an array of BSTR (what the lists declared as unsigned shorts hold) as
// an array of variants holding them, the only arrays script engines index;
// no array at all as VT_EMPTY.
HRESULT ForScript(VARIANT& value) {
  if ((V_VT(&value) & VT_ARRAY) == 0) return S_OK;
  SAFEARRAY* const psa = V_ARRAY(&value);
  VARTYPE vt = VT_EMPTY;
  if (psa == nullptr) V_VT(&value) = VT_EMPTY;
  if (psa == nullptr || FAILED(SafeArrayGetVartype(psa, &vt))) return S_OK;
  V_VT(&value) = VT_ARRAY | vt;
  if (vt != VT_BSTR || SafeArrayGetDim(psa) != 1) return S_OK;
  const SAFEARRAYBOUND bound = psa->rgsabound[0];
  SAFEARRAY* const psaVariants = SafeArrayCreateVector(VT_VARIANT, bound.lLbound, bound.cElements);
  if (psaVariants == nullptr) return E_OUTOFMEMORY;
  BSTR* pTexts = nullptr;
  VARIANT* pVariants = nullptr;
  HRESULT hr = SafeArrayAccessData(psa, reinterpret_cast<void**>(&pTexts));
  if (SUCCEEDED(hr)) {
    hr = SafeArrayAccessData(psaVariants, reinterpret_cast<void**>(&pVariants));
    if (FAILED(hr)) SafeArrayUnaccessData(psa);
  }
  if (FAILED(hr)) {
    SafeArrayDestroy(psaVariants);
    return hr;
  }
  for (ULONG i = 0; i < bound.cElements; ++i) {
    V_VT(&pVariants[i]) = VT_BSTR, V_BSTR(&pVariants[i]) = pTexts[i];
    pTexts[i] = nullptr;
  }
  SafeArrayUnaccessData(psaVariants);
  SafeArrayUnaccessData(psa);
  SafeArrayDestroy(psa);
  V_VT(&value) = VT_ARRAY | VT_VARIANT, V_ARRAY(&value) = psaVariants;
  return S_OK;
}

// Out parameters given as a reference to a variant, as a script passes its
// variables: for the call each is bound to a temporary of the parameter's
// own type, and after a successful call what the method wrote replaces the
// variant's old contents. Every other argument is passed on as given, so
// the arguments keep their positions for puArgErr.
class CVariantOuts {
 public:
  CVariantOuts(const SStoreDispatchParam* pParams, UINT cParams, DISPPARAMS* pDispParams)
      : m_pCaller(pDispParams) {
    if (pDispParams == nullptr || pDispParams->rgvarg == nullptr) return;
    const UINT cArgs = pDispParams->cArgs;
    if (cArgs > cParams || cArgs > kMaxParams) return;  // a bad count, answered by the call
    for (UINT i = 0; i < cParams; ++i) {
      const UINT k = ArgumentOf(*pDispParams, i);
      const VARIANTARG* pSource = k < cArgs ? &pDispParams->rgvarg[k] : nullptr;
      if ((pParams[i].wFlags & (PARAMFLAG_FOUT | PARAMFLAG_FRETVAL)) != PARAMFLAG_FOUT ||
          (pParams[i].vt & VT_BYREF) == 0 || pSource == nullptr ||
          V_VT(pSource) != (VT_BYREF | VT_VARIANT) || V_VARIANTREF(pSource) == nullptr) {
        continue;
      }
      if (m_pCaller->rgvarg != m_args) {
        for (UINT j = 0; j < cArgs; ++j) m_args[j] = pDispParams->rgvarg[j];
        m_params = *pDispParams;
        m_params.rgvarg = m_args;
        m_pCaller = &m_params;
      }
      // An INT is bound as its 32-bit form, VT_I4, as the automation layer
      // takes it.
      const VARTYPE vt = pParams[i].vt & ~VT_BYREF;
      V_VT(&m_values[k]) = vt == VT_INT ? VARTYPE{VT_I4} : vt;
      V_VT(&m_args[k]) = VT_BYREF | V_VT(&m_values[k]);
      V_BYREF(&m_args[k]) = &V_I8(&m_values[k]);
      m_pTargets[k] = V_VARIANTREF(pSource);
    }
  }
  ~CVariantOuts() {
    for (VARIANT& value : m_values) VariantClear(&value);
  }
  CVariantOuts(const CVariantOuts&) = delete;
  CVariantOuts& operator=(const CVariantOuts&) = delete;

  DISPPARAMS* Params() const { return m_pCaller; }

  // Answers hr, the outcome of the call; after a successful one each out
  // value moves into its variant, made readable for a script first.
  HRESULT Deliver(HRESULT hr) {
    if (FAILED(hr)) return hr;
    for (UINT k = 0; k < kMaxParams; ++k) {
      VARIANT& value = m_values[k];
      if (m_pTargets[k] == nullptr) continue;
      HRESULT hrMove = ForScript(value);
      if (SUCCEEDED(hrMove)) hrMove = VariantClear(m_pTargets[k]);
      if (FAILED(hrMove)) {
        hr = hrMove;  // the value is released with the others
        continue;
      }
      *m_pTargets[k] = value;
      V_VT(&value) = VT_EMPTY;
    }
    return hr;
  }

 private:
  DISPPARAMS* m_pCaller;  // the arguments to call with
  DISPPARAMS m_params{};
  VARIANTARG m_args[kMaxParams]{};
  VARIANT m_values[kMaxParams]{};  // VT_EMPTY where no temporary is bound
  VARIANT* m_pTargets[kMaxParams]{};
};

}  // namespace

#ifdef _WIN32

#include <atomic>

namespace {

// The type information of the three interfaces, read once per process from
// the type library resource of the module holding this code. A failed load
// is kept too: every later call answers it.
struct STypeInfos {
  HRESULT hr = E_FAIL;
  ITypeInfo* pInfo[3] = {};
};

const IID* const kInterfaces[3] = {&IID_IDataStoreManager, &IID_IDataStore, &IID_IAuthStore};

STypeInfos LoadTypeInfos() {
  STypeInfos infos;
  HMODULE hModule = nullptr;
  WCHAR szPath[MAX_PATH];
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LoadTypeInfos), &hModule)) {
    infos.hr = HRESULT_FROM_WIN32(GetLastError());
    return infos;
  }
  const DWORD cch = GetModuleFileNameW(hModule, szPath, MAX_PATH);
  if (cch == 0 || cch >= MAX_PATH) {
    infos.hr = cch == 0 ? HRESULT_FROM_WIN32(GetLastError()) : E_FAIL;
    return infos;
  }
  ITypeLib* pLib = nullptr;
  infos.hr = LoadTypeLibEx(szPath, REGKIND_NONE, &pLib);
  if (FAILED(infos.hr)) return infos;
  for (int i = 0; i < 3 && SUCCEEDED(infos.hr); ++i) {
    infos.hr = pLib->GetTypeInfoOfGuid(*kInterfaces[i], &infos.pInfo[i]);
  }
  pLib->Release();
  if (FAILED(infos.hr)) {
    for (ITypeInfo*& pInfo : infos.pInfo) {
      if (pInfo != nullptr) pInfo->Release();
      pInfo = nullptr;
    }
  }
  return infos;
}

std::atomic<bool> gbTypeInfosLoaded{false};

// Loaded at the first use and kept until the module is unloaded.
STypeInfos& TypeInfos() {
  static STypeInfos infos = [] {
    STypeInfos loaded = LoadTypeInfos();
    gbTypeInfosLoaded = true;
    return loaded;
  }();
  return infos;
}

// The type information of interface iid.
HRESULT TypeInfoOf(REFIID iid, ITypeInfo** ppInfo) {
  const STypeInfos& infos = TypeInfos();
  *ppInfo = nullptr;
  if (FAILED(infos.hr)) return infos.hr;
  for (int i = 0; i < 3; ++i) {
    if (IsEqualIID(iid, *kInterfaces[i])) {
      *ppInfo = infos.pInfo[i];
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

// The parameters of method id into params; their number, 0 for no such
// method or one with more than kMaxParams.
UINT ParamsOf(ITypeInfo* pInfo, DISPID id, SStoreDispatchParam* params) {
  TYPEATTR* pAttr = nullptr;
  if (FAILED(pInfo->GetTypeAttr(&pAttr))) return 0;
  const UINT cFuncs = pAttr->cFuncs;
  pInfo->ReleaseTypeAttr(pAttr);
  UINT cParams = 0;
  for (UINT f = 0; f < cFuncs; ++f) {
    FUNCDESC* pFunc = nullptr;
    if (FAILED(pInfo->GetFuncDesc(f, &pFunc))) return 0;
    const bool bFound = pFunc->memid == id && pFunc->invkind == INVOKE_FUNC;
    if (bFound && static_cast<UINT>(pFunc->cParams) <= kMaxParams) {
      cParams = pFunc->cParams;
      for (UINT i = 0; i < cParams; ++i) {
        const ELEMDESC& e = pFunc->lprgelemdescParam[i];
        params[i] = {StoreVtOf(e.tdesc), e.paramdesc.wParamFlags};
      }
    }
    pInfo->ReleaseFuncDesc(pFunc);
    if (bFound) break;
  }
  return cParams;
}

// Whether an argument is a referenced variant, which an out parameter may be.
bool PassesVariantRef(const DISPPARAMS* pDispParams) {
  if (pDispParams == nullptr || pDispParams->rgvarg == nullptr) return false;
  for (UINT k = 0; k < pDispParams->cArgs; ++k) {
    if (V_VT(&pDispParams->rgvarg[k]) == (VT_BYREF | VT_VARIANT)) return true;
  }
  return false;
}

}  // namespace

// VT_BYREF for a pointer, VT_ARRAY for a SAFEARRAY, VT_DISPATCH for an
// interface (those of this library are all dual).
VARTYPE StoreVtOf(const TYPEDESC& t) {
  if (t.vt == VT_SAFEARRAY) return VT_ARRAY | StoreVtOf(*t.lptdesc);
  if (t.vt == VT_PTR) {
    return (t.lptdesc->vt == VT_USERDEFINED ? 0 : VT_BYREF) | StoreVtOf(*t.lptdesc);
  }
  return t.vt == VT_USERDEFINED ? VARTYPE{VT_DISPATCH} : t.vt;
}

void StoreReleaseTypeInfo() noexcept {
  if (!gbTypeInfosLoaded) return;
  STypeInfos& infos = TypeInfos();
  for (ITypeInfo*& pInfo : infos.pInfo) {
    if (pInfo != nullptr) pInfo->Release();
    pInfo = nullptr;
  }
  infos.hr = E_UNEXPECTED;
}

HRESULT StoreGetTypeInfoCount(REFIID iid, UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  ITypeInfo* pInfo = nullptr;
  *pctinfo = SUCCEEDED(TypeInfoOf(iid, &pInfo)) ? 1 : 0;
  return S_OK;
}

HRESULT StoreGetTypeInfo(REFIID iid, UINT iTInfo, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  const HRESULT hr = TypeInfoOf(iid, ppTInfo);
  if (SUCCEEDED(hr)) (*ppTInfo)->AddRef();
  return hr;
}

HRESULT StoreGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                           DISPID* rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* pInfo = nullptr;
  const HRESULT hr = TypeInfoOf(iid, &pInfo);
  return FAILED(hr) ? hr : DispGetIDsOfNames(pInfo, rgszNames, cNames, rgDispId);
}

HRESULT StoreInvoke(REFIID iid, void* pInterface, DISPID dispIdMember, REFIID riid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                    UINT* puArgErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* pInfo = nullptr;
  const HRESULT hr = TypeInfoOf(iid, &pInfo);
  if (FAILED(hr)) return hr;
  // The method's parameters are looked up only for a call that needs them.
  SStoreDispatchParam params[kMaxParams];
  const UINT cParams = PassesVariantRef(pDispParams) ? ParamsOf(pInfo, dispIdMember, params) : 0;
  CVariantOuts outs(params, cParams, pDispParams);
  const CLateBoundCall lateBound;
  return outs.Deliver(DispInvoke(pInterface, pInfo, dispIdMember, wFlags, outs.Params(), pVarResult,
                                 pExcepInfo, puArgErr));
}

#else  // the native dispatch table

#include <limits>
#include <string>

namespace {

bool WideEqualNoCase(const OLECHAR* a, const OLECHAR* b) {
  const auto fold = [](OLECHAR c) { return c >= 'a' && c <= 'z' ? OLECHAR(c - 'a' + 'A') : c; };
  for (; *a != 0 && fold(*a) == fold(*b); ++a, ++b) {
  }
  return fold(*a) == fold(*b);
}

// The integer a variant holds, or the decimal number its text spells
// (VT_EMPTY reads as 0).
bool IntegerOf(const VARIANT& v, LONGLONG& value) {
  switch (V_VT(&v)) {
    case VT_EMPTY:
      value = 0;
      return true;
    case VT_I1:
      value = v.cVal;
      return true;
    case VT_I2:
      value = v.iVal;
      return true;
    case VT_BOOL:
      value = v.boolVal;
      return true;
    case VT_I4:
    case VT_INT:
      value = v.lVal;
      return true;
    case VT_I8:
      value = v.llVal;
      return true;
    case VT_UI1:
      value = v.bVal;
      return true;
    case VT_UI2:
      value = v.uiVal;
      return true;
    case VT_UI4:
    case VT_UINT:
      value = v.ulVal;
      return true;
    case VT_UI8:
      if (v.ullVal > static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max())) return false;
      value = static_cast<LONGLONG>(v.ullVal);
      return true;
    case VT_BSTR: {
      const OLECHAR* p = V_BSTR(&v);
      if (p == nullptr) return false;
      const bool bNegative = *p == '-';
      if (bNegative) ++p;
      if (*p == 0) return false;
      ULONGLONG u = 0;
      for (; *p >= '0' && *p <= '9'; ++p) {
        u = u * 10 + static_cast<ULONGLONG>(*p - '0');
        if (u > (1ull << 40)) return false;  // far out of any parameter's range
      }
      value = bNegative ? -static_cast<LONGLONG>(u) : static_cast<LONGLONG>(u);
      return *p == 0;
    }
    default:
      return false;
  }
}

// Converts an [in] value to the declared type vt, in place. Arrays must be
// of the declared type exactly; a four-byte integer passes to a four-byte
// parameter bit for bit, as the automation layer passes it; other numbers
// must fit.
HRESULT ConvertInPlace(VARIANT& value, VARTYPE vt) {
  const VARTYPE have = V_VT(&value);
  if (have == vt) return S_OK;
  LONGLONG n = 0;
  if ((vt & VT_ARRAY) != 0 || !IntegerOf(value, n)) return DISP_E_TYPEMISMATCH;
  if (vt == VT_BSTR) {
    const std::string text = std::to_string(n);
    std::u16string wide(text.begin(), text.end());
    const BSTR bstr = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.c_str()),
                                        static_cast<UINT>(wide.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    VariantClear(&value);
    V_VT(&value) = VT_BSTR, V_BSTR(&value) = bstr;
    return S_OK;
  }
  const bool bFourBytes = have == VT_I4 || have == VT_INT || have == VT_UI4 || have == VT_UINT;
  const bool bFits = bFourBytes || (vt == VT_UI4 ? n >= 0 && n <= 0xFFFFFFFFll
                                                 : n >= std::numeric_limits<LONG>::min() &&
                                                       n <= std::numeric_limits<LONG>::max());
  if (!bFits) return DISP_E_OVERFLOW;
  VariantClear(&value);
  V_VT(&value) = vt, V_I8(&value) = 0, V_UI4(&value) = static_cast<ULONG>(n);
  return S_OK;
}

// An [in] argument (by value, by reference or in a referenced variant)
// converted to the declared type vt, into out, which then owns its value.
HRESULT Coerce(const VARIANT& source, VARTYPE vt, VARIANT& out) {
  const VARIANT* pSource = &source;
  if (V_VT(pSource) == (VT_BYREF | VT_VARIANT)) {
    pSource = V_VARIANTREF(pSource);
    if (pSource == nullptr) return DISP_E_TYPEMISMATCH;
  }
  VARIANT value;
  VariantInit(&value);
  HRESULT hr = VariantCopyInd(&value, pSource);
  if (SUCCEEDED(hr) && vt == VT_BSTR && V_VT(&value) == VT_EMPTY) {
    V_BSTR(&value) = SysAllocStringLen(OLESTR(""), 0);
    V_VT(&value) = V_BSTR(&value) != nullptr ? VT_BSTR : VT_EMPTY;
    if (V_VT(&value) == VT_EMPTY) hr = E_OUTOFMEMORY;
  }
  if (SUCCEEDED(hr)) hr = ConvertInPlace(value, vt);
  if (FAILED(hr)) {
    VariantClear(&value);
    return hr;
  }
  out = value;
  return S_OK;
}

// The arguments of one call converted to the declared types, with storage
// for the retval; the converted values are released after the call.
class CCallArguments {
 public:
  explicit CCallArguments(const SStoreDispatchMember& member) : m_member(member) {
    for (VARIANTARG& arg : m_args) VariantInit(&arg);
  }
  ~CCallArguments() {
    for (UINT i = 0; i < m_member.cParams; ++i) {
      if ((m_member.pParams[i].vt & VT_BYREF) == 0) VariantClear(&m_args[i]);
    }
  }
  CCallArguments(const CCallArguments&) = delete;
  CCallArguments& operator=(const CCallArguments&) = delete;

  // Binds parameter i to its source argument. An out parameter takes only
  // a reference of exactly its declared type.
  HRESULT Bind(UINT i, const VARIANT& source) {
    const VARTYPE vt = m_member.pParams[i].vt;
    if ((vt & VT_BYREF) == 0) return Coerce(source, vt, m_args[i]);
    // An INT is passed by reference as its 32-bit form, VT_I4, as the type
    // library's automation takes it.
    if (V_VT(&source) != (vt == (VT_BYREF | VT_INT) ? VT_BYREF | VT_I4 : vt))
      return DISP_E_TYPEMISMATCH;
    m_args[i] = source;
    return S_OK;
  }
  void BindRetVal(UINT i) {
    V_VT(&m_args[i]) = VT_BYREF | VT_I4;
    V_I4REF(&m_args[i]) = &m_lRetVal;
  }

  HRESULT Call(void* pInterface, VARIANT* pVarResult) {
    const CLateBoundCall lateBound;
    const HRESULT hr = m_member.pfnCall(pInterface, m_args);
    // The result variant is the caller's to initialise.
    if (pVarResult != nullptr) V_VT(pVarResult) = VT_I4, V_I4(pVarResult) = m_lRetVal;
    return hr;
  }

 private:
  const SStoreDispatchMember& m_member;
  VARIANTARG m_args[kMaxParams];
  LONG m_lRetVal = 0;
};

const SStoreDispatchMember* FindMember(REFIID iid, DISPID id) {
  UINT cMembers = 0;
  const SStoreDispatchMember* pMembers = StoreDispatchTable(iid, &cMembers);
  for (UINT i = 0; i < cMembers; ++i) {
    if (pMembers[i].id == id) return &pMembers[i];
  }
  return nullptr;
}

}  // namespace

// The dispatch table holds nothing to release.
void StoreReleaseTypeInfo() noexcept {}

HRESULT StoreGetTypeInfoCount(REFIID, UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT StoreGetTypeInfo(REFIID, UINT, ITypeInfo** ppTInfo) {
  if (ppTInfo == nullptr) return E_POINTER;
  *ppTInfo = nullptr;
  return DISP_E_BADINDEX;
}

// The first name is the member's; any further names are its parameters,
// which the table does not name.
HRESULT StoreGetIDsOfNames(REFIID iid, REFIID riid, LPOLESTR* rgszNames, UINT cNames,
                           DISPID* rgDispId) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (cNames == 0) return S_OK;
  if (rgszNames == nullptr || rgDispId == nullptr) return E_INVALIDARG;
  for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
  UINT cMembers = 0;
  const SStoreDispatchMember* pMembers = StoreDispatchTable(iid, &cMembers);
  for (UINT i = 0; i < cMembers && rgszNames[0] != nullptr; ++i) {
    if (WideEqualNoCase(pMembers[i].pszName, rgszNames[0])) {
      rgDispId[0] = pMembers[i].id;
      return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT StoreInvoke(REFIID iid, void* pInterface, DISPID dispIdMember, REFIID riid, WORD wFlags,
                    DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const SStoreDispatchMember* pMember = FindMember(iid, dispIdMember);
  if (pMember == nullptr || (wFlags & DISPATCH_METHOD) == 0) return DISP_E_MEMBERNOTFOUND;
  if (pDispParams == nullptr) return E_INVALIDARG;
  const UINT cArgs = pDispParams->cArgs, cNamed = pDispParams->cNamedArgs;
  if (cArgs > pMember->cParams - 1 || cNamed > cArgs) return DISP_E_BADPARAMCOUNT;
  CVariantOuts outs(pMember->pParams, pMember->cParams, pDispParams);
  CCallArguments args(*pMember);
  for (UINT i = 0; i < pMember->cParams; ++i) {
    if ((pMember->pParams[i].wFlags & PARAMFLAG_FRETVAL) != 0) {
      args.BindRetVal(i);
      continue;
    }
    const UINT iArg = ArgumentOf(*pDispParams, i);
    if (iArg == cArgs) return cNamed != 0 ? DISP_E_PARAMNOTFOUND : DISP_E_BADPARAMCOUNT;
    const HRESULT hr = args.Bind(i, outs.Params()->rgvarg[iArg]);
    if (FAILED(hr)) {
      if (puArgErr != nullptr) *puArgErr = iArg;
      return hr;
    }
  }
  return outs.Deliver(args.Call(pInterface, pVarResult));
}

#endif
