// Conformance of the SAFEARRAY functions: descriptors and feature flags,
// dimension order, element access, locking, deep copies and destruction.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "common/conformance.h"
#include "platform/counted_object.h"

namespace {

DWORD StoredVartype(SAFEARRAY* psa) {
  DWORD dw = 0;
  std::memcpy(&dw, reinterpret_cast<char*>(psa) - sizeof dw, sizeof dw);
  return dw;
}

GUID StoredIid(SAFEARRAY* psa) {
  GUID iid;
  std::memcpy(&iid, reinterpret_cast<char*>(psa) - sizeof iid, sizeof iid);
  return iid;
}

SAFEARRAY* CreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

TEST(SafeArrayTest, CreateSetsSizeFeaturesAndStoredType) {
  struct Case {
    VARTYPE vt;
    UINT cb;
    USHORT features;
  };
  const USHORT kVt = FADF_HAVEVARTYPE;
  const Case cases[] = {
      {VT_I1, 1, kVt},
      {VT_UI1, 1, kVt},
      {VT_I2, 2, kVt},
      {VT_UI2, 2, kVt},
      {VT_BOOL, 2, kVt},
      {VT_I4, 4, kVt},
      {VT_UI4, 4, kVt},
      {VT_INT, 4, kVt},
      {VT_UINT, 4, kVt},
      {VT_R4, 4, kVt},
      {VT_ERROR, 4, kVt},
      {VT_I8, 8, kVt},
      {VT_UI8, 8, kVt},
      {VT_R8, 8, kVt},
      {VT_CY, 8, kVt},
      {VT_DATE, 8, kVt},
      {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
      {VT_DISPATCH, sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.vt);
    SAFEARRAY* psa = CreateVector(c.vt, 0, 3);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->cbElements, c.cb);
    EXPECT_EQ(SafeArrayGetElemsize(psa), c.cb);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(psa->fFeatures, c.features);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    if (c.features & FADF_HAVEVARTYPE) {
      EXPECT_EQ(StoredVartype(psa), c.vt);
    } else {
      EXPECT_TRUE(IsEqualIID(StoredIid(psa), c.vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch));
    }
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }

  const VARTYPE invalid[] = {VT_EMPTY,         VT_NULL,         15, VT_VOID, VT_RECORD,
                             VT_ARRAY | VT_I4, VT_BYREF | VT_I4};
  for (VARTYPE vt : invalid) EXPECT_EQ(CreateVector(vt, 0, 3), nullptr) << vt;
  SAFEARRAYBOUND bound = {1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
}

TEST(SafeArrayTest, DescriptorTypeComesFromTheFeatureFlags) {
  SAFEARRAY* psa = nullptr;
  EXPECT_EQ(SafeArrayAllocDescriptor(0, &psa), E_INVALIDARG);
  ASSERT_EQ(SafeArrayAllocDescriptor(1, &psa), S_OK);
  EXPECT_EQ(psa->fFeatures, 0);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), E_INVALIDARG);
  psa->fFeatures = FADF_DISPATCH;
  HRESULT hr = SafeArrayGetVartype(psa, &vt);
  EXPECT_TRUE((hr == S_OK && vt == VT_DISPATCH) ||
              WINE_DIFFERS(hr == E_INVALIDARG, "Wine reads only FADF_HAVEIID"));
  psa->fFeatures = FADF_UNKNOWN;
  hr = SafeArrayGetVartype(psa, &vt);
  EXPECT_TRUE((hr == S_OK && vt == VT_UNKNOWN) ||
              WINE_DIFFERS(hr == E_INVALIDARG, "Wine reads only FADF_HAVEIID"));
  psa->fFeatures = 0;

  // Bounds and element size filled in by hand, then data allocated.
  psa->cbElements = 4;
  psa->rgsabound[0] = {3, 7};
  ASSERT_EQ(SafeArrayAllocData(psa), S_OK);
  LONG index = 9;
  LONG value = 0x5A5A;
  EXPECT_EQ(SafeArrayPutElement(psa, &index, &value), S_OK);
  EXPECT_EQ(static_cast<LONG*>(psa->pvData)[2], 0x5A5A);
  EXPECT_EQ(SafeArrayDestroyData(psa), S_OK);
  EXPECT_EQ(psa->pvData, nullptr);
  EXPECT_EQ(SafeArrayDestroyDescriptor(psa), S_OK);
}

