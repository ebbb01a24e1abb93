// Conformance of VariantInit, VariantClear and VariantCopy: which types are
// valid, what clearing releases and how deep a copy goes.

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

TEST(VariantTest, ClearAcceptsOnlyVariantTypes) {
  const VARTYPE valid[] = {VT_EMPTY,
                           VT_NULL,
                           VT_I2,
                           VT_I4,
                           VT_R8,
                           VT_CY,
                           VT_BSTR,
                           VT_DISPATCH,
                           VT_ERROR,
                           VT_BOOL,
                           VT_VARIANT,
                           VT_UNKNOWN,
                           VT_DECIMAL,
                           VT_I1,
                           VT_UI1,
                           VT_UI2,
                           VT_UI4,
                           VT_I8,
                           VT_UI8,
                           VT_INT,
                           VT_UINT,
                           VT_RECORD,
                           VT_CLSID,
                           VT_ARRAY | VT_I4,
                           VT_BYREF | VT_BSTR,
                           VT_ARRAY | VT_BYREF | VT_VARIANT};
  for (VARTYPE vt : valid) {
    VARIANT v = Zeroed(vt);
    EXPECT_EQ(VariantClear(&v), S_OK) << vt;
    EXPECT_EQ(V_VT(&v), VT_EMPTY) << vt;
  }
  const VARTYPE invalid[] = {15,
                             VT_VOID,
                             VT_HRESULT,
                             VT_SAFEARRAY,
                             VT_LPWSTR,
                             VT_INT_PTR,
                             VT_FILETIME,
                             VT_VECTOR | VT_I4,
                             VT_RESERVED | VT_I4,
                             VT_ARRAY | VT_EMPTY,
                             VT_BYREF | VT_NULL,
                             0xFFF};
  for (VARTYPE vt : invalid) {
    VARIANT v = Zeroed(vt);
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(V_VT(&v), vt);
  }
}

TEST(VariantTest, ClearReleasesWhatTheVariantOwns) {
  CCountedObject object;
  VARIANT v = Zeroed(VT_UNKNOWN);
  V_UNKNOWN(&v) = object.Unknown();
  object.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);

  v = Zeroed(VT_DISPATCH);
  V_DISPATCH(&v) = &object;
  object.AddRef();
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);

  // A by-reference variant owns nothing.
  IUnknown* punk = object.Unknown();
  v = Zeroed(VT_BYREF | VT_UNKNOWN);
  V_UNKNOWNREF(&v) = &punk;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRelease, 2);

  // An array goes with its elements.
  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, object.Unknown()), S_OK);
  v = Zeroed(VT_ARRAY | VT_UNKNOWN);
  V_ARRAY(&v) = psa;
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);

  // The string is freed; the native leak checker verifies it.
  v = Zeroed(VT_BSTR);
  V_BSTR(&v) = SysAllocString(OLESTR("owned"));
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
}

TEST(VariantTest, CopyIsDeepExceptByReference) {
  CCountedObject object;
  VARIANT src = Zeroed(VT_BSTR);
  V_BSTR(&src) = SysAllocStringByteLen("a\0b", 3);
  VARIANT dst = Zeroed(VT_UNKNOWN);
  V_UNKNOWN(&dst) = object.Unknown();
  object.AddRef();

  // The destination is cleared first: its interface is released.
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);
  EXPECT_EQ(V_VT(&dst), VT_BSTR);
  EXPECT_NE(V_BSTR(&dst), V_BSTR(&src));
  EXPECT_EQ(SysStringByteLen(V_BSTR(&dst)), 3u);
  EXPECT_EQ(std::memcmp(V_BSTR(&dst), "a\0b", 3), 0);
  EXPECT_EQ(VariantClear(&dst), S_OK);
  EXPECT_EQ(VariantClear(&src), S_OK);

  src = Zeroed(VT_DISPATCH);
  V_DISPATCH(&src) = &object;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(V_DISPATCH(&dst), static_cast<IDispatch*>(&object));
  EXPECT_EQ(object.m_cRefs, 2);
  EXPECT_EQ(VariantClear(&dst), S_OK);

  SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 3, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 3;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, object.Unknown()), S_OK);
  src = Zeroed(VT_ARRAY | VT_UNKNOWN);
  V_ARRAY(&src) = psa;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_NE(V_ARRAY(&dst), psa);
  EXPECT_EQ(object.m_cRefs, 3);
  LONG lBound = 0;
  EXPECT_EQ(SafeArrayGetLBound(V_ARRAY(&dst), 1, &lBound), S_OK);
  EXPECT_EQ(lBound, 3);
  EXPECT_EQ(VariantClear(&dst), S_OK);

  src = Zeroed(VT_BYREF | VT_ARRAY | VT_UNKNOWN);
  V_ARRAYREF(&src) = &psa;
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(V_ARRAYREF(&dst), &psa);
  EXPECT_EQ(object.m_cRefs, 2);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);
}

TEST(VariantTest, CopyRefusesInvalidTypesAndCopiesOntoItself) {
  VARIANT dst;
  V_VT(&dst) = 0xDEAD;
  VariantInit(&dst);
  EXPECT_EQ(V_VT(&dst), VT_EMPTY);
  VARIANT src = Zeroed(VT_VOID);
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  // A CLSID variant may be cleared but not copied.
  src = Zeroed(VT_CLSID);
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);
  src = Zeroed(VT_I4);
  V_I4(&src) = 42;
  dst = Zeroed(VT_SAFEARRAY);
  EXPECT_EQ(VariantCopy(&dst, &src), DISP_E_BADVARTYPE);

  dst = Zeroed(VT_EMPTY);
  ASSERT_EQ(VariantCopy(&dst, &src), S_OK);
  EXPECT_EQ(V_VT(&dst), VT_I4);
  EXPECT_EQ(V_I4(&dst), 42);

  VARIANT self = Zeroed(VT_BSTR);
  V_BSTR(&self) = SysAllocString(OLESTR("same"));
  const BSTR before = V_BSTR(&self);
  EXPECT_EQ(VariantCopy(&self, &self), S_OK);
  EXPECT_EQ(V_BSTR(&self), before);
  EXPECT_EQ(SysStringLen(V_BSTR(&self)), 4u);
  EXPECT_EQ(VariantClear(&self), S_OK);
}

}  // namespace
