// Conformance of the SAFEARRAY functions: descriptors and feature flags,
// dimension order, element access, locking, deep copies and destruction.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>
#include <tuple>

#include "common/conformance.h"
#include "platform/counted_object.h"

namespace {

SAFEARRAY* CreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  SAFEARRAYBOUND bound = {cElements, lLbound};
  return SafeArrayCreate(vt, 1, &bound);
}

// The element size, the feature flags and the element type; types an array
// cannot hold are refused.
TEST(SafeArrayTest, CreateSetsSizeFeaturesAndStoredType) {
  constexpr USHORT kPlain = FADF_HAVEVARTYPE;
  // The type, the element size, the feature flags.
  // clang-format off
  const std::tuple<VARTYPE, UINT, USHORT> rows[] = {
      {VT_UI1, 1, kPlain}, {VT_BOOL, 2, kPlain}, {VT_INT, 4, kPlain}, {VT_ERROR, 4, kPlain},
      {VT_CY, 8, kPlain}, {VT_DATE, 8, kPlain},
      {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
      {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
      {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
      {VT_DISPATCH, sizeof(IDispatch*), FADF_HAVEIID | FADF_DISPATCH}};
  // clang-format on
  for (const auto& [vtElement, cb, features] : rows) {
    SCOPED_TRACE(vtElement);
    SAFEARRAY* psa = CreateVector(vtElement, 0, 3);
    ASSERT_NE(psa, nullptr);
    VARTYPE vt = VT_EMPTY;
    EXPECT_TRUE(psa->cbElements == cb && SafeArrayGetElemsize(psa) == cb &&
                SafeArrayGetDim(psa) == 1u && psa->fFeatures == features &&
                SafeArrayGetVartype(psa, &vt) == S_OK && vt == vtElement);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  for (VARTYPE vt : {VARTYPE{VT_EMPTY}, VARTYPE{VT_NULL}, VARTYPE{15}, VARTYPE{VT_VOID},
                     VARTYPE{VT_RECORD}, VARTYPE{VT_ARRAY | VT_I4}, VARTYPE{VT_BYREF | VT_I4}}) {
    EXPECT_EQ(CreateVector(vt, 0, 3), nullptr) << vt;
  }
  SAFEARRAYBOUND bound = {1, 0};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &bound), nullptr);
}

// Bounds are stored right to left, the leftmost index varies fastest, a
// copy keeps them, and every index and argument is checked; natively also
// sizes beyond what the layer allocates, where Windows leaves the answer open.
TEST(SafeArrayTest, TwoDimensionsElementAccessAndArguments) {
  SAFEARRAYBOUND bounds[2] = {{3, 1}, {2, -5}};
  SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
  ASSERT_NE(psa, nullptr);
  EXPECT_TRUE(psa->rgsabound[0].cElements == 2 && psa->rgsabound[0].lLbound == -5);
  for (LONG n = 0; n < 6; ++n) {
    LONG indices[2] = {1 + n % 3, -5 + n / 3};
    LONG value = indices[0] * 100 - indices[1];
    ASSERT_EQ(SafeArrayPutElement(psa, indices, &value), S_OK);
  }
  const LONG expected[6] = {105, 205, 305, 104, 204, 304};
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
  for (SAFEARRAY* p : {psa, copy}) EXPECT_EQ(std::memcmp(p->pvData, expected, sizeof expected), 0);
  EXPECT_EQ(std::memcmp(copy->rgsabound, psa->rgsabound, sizeof bounds), 0);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

  LONG at[2] = {2, -4};
  LONG l = 0;
  SAFEARRAY sentinel = {};
  SAFEARRAY* out = &sentinel;
  VARTYPE vt = VT_EMPTY;
  // Each call's answer and what it must be, in order.
  // clang-format off
  const std::pair<HRESULT, HRESULT> calls[] = {
      {SafeArrayGetElement(psa, at, &l), S_OK}, {l, 204},
      {SafeArrayPutElement(nullptr, at, &l), E_INVALIDARG},
      {SafeArrayGetElement(nullptr, at, &l), E_INVALIDARG},
      {SafeArrayPutElement(psa, nullptr, &l), E_INVALIDARG},
      {SafeArrayGetElement(psa, nullptr, &l), E_INVALIDARG},
      {SafeArrayGetElement(psa, at, nullptr), E_INVALIDARG},
      {SafeArrayGetVartype(nullptr, &vt), E_INVALIDARG},
      {SafeArrayCopy(nullptr, &out), S_OK}, {out == nullptr, TRUE}};
  // clang-format on
  for (size_t i = 0; i < sizeof calls / sizeof calls[0]; ++i) {
    EXPECT_EQ(calls[i].first, calls[i].second) << "call " << i;
  }
  for (const auto& bad : {std::pair{0, -5}, std::pair{4, -5}, std::pair{1, -6}, std::pair{1, -3}}) {
    LONG indices[2] = {bad.first, bad.second};
    EXPECT_EQ(SafeArrayPutElement(psa, indices, &l), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetElement(psa, indices, &l), DISP_E_BADINDEX);
  }
  EXPECT_EQ(psa->cLocks, 0u);
  EXPECT_TRUE(!kNativeLayer || SafeArrayPutElement(psa, at, nullptr) == E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  if (!kNativeLayer) return;
  SAFEARRAYBOUND huge[4] = {{0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 0}, {2, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 4, huge), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 2, huge), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 0, 0xFFFFFFFFu), nullptr);
}

// Interfaces are referenced in and out, and a replaced one is released. A
// locked array is not destroyed and keeps its elements; each lock is undone
// once.
TEST(SafeArrayTest, InterfaceElementsAndLocks) {
  CCountedObject first;
  CCountedObject second;
  SAFEARRAY* psa = CreateVector(VT_DISPATCH, 0, 1);
  ASSERT_NE(psa, nullptr);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&first)), S_OK);
  IDispatch* pOut = nullptr;
  ASSERT_EQ(SafeArrayGetElement(psa, &index, &pOut), S_OK);
  EXPECT_TRUE(pOut == static_cast<IDispatch*>(&first) && first.m_cRefs == 3);
  pOut->Release();
  ASSERT_EQ(SafeArrayPutElement(psa, &index, static_cast<IDispatch*>(&second)), S_OK);
  EXPECT_TRUE(first.m_cRefs == 1 && second.m_cRefs == 2);
  void* pv = nullptr;
  EXPECT_TRUE(SafeArrayAccessData(psa, &pv) == S_OK && pv == psa->pvData && psa->cLocks == 1u);
  EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(second.m_cRefs, 2) << "the element is kept";
  EXPECT_EQ(SafeArrayUnaccessData(psa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(psa), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  EXPECT_EQ(second.m_cRefs, 1);
}

// Strings and variants are copied in, out and into a copy of the array (odd
// lengths and embedded zeros kept; a variant destination is raw storage,
// not cleared; a replaced string is freed, which the leak check sees); a
// copy drops the storage flags. A null string goes in as an empty one, and
// a string never put reads back as null.
TEST(SafeArrayTest, StringsAreCopiedInOutAndAcross) {
  VARIANT in;
  V_VT(&in) = VT_BSTR;
  V_BSTR(&in) = SysAllocStringByteLen("a\0b", 3);
  LONG index = 2, never = 1;
  for (VARTYPE vt : {VARTYPE{VT_BSTR}, VARTYPE{VT_VARIANT}}) {
    SCOPED_TRACE(vt);
    SAFEARRAY* psa = CreateVector(vt, 1, 2);
    ASSERT_NE(psa, nullptr);
    void* pIn = vt == VT_BSTR ? static_cast<void*>(V_BSTR(&in)) : &in;
    ASSERT_EQ(SafeArrayPutElement(psa, &index, pIn), S_OK);
    ASSERT_EQ(SafeArrayPutElement(psa, &index, pIn), S_OK);
    psa->fFeatures |= FADF_FIXEDSIZE;
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    EXPECT_EQ(copy->fFeatures, psa->fFeatures & ~FADF_FIXEDSIZE);
    VARIANT out;
    V_VT(&out) = 0xDEAD;
    ASSERT_EQ(
        SafeArrayGetElement(psa, &index, vt == VT_BSTR ? static_cast<void*>(&V_BSTR(&out)) : &out),
        S_OK);
    EXPECT_EQ(V_VT(&out), vt == VT_BSTR ? 0xDEAD : VT_BSTR);
    V_VT(&out) = VT_BSTR;
    const auto stored = [vt](SAFEARRAY* p) {
      return vt == VT_BSTR ? static_cast<BSTR*>(p->pvData)[1]
                           : V_BSTR(static_cast<VARIANT*>(p->pvData) + 1);
    };
    const BSTR all[] = {V_BSTR(&in), stored(psa), stored(copy), V_BSTR(&out)};
    for (size_t i = 0; i < std::size(all); ++i) {
      EXPECT_TRUE(SysStringByteLen(all[i]) == 3u && std::memcmp(all[i], "a\0b", 3) == 0) << i;
      for (size_t j = 0; j < i; ++j) EXPECT_NE(all[i], all[j]) << i << " " << j;
    }
    EXPECT_EQ(VariantClear(&out), S_OK);
    if (vt == VT_BSTR) {
      BSTR bstrNever = V_BSTR(&in);
      EXPECT_TRUE(SafeArrayGetElement(psa, &never, &bstrNever) == S_OK && bstrNever == nullptr);
      ASSERT_EQ(SafeArrayPutElement(psa, &never, nullptr), S_OK);
      const BSTR bstrPut = static_cast<BSTR*>(psa->pvData)[0];
      EXPECT_TRUE(bstrPut != nullptr && SysStringLen(bstrPut) == 0);
    }
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
  }
  EXPECT_EQ(VariantClear(&in), S_OK);
}

}  // namespace