TEST(SafeArrayTest, TwoDimensionsAreStoredRightToLeftAndLeftIndexVariesFastest) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, 10}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_EQ(psa->rgsabound[0].cElements, 2u);
  EXPECT_EQ(psa->rgsabound[0].lLbound, 10);
  EXPECT_EQ(psa->rgsabound[1].cElements, 3u);
  EXPECT_EQ(psa->rgsabound[1].lLbound, 1);

  LONG l = 0;
  EXPECT_EQ(SafeArrayGetLBound(psa, 1, &l), S_OK);
  EXPECT_EQ(l, 1);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, &l), S_OK);
  EXPECT_EQ(l, 3);
  EXPECT_EQ(SafeArrayGetLBound(psa, 2, &l), S_OK);
  EXPECT_EQ(l, 10);
  EXPECT_EQ(SafeArrayGetUBound(psa, 2, &l), S_OK);
  EXPECT_EQ(l, 11);
  EXPECT_EQ(SafeArrayGetLBound(psa, 0, &l), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetUBound(psa, 3, &l), DISP_E_BADINDEX);
  EXPECT_EQ(SafeArrayGetLBound(nullptr, 1, &l), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, nullptr), E_INVALIDARG);

  for (LONG i = 1; i <= 3; ++i) {
    for (LONG j = 10; j <= 11; ++j) {
      LONG indices[2] = {i, j};
      LONG value = i * 100 + j;
      ASSERT_EQ(SafeArrayPutElement(psa, indices, &value), S_OK);
    }
  }
  LONG* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  const LONG expected[6] = {110, 210, 310, 111, 211, 311};
  EXPECT_EQ(std::memcmp(data, expected, sizeof expected), 0);
  LONG indices[2] = {2, 11};
  void* pv = nullptr;
  EXPECT_EQ(SafeArrayPtrOfIndex(psa, indices, &pv), S_OK);
  EXPECT_EQ(pv, data + 4);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, ElementAccessChecksEveryIndexAndArgument) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, -5}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  LONG value = 0;
  void* pv = nullptr;
  const LONG bad[][2] = {{0, -5}, {4, -5}, {1, -6}, {1, -3}};
  for (const auto& b : bad) {
    LONG indices[2] = {b[0], b[1]};
    EXPECT_EQ(SafeArrayPutElement(psa, indices, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(psa, indices, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, indices, &pv), DISP_E_BADINDEX);
  }
  LONG good[2] = {3, -4};
  EXPECT_EQ(SafeArrayPutElement(nullptr, good, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(nullptr, good, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, good, nullptr), E_INVALIDARG);
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, LockedArrayIsNotDestroyed) {
  CCountedObject object;
  SAFEARRAY* psa = CreateVector(VT_UNKNOWN, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, object.Unknown()), S_OK);

  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayLock(psa), S_OK);
  void* pv = nullptr;
  EXPECT_EQ(SafeArrayAccessData(psa, &pv), S_OK);
  EXPECT_EQ(pv, psa->pvData);
  EXPECT_EQ(psa->cLocks, 2u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroyData(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroyDescriptor(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(object.m_cRelease, 0);
  EXPECT_EQ(*static_cast<IUnknown**>(psa->pvData), object.Unknown());

  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);
}

TEST(SafeArrayTest, BstrElementsAreCopiedInAndOut) {
  SAFEARRAY* psa = CreateVector(VT_BSTR, 1, 2);
  ASSERT_NE(psa, nullptr);
  BSTR source = SysAllocStringByteLen("a\0b", 3);  // odd length, embedded zero
  LONG index = 2;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, source), S_OK);
  BSTR stored = static_cast<BSTR*>(psa->pvData)[1];
  EXPECT_NE(stored, source);
  EXPECT_EQ(SysStringByteLen(stored), 3u);
  EXPECT_EQ(std::memcmp(stored, "a\0b", 3), 0);

  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_NE(out, stored);
  EXPECT_EQ(SysStringByteLen(out), 3u);
  EXPECT_EQ(std::memcmp(out, "a\0b", 3), 0);
  SysFreeString(out);

  // Replacing frees the old copy (the leak checker of the native build
  // watches this) and stores a new one.
  BSTR other = SysAllocString(OLESTR("xyz"));
  ASSERT_EQ(SafeArrayPutElement(psa, &index, other), S_OK);
  EXPECT_EQ(SysStringLen(static_cast<BSTR*>(psa->pvData)[1]), 3u);
  SysFreeString(source);
  SysFreeString(other);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, InterfaceElementsAreReferenced) {
  CCountedObject first;
  CCountedObject second;
  SAFEARRAY* psa = CreateVector(VT_DISPATCH, 0, 2);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&first)), S_OK);
  EXPECT_EQ(first.m_cRefs, 2);

  IDispatch* out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(out, static_cast<IDispatch*>(&first));
  EXPECT_EQ(first.m_cRefs, 3);
  out->Release();

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(first.m_cRefs, 3);
  EXPECT_EQ(static_cast<IDispatch**>(copy->pvData)[0], static_cast<IDispatch*>(&first));

  // Replacing an element releases the one it held.
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&second)), S_OK);
  EXPECT_EQ(first.m_cRefs, 2);
  EXPECT_EQ(second.m_cRefs, 2);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(first.m_cRefs, 1);
  EXPECT_EQ(second.m_cRefs, 1);
}

