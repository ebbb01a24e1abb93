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

SAFEARRAY* CreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

// The element size, the feature flags, and the type or interface stored
// before the descriptor.
TEST(SafeArrayTest, CreateSetsSizeFeaturesAndStoredType) {
  struct SRow {
    VARTYPE vt;
    UINT cb;
    USHORT features;
  };
  const USHORT kVt = FADF_HAVEVARTYPE;
  const SRow rows[] = {{VT_I1, 1, kVt},
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
                       {VT_DISPATCH, sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH}};
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.vt);
    SAFEARRAY* psa = CreateVector(row.vt, 0, 3);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(psa->cbElements, row.cb);
    EXPECT_EQ(SafeArrayGetElemsize(psa), row.cb);
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_EQ(psa->fFeatures, row.features);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(psa, &vt), S_OK);
    EXPECT_EQ(vt, row.vt);
    GUID stored;
    std::memcpy(&stored, reinterpret_cast<char*>(psa) - sizeof stored, sizeof stored);
    DWORD dwStoredVt = 0;
    std::memcpy(&dwStoredVt, reinterpret_cast<char*>(psa) - 4, 4);
    if (row.features & FADF_HAVEVARTYPE) {
      EXPECT_EQ(dwStoredVt, row.vt);
    } else {
      EXPECT_TRUE(IsEqualIID(stored, row.vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch));
    }
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  for (VARTYPE vt : {VARTYPE{VT_EMPTY}, VARTYPE{VT_NULL}, VARTYPE{15}, VARTYPE{VT_VOID},
                     VARTYPE{VT_RECORD}, VARTYPE{VT_ARRAY | VT_I4}, VARTYPE{VT_BYREF | VT_I4}}) {
    EXPECT_EQ(CreateVector(vt, 0, 3), nullptr) << vt;
  }
  SAFEARRAYBOUND bound = {1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
}

// A bare descriptor: its type comes from the feature flags; bounds and
// element size filled in by hand, then data allocated and freed.
TEST(SafeArrayTest, DescriptorTypeComesFromTheFeatureFlags) {
  SAFEARRAY* psa = nullptr;
  EXPECT_EQ(SafeArrayAllocDescriptor(0, &psa), E_INVALIDARG);
  ASSERT_EQ(SafeArrayAllocDescriptor(1, &psa), S_OK);
  EXPECT_EQ(psa->fFeatures, 0);
  EXPECT_EQ(SafeArrayGetDim(psa), 1u);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(psa, &vt), E_INVALIDARG);
  SAFEARRAY* out = psa;
  EXPECT_EQ(SafeArrayCopy(psa, &out), E_INVALIDARG) << "no element size";
  EXPECT_EQ(out, nullptr);
  for (auto [features, vtExpected] :
       {std::pair{FADF_DISPATCH, VT_DISPATCH}, std::pair{FADF_UNKNOWN, VT_UNKNOWN}}) {
    psa->fFeatures = static_cast<USHORT>(features);
    const HRESULT hr = SafeArrayGetVartype(psa, &vt);
    EXPECT_TRUE((hr == S_OK && vt == vtExpected) ||
                WINE_DIFFERS(hr == E_INVALIDARG, "Wine reads only FADF_HAVEIID"));
  }
  psa->fFeatures = 0;
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

