// Conformance of VariantClear, VariantCopy and VariantCopyInd: which types
// are valid, what clearing releases and how deep a copy goes.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>
#include <tuple>

#include "common/conformance.h"
#include "platform/counted_object.h"

namespace {

VARIANT Zeroed(VARTYPE vt) {
  VARIANT v;
  std::memset(&v, 0, sizeof v);
  V_VT(&v) = vt;
  return v;
}

// Which types a variant may carry: clearing one that may not is refused and
// leaves it as it was; a copy (VariantCopyInd for a reference) from or onto
// such a type, or from a CLSID, is refused too.
TEST(VariantTest, ClearAndCopyAcceptOnlyVariantTypes) {
  // clang-format off
  const std::initializer_list<VARTYPE> valid = {VT_EMPTY, VT_NULL, VT_BSTR, VT_VARIANT, VT_UINT,
      VT_RECORD, VT_CLSID, VT_ARRAY | VT_I4, VT_BYREF | VT_BSTR, VT_ARRAY | VT_BYREF | VT_VARIANT};
  const std::initializer_list<VARTYPE> invalid = {15, VT_VOID, VT_INT_PTR, VT_VECTOR | VT_I4,
      VT_RESERVED | VT_I4, VT_ARRAY | VT_EMPTY, VT_BYREF | VT_NULL, 0xFFF};
  const std::pair<VARTYPE, VARTYPE> refusedCopies[] = {
      {VT_EMPTY, VT_VOID}, {VT_EMPTY, VT_CLSID}, {VT_SAFEARRAY, VT_I4}, {VT_VOID, VT_BYREF | VT_I4}};
  // clang-format on
  for (const auto& [types, hr] : {std::pair{valid, S_OK}, std::pair{invalid, DISP_E_BADVARTYPE}}) {
    for (VARTYPE vt : types) {
      VARIANT v = Zeroed(vt);
      EXPECT_TRUE(VariantClear(&v) == hr && V_VT(&v) == (hr == S_OK ? VARTYPE{VT_EMPTY} : vt))
          << vt;
    }
  }
  for (const auto& [vtDst, vtSrc] : refusedCopies) {
    VARIANT dst = Zeroed(vtDst);
    VARIANT src = Zeroed(vtSrc);
    LONG l = 7;
    V_I4REF(&src) = &l;
    EXPECT_EQ((vtSrc & VT_BYREF ? VariantCopyInd : VariantCopy)(&dst, &src), DISP_E_BADVARTYPE)
        << vtDst << " " << vtSrc;
  }
}

// A copy clears the destination and owns its own array and the interface
// references in it; a null string becomes empty. Clearing releases an
// interface and an array with its elements; a by-reference variant owns
// nothing.
TEST(VariantTest, CopyIsDeepAndClearReleasesWhatIsOwned) {
  CCountedObject object;
  IUnknown* punk = object.Unknown();
  VARIANT dst = Zeroed(VT_UNKNOWN);
  V_UNKNOWN(&dst) = punk;
  object.AddRef();
  VARIANT src = Zeroed(VT_BSTR);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);  // a null string
  EXPECT_EQ(object.m_cRefs, 1) << "the destination is cleared";
  EXPECT_TRUE(V_VT(&dst) == VT_BSTR && V_BSTR(&dst) != nullptr && SysStringLen(V_BSTR(&dst)) == 0);

  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 3, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 3;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, punk), S_OK);
  src = Zeroed(VT_ARRAY | VT_UNKNOWN);
  V_ARRAY(&src) = psa;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_TRUE(V_ARRAY(&dst) != psa && object.m_cRefs == 3);
  // The copy, its source, an interface of each kind and a reference.
  VARIANT owners[] = {dst, src, Zeroed(VT_UNKNOWN), Zeroed(VT_DISPATCH),
                      Zeroed(VT_BYREF | VT_UNKNOWN)};
  V_UNKNOWN(&owners[2]) = punk;
  V_DISPATCH(&owners[3]) = &object;
  V_UNKNOWNREF(&owners[4]) = &punk;
  object.m_cRefs += 2;
  for (VARIANT& v : owners) EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRefs, 1) << "four released, the reference not";
}

// VariantCopyInd: the destination gets the value a by-reference source
// points to, with the type without VT_BYREF; onto itself it dereferences
// in place.
TEST(VariantTest, CopyIndDereferences) {
  CCountedObject object;
  IUnknown* punk = object.Unknown();
  LONG lValue = 7;
  BSTR bstr = SysAllocString(OLESTR("text"));
  BSTR bstrNull = nullptr;
  SAFEARRAY* psa = SafeArrayCreateVector(VT_I4, 2, 4);
  ASSERT_NE(psa, nullptr);
  VARIANT inner = Zeroed(VT_BYREF | VT_I4);
  V_I4REF(&inner) = &lValue;
  VARIANT innerByRefVariant = Zeroed(VT_BYREF | VT_VARIANT);
  V_VARIANTREF(&innerByRefVariant) = &inner;
  // The source's type and reference, the answer, the copy's type.
  const std::tuple<VARTYPE, void*, HRESULT, VARTYPE> rows[] = {
      {VT_BYREF | VT_I4, &lValue, S_OK, VT_I4},
      {VT_BYREF | VT_BSTR, &bstr, S_OK, VT_BSTR},
      {VT_BYREF | VT_BSTR, &bstrNull, S_OK, VT_BSTR},
      {VT_BYREF | VT_UNKNOWN, &punk, S_OK, VT_UNKNOWN},
      {VT_BYREF | VT_ARRAY | VT_I4, &psa, S_OK, VT_ARRAY | VT_I4},
      {VT_BYREF | VT_VARIANT, &inner, S_OK, VT_I4},  // followed twice
      {VT_BYREF | VT_VARIANT, &innerByRefVariant, E_INVALIDARG, VT_EMPTY},
      {VT_BYREF | VT_NULL, &lValue, E_INVALIDARG, VT_EMPTY},
  };
  for (bool bInPlace : {false, true}) {
    for (const auto& [vt, pRef, hr, vtCopy] : rows) {
      SCOPED_TRACE(testing::Message() << vt << (bInPlace ? " in place" : ""));
      VARIANT src = Zeroed(vt);
      V_BYREF(&src) = pRef;
      VARIANT dst = Zeroed(VT_EMPTY);
      VARIANT* pDst = bInPlace ? &src : &dst;
      ASSERT_EQ(VariantCopyInd(pDst, &src), hr);
      if (FAILED(hr)) continue;
      EXPECT_TRUE(V_VT(pDst) == vtCopy && (vtCopy != VT_I4 || V_I4(pDst) == 7));
      EXPECT_TRUE(vtCopy != VT_UNKNOWN || object.m_cRefs == 2);
      EXPECT_TRUE(vtCopy != VT_BSTR || (V_BSTR(pDst) != nullptr && V_BSTR(pDst) != bstr &&
                                        SysStringLen(V_BSTR(pDst)) == (pRef == &bstr ? 4u : 0u)));
      EXPECT_TRUE(!(vtCopy & VT_ARRAY) ||
                  (V_ARRAY(pDst) != psa && V_ARRAY(pDst)->rgsabound[0].cElements == 4u));
      EXPECT_EQ(VariantClear(pDst), S_OK);
    }
  }
  EXPECT_EQ(object.m_cRefs, 1);
  EXPECT_EQ(SysStringLen(bstr), 4u) << "the source keeps its string";
  SysFreeString(bstr);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

}  // namespace