TEST(SafeArrayTest, VariantElementsAreCopiedAndDestinationIsNotCleared) {
  SAFEARRAY* psa = CreateVector(VT_VARIANT, 0, 1);
  ASSERT_NE(psa, nullptr);
  VARIANT in;
  VariantInit(&in);
  V_VT(&in) = VT_BSTR;
  V_BSTR(&in) = SysAllocString(OLESTR("value"));
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &in), S_OK);
  VARIANT* stored = static_cast<VARIANT*>(psa->pvData);
  EXPECT_EQ(V_VT(stored), VT_BSTR);
  EXPECT_NE(V_BSTR(stored), V_BSTR(&in));

  // The destination is raw storage: an invalid type in it does not matter.
  VARIANT out;
  V_VT(&out) = 0xDEAD;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_BSTR);
  EXPECT_NE(V_BSTR(&out), V_BSTR(stored));
  EXPECT_EQ(SysStringLen(V_BSTR(&out)), 5u);
  EXPECT_EQ(VariantClear(&out), S_OK);
  EXPECT_EQ(VariantClear(&in), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArrayTest, CopyIsDeepAndKeepsBoundsAndFeatures) {
  SAFEARRAYBOUND bounds[2] = {{2, 5}, {3, -3}};
  SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 2, bounds);
  ASSERT_NE(psa, nullptr);
  LONG indices[2] = {6, -1};
  BSTR value = SysAllocStringByteLen("odd", 3);
  ASSERT_EQ(SafeArrayPutElement(psa, indices, value), S_OK);
  SysFreeString(value);
  psa->fFeatures |= FADF_FIXEDSIZE;

  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  ASSERT_NE(copy, psa);
  EXPECT_EQ(copy->fFeatures, FADF_HAVEVARTYPE | FADF_BSTR);
  EXPECT_EQ(std::memcmp(copy->rgsabound, psa->rgsabound, sizeof bounds), 0);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  BSTR* from = nullptr;
  BSTR* to = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(psa, indices, reinterpret_cast<void**>(&from)), S_OK);
  ASSERT_EQ(SafeArrayPtrOfIndex(copy, indices, reinterpret_cast<void**>(&to)), S_OK);
  EXPECT_NE(*to, *from);
  EXPECT_EQ(SysStringByteLen(*to), 3u);
  EXPECT_EQ(std::memcmp(*to, "odd", 3), 0);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  // A vector keeps its data in its descriptor's block; its copy keeps its
  // bounds. (The storage flags of a vector differ between the documentation,
  // FADF_FIXEDSIZE, and Windows itself, a reserved bit, so they are not
  // checked.)
  psa = SafeArrayCreateVector(VT_I2, -2, 4);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  LONG lBound = 0;
  EXPECT_EQ(SafeArrayGetLBound(copy, 1, &lBound), S_OK);
  EXPECT_EQ(lBound, -2);
  EXPECT_EQ(SafeArrayGetUBound(copy, 1, &lBound), S_OK);
  EXPECT_EQ(lBound, 1);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

TEST(SafeArrayTest, NullArgumentsGetTheirDocumentedAnswers) {
  SAFEARRAY sentinel = {};
  SAFEARRAY* out = &sentinel;
  EXPECT_EQ(SafeArrayCopy(nullptr, &out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnlock(nullptr), E_INVALIDARG);

  // A descriptor without an element size cannot be copied.
  SAFEARRAY* psa = nullptr;
  ASSERT_EQ(SafeArrayAllocDescriptor(1, &psa), S_OK);
  out = psa;
  EXPECT_EQ(SafeArrayCopy(psa, &out), E_INVALIDARG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SafeArrayDestroyDescriptor(psa), S_OK);
}

TEST(SafeArrayTest, LayerAnswersNullAndOversizedRequests) {
  // Guarantees of this layer where Windows documents nothing.
  if (!kNativeLayer) GTEST_SKIP() << "guarantee of this layer";
  EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
  EXPECT_EQ(SafeArrayGetElemsize(nullptr), 0u);
  SAFEARRAYBOUND huge[4] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {2, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 4, huge), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, huge), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
  SAFEARRAY* psa = CreateVector(VT_I4, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  EXPECT_EQ(SafeArrayPutElement(psa, &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

}  // namespace
