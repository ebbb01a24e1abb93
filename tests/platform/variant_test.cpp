// Conformance of VariantClear and VariantCopy: which types are valid, what
// clearing releases and how deep a copy goes.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

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
// leaves it as it was.
TEST(VariantTest, ClearAcceptsOnlyVariantTypes) {
  // clang-format off
  const VARTYPE valid[] = {VT_EMPTY, VT_NULL, VT_BSTR, VT_VARIANT, VT_UINT, VT_RECORD, VT_CLSID,
      VT_ARRAY | VT_I4, VT_BYREF | VT_BSTR, VT_ARRAY | VT_BYREF | VT_VARIANT};
  const VARTYPE invalid[] = {15, VT_VOID, VT_INT_PTR, VT_VECTOR | VT_I4, VT_RESERVED | VT_I4,
      VT_ARRAY | VT_EMPTY, VT_BYREF | VT_NULL, 0xFFF};
  // clang-format on
  for (VARTYPE vt : valid) {
    VARIANT v = Zeroed(vt);
    EXPECT_EQ(VariantClear(&v), S_OK) << vt;
    EXPECT_EQ(V_VT(&v), VT_EMPTY) << vt;
  }
  for (VARTYPE vt : invalid) {
    VARIANT v = Zeroed(vt);
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(V_VT(&v), vt);
  }
}

// Clearing releases an interface and an array with its elements; a
// by-reference variant owns nothing.
TEST(VariantTest, ClearReleasesWhatTheVariantOwns) {
  CCountedObject object;
  IUnknown* punk = object.Unknown();
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, punk), S_OK);
  VARIANT owners[] = {Zeroed(VT_UNKNOWN), Zeroed(VT_DISPATCH), Zeroed(VT_BYREF | VT_UNKNOWN),
                      Zeroed(VT_ARRAY | VT_UNKNOWN)};
  V_UNKNOWN(&owners[0]) = punk;
  V_DISPATCH(&owners[1]) = &object;
  V_UNKNOWNREF(&owners[2]) = &punk;
  V_ARRAY(&owners[3]) = psa;
  object.m_cRefs += 2;
  for (VARIANT& v : owners) EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRefs, 1) << "three released, the reference not";
}

// A copy clears the destination and owns its own array and the interface
// references in it; a null string becomes empty.
TEST(VariantTest, CopyIsDeep) {
  CCountedObject object;
  VARIANT dst = Zeroed(VT_UNKNOWN);
  V_UNKNOWN(&dst) = object.Unknown();
  object.AddRef();
  VARIANT src = Zeroed(VT_BSTR);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);  // a null string
  EXPECT_EQ(object.m_cRefs, 1) << "the destination is cleared";
  EXPECT_EQ(V_VT(&dst), VT_BSTR);
  ASSERT_NE(V_BSTR(&dst), nullptr);
  EXPECT_EQ(SysStringLen(V_BSTR(&dst)), 0u);

  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 3, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 3;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, object.Unknown()), S_OK);
  src = Zeroed(VT_ARRAY | VT_UNKNOWN);
  V_ARRAY(&src) = psa;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(V_ARRAY(&dst), psa);
  EXPECT_EQ(object.m_cRefs, 3);

  EXPECT_EQ(VariantClear(&dst), S_OK);
  EXPECT_EQ(object.m_cRefs, 2);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);
}

// A type that may not be copied, in the source or the destination, is
// refused.
TEST(VariantTest, CopyRefusesInvalidTypes) {
  const std::pair<VARTYPE, VARTYPE> refused[] = {
      {VT_EMPTY, VT_VOID}, {VT_EMPTY, VT_CLSID}, {VT_SAFEARRAY, VT_I4}};
  for (const auto& [vtDst, vtSrc] : refused) {
    VARIANT dst = Zeroed(vtDst);
    VARIANT src = Zeroed(vtSrc);
    EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE) << vtDst << " " << vtSrc;
  }
}

}  // namespace