// Bounds are stored right to left, the leftmost index varies fastest, and
// every index and argument is checked.
TEST(SafeArrayTest, TwoDimensionsBoundsAndElementAccess) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, -5}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_TRUE(psa->rgsabound[0].cElements == 2 && psa->rgsabound[0].lLbound == -5);
  EXPECT_TRUE(psa->rgsabound[1].cElements == 3 && psa->rgsabound[1].lLbound == 1);
  struct SBoundRow {
    SAFEARRAY* psa;
    UINT nDim;
    bool bUpper;
    HRESULT hr;
    LONG expected;
  };
  const SBoundRow boundRows[] = {{psa, 1, false, S_OK, 1},
                                 {psa, 1, true, S_OK, 3},
                                 {psa, 2, false, S_OK, -5},
                                 {psa, 2, true, S_OK, -4},
                                 {psa, 0, false, DISP_E_BADINDEX, 0},
                                 {psa, 3, true, DISP_E_BADINDEX, 0},
                                 {nullptr, 1, false, E_INVALIDARG, 0}};
  for (const SBoundRow& row : boundRows) {
    LONG l = 0;
    EXPECT_EQ((row.bUpper ? SafeArrayGetUBound : SafeArrayGetLBound)(row.psa, row.nDim, &l), row.hr)
        << row.nDim << row.bUpper;
    EXPECT_EQ(l, row.expected) << row.nDim << row.bUpper;
  }
  EXPECT_EQ(SafeArrayGetUBound(psa, 1, nullptr), E_INVALIDARG);

  for (LONG i = 1; i <= 3; ++i) {
    for (LONG j = -5; j <= -4; ++j) {
      LONG indices[2] = {i, j};
      LONG value = i * 100 - j;
      ASSERT_EQ(SafeArrayPutElement(psa, indices, &value), S_OK);
    }
  }
  LONG* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
  const LONG expected[6] = {105, 205, 305, 104, 204, 304};
  EXPECT_EQ(std::memcmp(data, expected, sizeof expected), 0);
  LONG at[2] = {2, -4};
  void* pv = nullptr;
  EXPECT_EQ(SafeArrayPtrOfIndex(psa, at, &pv), S_OK);
  EXPECT_EQ(pv, data + 4);
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);

  LONG value = 0;
  for (const auto& bad : {std::pair{0, -5}, std::pair{4, -5}, std::pair{1, -6}, std::pair{1, -3}}) {
    LONG indices[2] = {bad.first, bad.second};
    EXPECT_EQ(SafeArrayPutElement(psa, indices, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(psa, indices, &value), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayPtrOfIndex(psa, indices, &pv), DISP_E_BADINDEX);
  }
  EXPECT_EQ(SafeArrayPutElement(nullptr, at, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(nullptr, at, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayPutElement(psa, nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, nullptr, &value), E_INVALIDARG);
  EXPECT_EQ(SafeArrayGetElement(psa, at, nullptr), E_INVALIDARG);
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
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), S_OK);
  EXPECT_EQ(SafeArrayUnlock(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(object.m_cRefs, 1);
}

// Strings and variants are copied in and out (odd lengths and embedded
// zeros kept; a variant destination is raw storage, not cleared);
// interfaces are referenced, and a replaced element is released.
TEST(SafeArrayTest, ElementsAreCopiedInAndOut) {
  SAFEARRAY* psa = CreateVector(VT_BSTR, 1, 2);
  ASSERT_NE(psa, nullptr);
  BSTR source = SysAllocStringByteLen("a\0b", 3);
  LONG index = 2;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, source), S_OK);
  BSTR stored = static_cast<BSTR*>(psa->pvData)[1];
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &out), S_OK);
  for (BSTR copy : {stored, out}) {
    EXPECT_NE(copy, source);
    ASSERT_EQ(SysStringByteLen(copy), 3u);
    EXPECT_EQ(std::memcmp(copy, "a\0b", 3), 0);
  }
  EXPECT_NE(out, stored);
  SysFreeString(out);
  SysFreeString(source);
  source = SysAllocString(OLESTR("xyz"));
  ASSERT_EQ(SafeArrayPutElement(psa, &index, source), S_OK);  // frees the old copy
  EXPECT_EQ(SysStringLen(static_cast<BSTR*>(psa->pvData)[1]), 3u);
  SysFreeString(source);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  psa = CreateVector(VT_VARIANT, 0, 1);
  ASSERT_NE(psa, nullptr);
  VARIANT in;
  VariantInit(&in);
  V_VT(&in) = VT_BSTR;
  V_BSTR(&in) = SysAllocString(OLESTR("value"));
  index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, &in), S_OK);
  VARIANT* pStored = static_cast<VARIANT*>(psa->pvData);
  EXPECT_NE(V_BSTR(pStored), V_BSTR(&in));
  VARIANT vOut;
  V_VT(&vOut) = 0xDEAD;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &vOut), S_OK);
  EXPECT_EQ(V_VT(&vOut), VT_BSTR);
  EXPECT_NE(V_BSTR(&vOut), V_BSTR(pStored));
  EXPECT_EQ(SysStringLen(V_BSTR(&vOut)), 5u);
  EXPECT_EQ(VariantClear(&vOut), S_OK);
  EXPECT_EQ(VariantClear(&in), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  CCountedObject first;
  CCountedObject second;
  psa = CreateVector(VT_DISPATCH, 0, 2);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&first)), S_OK);
  EXPECT_EQ(first.m_cRefs, 2);
  IDispatch* pOut = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &pOut), S_OK);
  EXPECT_EQ(pOut, static_cast<IDispatch*>(&first));
  EXPECT_EQ(first.m_cRefs, 3);
  pOut->Release();
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(first.m_cRefs, 3);
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&second)), S_OK);
  EXPECT_EQ(first.m_cRefs, 2);
  EXPECT_EQ(second.m_cRefs, 2);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(first.m_cRefs + second.m_cRefs, 2);
}

