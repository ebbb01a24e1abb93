// Late-bound calls through IDispatch of a started memory data store and of
// a PIN store never started, the same rows natively (the dispatch table)
// and under Wine (the type library embedded in this executable); and, under
// Wine, the dispatch table against the type library.
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <sstream>

#include "common/scripted_machine.h"
#include "datastore/datastore.h"
#include "datastore/storedispatch.h"
#include "pincache/authstore.h"
#include "support/scopedbstr.h"
#include "trees/tree_test_util.h"

namespace {

std::string Result(HRESULT hr) {
  // clang-format off
  const std::map<HRESULT, std::string> names = {{S_OK, "ok"}, {E_FAIL, "fail"},
      {E_ACCESSDENIED, "denied"}, {DISP_E_BADPARAMCOUNT, "badcount"},
      {DISP_E_TYPEMISMATCH, "mismatch"}, {DISP_E_MEMBERNOTFOUND, "nomember"},
      {DISP_E_UNKNOWNNAME, "unknownname"}, {DISP_E_OVERFLOW, "overflow"}};
  // clang-format on
  return names.contains(hr) ? names.at(hr) : std::to_string(hr);
}

// One argument word: u, i: a number as VT_UI4, VT_I4; s: text; b: bytes;
// l: an empty list of BSTR (L: the same typed as unsigned shorts); &b, &l,
// &i, &n: a reference to a byte array, a list, a VT_I4 or VT_INT number;
// &v: a referenced variant holding the text "old".
struct SArg {
  explicit SArg(const std::string& w) {
    const bool bRef = w[0] == '&';
    const char c = w == "&l" ? 'L' : w[bRef];
    // clang-format off
    const std::map<char, VARTYPE> types = {{'v', VT_VARIANT}, {'u', VT_UI4}, {'i', VT_I4},
        {'n', VT_INT}, {'s', VT_BSTR}, {'b', VT_ARRAY | VT_UI1}, {'l', VT_ARRAY | VT_BSTR},
        {'L', VT_ARRAY | VT_UI2}};
    // clang-format on
    V_VT(&arg) = types.at(c) | (bRef ? VT_BYREF : 0);
    V_VT(&var) = VT_BSTR, V_BSTR(&var) = SysAllocString(OLESTR("old"));
    if (bRef) {
      V_BYREF(&arg) = c == 'v'               ? static_cast<void*>(&var)
                      : c == 'i' || c == 'n' ? static_cast<void*>(&n)
                                             : &psa;
    } else if (c == 'u' || c == 'i') {
      V_I4(&arg) = std::stol(w.substr(1));
    } else if (c == 's') {
      V_BSTR(&arg) = SysAllocString(U(w.substr(1)).c_str());
    } else {
      V_ARRAY(&arg) = c == 'b' ? MakeBytes({w.begin() + 1, w.end()}).Release()
                               : SafeArrayCreateVector(VT_BSTR, 0, 0);
    }
  }
  ~SArg() {
    if ((V_VT(&arg) & VT_BYREF) == 0) VariantClear(&arg);
    VariantClear(&var);
    SafeArrayDestroy(psa);
  }
  // The array that came back: its BSTR ("bstr[d,e]") or its bytes; or the
  // variant, "=" its type and value (variants: an array of variants).
  std::string Out() const {
    if (V_VT(&arg) != (VT_BYREF | VT_VARIANT)) return psa == nullptr ? "" : " " + Array(psa);
    // clang-format off
    const std::map<VARTYPE, std::string> names = {{VT_EMPTY, "empty"}, {VT_I4, "i4"},
        {VT_UI4, "ui4"}, {VT_BSTR, "s"}, {VT_ARRAY | VT_VARIANT, "variants"},
        {VT_ARRAY | VT_UI1, "bytes"}};
    // clang-format on
    const VARTYPE vt = V_VT(&var);
    const std::string name = " =" + (names.contains(vt) ? names.at(vt) : std::to_string(vt));
    if (vt == VT_I4 || vt == VT_UI4) return name + " " + std::to_string(V_UI4(&var));
    if (vt == VT_BSTR) return name + " " + (V_BSTR(&var) ? U8(V_BSTR(&var)) : "");
    return name + ((vt & VT_ARRAY) != 0 ? " " + Array(V_ARRAY(&var)) : "");
  }
  static std::string Array(SAFEARRAY* p) {
    if ((p->fFeatures & FADF_BSTR) != 0) return "bstr[" + Joined(p, ",") + "]";
    std::string texts;
    for (ULONG i = 0; i < p->rgsabound[0].cElements; ++i) {
      texts += (p->fFeatures & FADF_VARIANT) == 0
                   ? std::string(1, static_cast<char*>(p->pvData)[i])
                   : (i ? "," : "") + U8(V_BSTR(&static_cast<VARIANT*>(p->pvData)[i]));
    }
    return "[" + texts + "]";
  }
  VARIANT arg{}, var{};  // VT_EMPTY
  SAFEARRAY* psa = nullptr;
  LONG n = 0;
};

// Calls "name flags arguments..." separated by ';' (to the PIN store when the
// name starts with '!'), each answering its result, the outcome and what
// came back by reference.
const char* const kInvokeRows[][2] = {
    // The outcome of the operation is the result; the call itself succeeds.
    {"SetData 1 u1000 sc sd bxyz; GetData 1 u1000 sc sd &b; GetData 1 u2000 sc sd &b",
     "ok ok; ok ok [xyz]; ok denied"},
    // Numbers as text or of another type where they fit; four bytes pass bit
    // for bit (-1 is the unknown process 0xFFFFFFFF).
    {"setdata 3 s1000 sc sd bxy; GetData 1 i1000 sc sd &b; SetData 1 u1000 i5 sd b; "
     "SetData 1 s-1 sc sd bx; FlushStore 1 sx; RemoveData 1 i-1 sc sd",
     "ok ok; ok ok [xy]; ok ok; overflow; mismatch; ok denied"},
    // Lists are arrays of BSTR in slots declared as unsigned shorts; out
    // values only by a reference of exactly the declared type.
    {"SetData 1 u1000 sc sd b1; SetData 1 u1000 sc se b2; ListDataIds 1 u1000 sc &l; "
     "ListDataIds 1 u1000 sc &v; ListDataIds 1 u1000 sc &b; GetData 1 u1000 sc sd &v",
     "ok ok; ok ok; ok ok bstr[d,e]; ok ok =variants [d,e]; mismatch; ok ok =bytes [1]"},
    // A referenced variant for an out parameter gets the value in place of
    // its old one after a successful call, and is left as it was after a
    // failed one.
    {"ListDataIds 1 u2000 sc &v; SetData 1 u1000 sc sd bx; IsCompartmentCached 1 u1000 sc &v &v "
     "&v; !IsPINCached 1 u1000 sc sd L &v &v; GetData 1 b1 sc sd &v; GetData 1 u1000 sc &v",
     "ok denied =empty; ok ok; ok ok =ui4 1 =ui4 1 =i4 1; ok fail =s  =i4 0; mismatch =s old; "
     "badcount =s old"},
    // An INT out parameter is a reference to VT_I4, not to VT_INT.
    {"!FlushStore 1 u1000 l; !FlushStore 1 u1000 L; "
     "!IsPINCachedFromPINSessionId 1 u1000 sc sd ss L &i; "
     "!IsPINCachedFromPINSessionId 1 u1000 sc sd ss L &n",
     "mismatch; ok fail; ok fail; mismatch"},
    {"SetData 1 u1000 sc sd; SetData 1 u1000 sc sd bx &b; GetData 1; SetData 4 u1000 sc sd bx; "
     "SetData 1 u1000 sc sd l; Nope 1",
     "badcount; badcount; badcount; nomember; mismatch; unknownname nomember"},
};

// Process 1000 is a trusted (low-integrity) client, 2000 an untrusted one.
// No manager was created through the export, so a call through the vtable
// would hand its arguments over; through IDispatch the automation layer
// frees what it converted. The PIN store is never started: every call
// answers E_FAIL.
TEST(DispatchTest, Invoke) {
  for (const auto& [pszScript, pszExpected] : kInvokeRows) {
    CScriptedMachine machine;
    CHistoryUse history;
    machine.Process(1000) = {.dwIntegrityRid = SECURITY_MANDATORY_LOW_RID, .dwSessionId = 1};
    CDataStore* store = new CDataStore;
    CAuthStore* pins = new CAuthStore;
    const CScopedBSTR id(SysAllocString(OLESTR("KelmyrDispatchTest")));
    EXPECT_EQ(store->Internal().Begin(id.Get(), FALSE, FALSE, TRUE, U("P")), S_OK);
    std::istringstream calls(pszScript);
    std::string call, all;
    while (std::getline(calls, call, ';')) {
      std::istringstream words(call);
      std::string name, flags, word;
      words >> name >> flags;
      IDispatch* target = name[0] == '!' ? static_cast<IDispatch*>(pins) : store;
      const secwstring w = U(name.substr(name[0] == '!'));
      LPOLESTR psz = const_cast<LPOLESTR>(w.c_str());
      DISPID dispid = 0;
      HRESULT hr = target->GetIDsOfNames(IID_NULL, &psz, 1, 0, &dispid);
      std::string out = FAILED(hr) ? Result(hr) + " " : "";  // a name not found, and no member 0
      std::list<SArg> slots;
      std::vector<VARIANT> args;
      while (words >> word) args.insert(args.begin(), slots.emplace_back(word).arg);
      DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
      VARIANT result{};
      hr = target->Invoke(dispid, IID_NULL, 0, static_cast<WORD>(std::stoi(flags)), &params,
                          &result, nullptr, nullptr);
      out += Result(hr);
      if (SUCCEEDED(hr)) out += " " + (V_VT(&result) == VT_I4 ? Result(V_I4(&result)) : "?");
      for (const SArg& slot : slots) out += slot.Out();
      all += (all.empty() ? "" : "; ") + out;
    }
    EXPECT_EQ(all, pszExpected);
    store->Internal().End();
    store->Release();
    pins->Release();
  }
}

#ifdef _WIN32
// The dispatch table, which serves the calls natively, against the vtable
// part of each dual interface in the type library.
TEST(DispatchTable, IsTheTypeLibrary) {
  for (const IID* pIid : {&IID_IDataStoreManager, &IID_IDataStore, &IID_IAuthStore}) {
    ITypeInfo *pDispatch = nullptr, *pInfo = nullptr;
    HREFTYPE hRef = 0;
    TYPEATTR* pAttr = nullptr;
    UINT cMembers = 0;
    const SStoreDispatchMember* pMembers = StoreDispatchTable(*pIid, &cMembers);
    ASSERT_EQ(StoreGetTypeInfo(*pIid, 0, &pDispatch), S_OK);
    pDispatch->GetRefTypeOfImplType(-1, &hRef);
    ASSERT_EQ(pDispatch->GetRefTypeInfo(hRef, &pInfo), S_OK);
    pDispatch->Release();
    pInfo->GetTypeAttr(&pAttr);
    ASSERT_EQ(pAttr->cFuncs, cMembers);
    for (UINT f = 0; f < cMembers; ++f) {
      FUNCDESC* pFunc = nullptr;
      CScopedBSTR name;
      pInfo->GetFuncDesc(f, &pFunc);
      pInfo->GetDocumentation(pFunc->memid, name.Receive(), nullptr, nullptr, nullptr);
      EXPECT_EQ(U8(name.Get()), U8(pMembers[f].pszName));
      EXPECT_EQ(pFunc->memid, pMembers[f].id);
      ASSERT_EQ(static_cast<UINT>(pFunc->cParams), pMembers[f].cParams) << U8(name.Get());
      for (UINT p = 0; p < pMembers[f].cParams; ++p) {
        const ELEMDESC& e = pFunc->lprgelemdescParam[p];
        EXPECT_EQ(StoreVtOf(e.tdesc), pMembers[f].pParams[p].vt) << U8(name.Get()) << " " << p;
        EXPECT_EQ(e.paramdesc.wParamFlags, pMembers[f].pParams[p].wFlags) << U8(name.Get());
      }
      pInfo->ReleaseFuncDesc(pFunc);
    }
    pInfo->ReleaseTypeAttr(pAttr);
    pInfo->Release();
  }
}
#endif

}  // namespace
