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
      {E_INVALIDARG, "inval"}, {E_ACCESSDENIED, "denied"}, {DISP_E_BADPARAMCOUNT, "badcount"},
      {DISP_E_TYPEMISMATCH, "mismatch"}, {DISP_E_MEMBERNOTFOUND, "nomember"},
      {DISP_E_UNKNOWNNAME, "unknownname"}, {DISP_E_OVERFLOW, "overflow"}};
  // clang-format on
  return names.contains(hr) ? names.at(hr) : std::to_string(hr);
}

// One argument word: u, i, n: a number as VT_UI4, VT_I4, VT_INT; s: text;
// b: bytes; l: an empty list of BSTR (L: the same typed as unsigned shorts);
// &b, &l, &i, &n: a reference to a byte array, a list, a number; &v: a
// referenced variant holding the text "old".
struct SArg {
  explicit SArg(const std::string& w) {
    const std::string text = w.substr(1);
    const char c = w == "&l" ? 'L' : w[0] == '&' ? w[1] : w[0];
    const std::map<char, VARTYPE> types = {{'v', VT_VARIANT}, {'u', VT_UI4},  {'i', VT_I4},
                                           {'n', VT_INT},     {'s', VT_BSTR}, {'l', VT_BSTR},
                                           {'L', VT_UI2}};
    V_VT(&arg) = types.contains(c) ? types.at(c) : VARTYPE{VT_UI1};
    V_VT(&arg) |= (c == 'l' || c == 'L' || c == 'b' ? VT_ARRAY : 0) | (w[0] == '&' ? VT_BYREF : 0);
    if (c == 'v') V_VT(&var) = VT_BSTR, V_BSTR(&var) = SysAllocString(OLESTR("old"));
    if (w[0] == '&') {
      V_BYREF(&arg) = c == 'v'               ? static_cast<void*>(&var)
                      : c == 'i' || c == 'n' ? static_cast<void*>(&n)
                                             : &psa;
    } else if (c == 'u' || c == 'i') {
      V_I4(&arg) = std::stol(text);
    } else if (c == 's') {
      V_BSTR(&arg) = SysAllocString(U(text).c_str());
    } else {
      V_ARRAY(&arg) = c == 'b' ? MakeBytes({text.begin(), text.end()}).Release()
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
    for (ULONG i = 0; (p->fFeatures & FADF_VARIANT) != 0 && i < p->rgsabound[0].cElements; ++i)
      texts += (i ? "," : "") + U8(V_BSTR(&static_cast<VARIANT*>(p->pvData)[i]));
    if ((p->fFeatures & FADF_VARIANT) != 0) return "[" + texts + "]";
    return "[" + std::string(static_cast<char*>(p->pvData), p->rgsabound[0].cElements) + "]";
  }
  VARIANT arg{}, var{};  // VT_EMPTY
  SAFEARRAY* psa = nullptr;
  LONG n = 0;
};

struct SDispatchRow {
  // Calls "name flags arguments..." separated by ';' (to the PIN store when
  // the name starts with '!'), each answering its result, the outcome and
  // what came back by reference.
  const char* pszScript;
  const char* pszExpected;
};

// Process 1000 is a trusted (low-integrity) client, 2000 an untrusted one.
// No manager was created through the export, so a call through the vtable
// would hand its arguments over; through IDispatch the automation layer
// frees what it converted.
class DispatchTest : public testing::TestWithParam<SDispatchRow> {
 protected:
  DispatchTest() {
    machine.Process(1000) = {.dwIntegrityRid = SECURITY_MANDATORY_LOW_RID, .dwSessionId = 1};
    const CScopedBSTR id(SysAllocString(OLESTR("KelmyrDispatchTest")));
    EXPECT_EQ(store->Internal().Begin(id.Get(), FALSE, FALSE, TRUE, U("P")), S_OK);
  }
  ~DispatchTest() override {
    store->Internal().End();
    store->Release();
    pins->Release();
  }
  CScriptedMachine machine;
  CHistoryUse history;
  CDataStore* store = new CDataStore;
  CAuthStore* pins = new CAuthStore;  // never started: every call answers E_FAIL
};

TEST_P(DispatchTest, Invoke) {
  std::istringstream calls(GetParam().pszScript);
  std::string call, all;
  while (std::getline(calls, call, ';')) {
    std::istringstream words(call);
    std::string name, flags, word;
    words >> name >> flags;
    IDispatch* target = name[0] == '!' ? static_cast<IDispatch*>(pins) : store;
    const secwstring w = U(name.substr(name[0] == '!'));
    LPOLESTR psz = const_cast<LPOLESTR>(w.c_str());
    DISPID id = 0;
    HRESULT hr = target->GetIDsOfNames(IID_NULL, &psz, 1, 0, &id);
    std::string out = FAILED(hr) ? Result(hr) + " " : "";  // a name not found, and no member 0
    std::list<SArg> slots;
    std::vector<VARIANT> args;
    while (words >> word) args.insert(args.begin(), slots.emplace_back(word).arg);
    DISPPARAMS params = {args.data(), nullptr, static_cast<UINT>(args.size()), 0};
    VARIANT result{};
    hr = target->Invoke(id, IID_NULL, 0, static_cast<WORD>(std::stoi(flags)), &params, &result,
                        nullptr, nullptr);
    out += Result(hr);
    if (SUCCEEDED(hr)) out += " " + (V_VT(&result) == VT_I4 ? Result(V_I4(&result)) : "?");
    for (const SArg& slot : slots) out += slot.Out();
    all += (all.empty() ? "" : "; ") + out;
  }
  EXPECT_EQ(all, GetParam().pszExpected);
}

constexpr SDispatchRow kInvokeRows[] = {
    // The outcome of the operation is the result; the call itself succeeds.
    {"SetData 1 u1000 sc sd bxyz; GetData 1 u1000 sc sd &b; GetData 1 u1000 sc sx &b; "
     "GetData 1 u2000 sc sd &b",
     "ok ok; ok ok [xyz]; ok inval; ok denied"},
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
     "&v; "
     "!IsPINCached 1 u1000 sc sd L &v &v; GetData 1 b1 sc sd &v; GetData 1 u1000 sc &v",
     "ok denied =empty; ok ok; ok ok =ui4 1 =ui4 1 =i4 1; ok fail =s  =i4 0; mismatch =s old; "
     "badcount =s old"},
    {"!FlushStore 1 u1000 l; !FlushStore 1 u1000 L; !RemovePIN 1 u1000 sc sd L",
     "mismatch; ok fail; ok fail"},
    // An INT out parameter is a reference to VT_I4, not to VT_INT.
    {"!IsPINCachedFromPINSessionId 1 u1000 sc sd ss L &i; "
     "!IsPINCachedFromPINSessionId 1 u1000 sc sd ss L &n",
     "ok fail; mismatch"},
    {"SetData 1 u1000 sc sd; SetData 1 u1000 sc sd bx &b; GetData 1; SetData 4 u1000 sc sd bx",
     "badcount; badcount; badcount; nomember"},
    {"SetData 1 b1 sc sd bx; SetData 1 u1000 sc sd l; Nope 1",
     "mismatch; mismatch; unknownname nomember"},
};
INSTANTIATE_TEST_SUITE_P(Rows, DispatchTest, testing::ValuesIn(kInvokeRows));

#ifdef _WIN32
// A parameter type as the automation layer converts it for a call; the
// library's interfaces are all dual, and a pointer to one is VT_DISPATCH.
VARTYPE VtOf(const TYPEDESC& t) {
  if (t.vt == VT_SAFEARRAY) return VT_ARRAY | VtOf(*t.lptdesc);
  if (t.vt == VT_PTR) return (t.lptdesc->vt == VT_USERDEFINED ? 0 : VT_BYREF) | VtOf(*t.lptdesc);
  return t.vt == VT_USERDEFINED ? VARTYPE{VT_DISPATCH} : t.vt;
}

// The dispatch table, which serves the calls natively, against the vtable
// part of each dual interface in the type library.
TEST(DispatchTable, IsTheTypeLibrary) {
  UINT cInfo = 0;
  EXPECT_EQ(StoreGetTypeInfoCount(IID_IDataStore, &cInfo), S_OK);
  EXPECT_EQ(cInfo, 1u);
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
        EXPECT_EQ(VtOf(e.tdesc), pMembers[f].pParams[p].vt) << U8(name.Get()) << " " << p;
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