// A copy is deep, keeps the bounds and drops the storage flags; a vector's
// copy keeps its bounds too (its storage flags differ between the
// documentation and Windows, so they are not checked).
TEST(SafeArrayTest, CopyIsDeepAndKeepsBoundsAndFeatures) {
  SAFEARRAYBOUND bounds[2] = {{2, 5}, {3, -3}};
  SAFEARRAY* psa = SafeArrayCreate(VT_BSTR, 2, bounds);
  ASSERT_NE(psa, nullptr);
  LONG indices[2] = {6, -1};
  BSTR value = SysAllocString(OLESTR("odd"));
  ASSERT_EQ(SafeArrayPutElement(psa, indices, value), S_OK);
  SysFreeString(value);
  psa->fFeatures |= FADF_FIXEDSIZE;
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  ASSERT_NE(copy, psa);
  EXPECT_EQ(copy->fFeatures, FADF_HAVEVARTYPE | FADF_BSTR);
  EXPECT_EQ(std::memcmp(copy->rgsabound, psa->rgsabound, sizeof bounds), 0);
  BSTR* from = nullptr;
  BSTR* to = nullptr;
  ASSERT_EQ(SafeArrayPtrOfIndex(psa, indices, reinterpret_cast<void**>(&from)), S_OK);
  ASSERT_EQ(SafeArrayPtrOfIndex(copy, indices, reinterpret_cast<void**>(&to)), S_OK);
  EXPECT_NE(*to, *from);
  EXPECT_EQ(SysStringLen(*to), 3u);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);

  psa = SafeArrayCreateVector(VT_I2, -2, 4);
  ASSERT_NE(psa, nullptr);
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  LONG lBound = 0;
  LONG uBound = 0;
  EXPECT_EQ(SafeArrayGetLBound(copy, 1, &lBound), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(copy, 1, &uBound), S_OK);
  EXPECT_TRUE(lBound == -2 && uBound == 1);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

// The documented answers for null arguments, and, natively, the layer's
// own for what Windows leaves undocumented.
TEST(SafeArrayTest, NullAndOversizedArguments) {
  SAFEARRAY sentinel = {};
  SAFEARRAY* out = &sentinel;
  EXPECT_EQ(SafeArrayCopy(nullptr, &out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
  VARTYPE vt = VT_EMPTY;
  EXPECT_EQ(SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG);
  EXPECT_EQ(SafeArrayLock(nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayUnlock(nullptr), E_INVALIDARG);
  if (!kNativeLayer) return;
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
