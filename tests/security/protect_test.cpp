// Value protection: EncryptValue and DecryptValue on every supported
// element type, the string-list and matrix layouts, the refusals, and the
// decoding of (description, plaintext) pairs, natively and on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/dpapi_test_keys.h"
#include "common/recording_log_sink.h"
#include "security/protect.h"
#include "security/protect_test_util.h"
#include "support/scopedsafearray.h"

namespace {

// An address no call may write to the output.
SAFEARRAY* const kUntouched = reinterpret_cast<SAFEARRAY*>(static_cast<uintptr_t>(0x5A5A5A50));

VARTYPE TypeOf(SAFEARRAY* psa) {
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(psa, &vt);
  return vt;
}

// The element counts of each dimension, in the order of rgsabound; 0xBAD
// for a lower bound other than 0.
std::vector<ULONG> Shape(SAFEARRAY* psa) {
  std::vector<ULONG> shape;
  for (UINT d = 0; psa != nullptr && d < psa->cDims; ++d) {
    shape.push_back(psa->rgsabound[d].lLbound == 0 ? psa->rgsabound[d].cElements : 0xBAD);
  }
  return shape;
}

SAFEARRAY* Filled(VARTYPE vt, std::vector<SAFEARRAYBOUND> bounds) {
  SAFEARRAY* psa = SafeArrayCreate(vt, static_cast<UINT>(bounds.size()), bounds.data());
  void* pv = nullptr;
  if (psa != nullptr && SUCCEEDED(SafeArrayAccessData(psa, &pv))) {
    const Bytes data = DataOf(psa);
    for (size_t i = 0; i < data.size(); ++i) static_cast<BYTE*>(pv)[i] = BYTE(0xF0 - 7 * i);
    SafeArrayUnaccessData(psa);
  }
  return psa;
}

class ValueProtection : public ::testing::Test {
 protected:
  CDpapiTestKeys m_keys;
  CRecordingLogSink m_log;
};

// Each value comes back with its type and data, as a vector of lower bound
// 0 except the byte matrix, which keeps its shape; the protected form is a
// byte vector of lower bound 0, whatever the input's, holding the
// description and the raw bytes, and the input is neither changed nor left
// locked. The string list: each string and a
// zero unit, then one more zero unit; the indices 0 to count - 1 are read
// whatever the lower bound.
TEST_F(ValueProtection, EveryTypeRoundTrips) {
  const OleText wide{static_cast<OLECHAR>(0x0100), 'x', static_cast<OLECHAR>(0x2000)};
  const OleText x = OLESTR("x"), y = OLESTR("y"), z = OLESTR("z"), yz = OLESTR("yz");
  const struct {
    SAFEARRAY* psaValue;
    const OLECHAR* pszDescr;
    std::vector<ULONG> shape;
    std::vector<OptText> strings = {};  // of a list
    Bytes plaintext = {};               // of a list, when not empty
  } rows[] = {
      {Filled(VT_I1, {{32, 0}}), OLESTR("I1"), {32}},
      {Filled(VT_UI1, {{32, 5}}), OLESTR("UI1"), {32}},
      {Filled(VT_I8, {{4, -3}}), OLESTR("I8"), {4}},
      {Filled(VT_UI8, {{4, 0}}), OLESTR("UI8"), {4}},
      {Filled(VT_UI8, {{0, 0}}), OLESTR("UI8"), {0}},
      {Filled(VT_INT, {{8, 1}}), OLESTR("INT"), {8}},
      {Filled(VT_UINT, {{8, 0}}), OLESTR("UINT"), {8}},
      // Created with the dimensions 2 and 3, with lower bounds that are
      // dropped; the description names the counts last dimension first.
      {Filled(VT_UI1, {{2, 1}, {3, -2}}), OLESTR("UI1_MULTI 3 2 "), {3, 2}},
      // Other types of several dimensions come back flat.
      {Filled(VT_I8, {{2, 0}, {2, 7}}), OLESTR("I8"), {4}},
      {MakeStrings(0, {x, yz}),
       OLESTR("BSTR"),
       {2},
       {x, yz},
       {'x', 0, 0, 0, 'y', 0, 'z', 0, 0, 0, 0, 0}},
      // Only a whole zero unit ends a string: a low zero byte does not.
      {MakeStrings(0, {x, wide}), OLESTR("BSTR"), {2}, {x, wide}},
      // An empty first string comes back as a null element.
      {MakeStrings(0, {OLESTR(""), x}), OLESTR("BSTR"), {2}, {std::nullopt, x}},
      // An empty string after the first ends the list.
      {MakeStrings(0, {x, OLESTR(""), y}), OLESTR("BSTR"), {1}, {x}},
      // Null elements are skipped.
      {MakeStrings(0, {x, std::nullopt, y}), OLESTR("BSTR"), {2}, {x, y}},
      // A list without strings comes back as one null element.
      {MakeStrings(0, {}), OLESTR("BSTR"), {1}, {std::nullopt}, {0, 0, 0, 0}},
      // A zero unit inside a string splits it, as in every such list.
      {MakeStrings(0, {OleText{'a', 0, 'b'}}), OLESTR("BSTR"), {2}, {OLESTR("a"), OLESTR("b")}},
      // Kept as the system has always read string vectors: with lower bound
      // 1 the last string is never read, with -1 the first.
      {MakeStrings(1, {x, y, z}), OLESTR("BSTR"), {2}, {x, y}},
      {MakeStrings(-1, {x, y, z}), OLESTR("BSTR"), {2}, {y, z}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    m_log.Clear();
    CScopedSafeArray value(rows[i].psaValue);
    const bool bList = TypeOf(value.Get()) == VT_BSTR;
    const Bytes before = DataOf(value.Get());
    CScopedSafeArray protectedValue;
    CScopedSafeArray restored;
    EXPECT_EQ(EncryptValue(value.Get(), protectedValue.Receive()), S_OK) << m_log.Dump();
    EXPECT_EQ(TypeOf(protectedValue.Get()), VT_UI1);
    EXPECT_EQ(Shape(protectedValue.Get()),
              std::vector<ULONG>{ULONG(DataOf(protectedValue.Get()).size())});
    const SOpenedBlob opened = OpenProtected(protectedValue.Get());
    EXPECT_EQ(DecryptValue(protectedValue.Get(), restored.Receive()), S_OK) << m_log.Dump();
    EXPECT_EQ(DataOf(value.Get()), before);
    EXPECT_EQ(value.Get()->cLocks, 0u);
    EXPECT_EQ(TypeOf(restored.Get()), TypeOf(value.Get()));
    EXPECT_EQ(Shape(restored.Get()), rows[i].shape);
    EXPECT_TRUE(bList ? StringsOf(restored.Get()) == rows[i].strings
                      : DataOf(restored.Get()) == DataOf(value.Get()));
    EXPECT_EQ(opened.description, rows[i].pszDescr);
    EXPECT_TRUE(bList ? rows[i].plaintext.empty() || opened.plaintext == rows[i].plaintext
                      : opened.plaintext == DataOf(value.Get()));
  }
}

// Crafted (description, plaintext) pairs: the matrix decoded by its
// prefix and the walk of a string list; refused with E_FAIL and no output
// (empty shape), descriptions known only as whole texts, interface pointers
// (never restored) and plaintexts that do not fit their description.
TEST_F(ValueProtection, CraftedPairs) {
  const struct {
    const OLECHAR* pszDescr;
    Bytes plaintext;
    std::vector<ULONG> shape = {};
    std::vector<OptText> strings = {};  // for "BSTR"
  } rows[] = {
      // The matrix counts are read after the first nine characters.
      {OLESTR("UI1_MULTI3 2"), {1, 2, 3, 4, 5, 6}, {3, 2}},
      {OLESTR("UI1_MULTI 0 7 "), {}, {0, 7}},
      // Units after the last zero unit, and an odd last byte, belong to no
      // string; an empty string after the first ends the list.
      {OLESTR("BSTR"), {'a', 0, 0, 0, 'b', 0, 'c'}, {1}, {OLESTR("a")}},
      {OLESTR("BSTR"), {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0}, {1}, {OLESTR("a")}},
      {OLESTR("BSTR"), {'a', 0, 'b'}, {0}},
      {OLESTR("R8"), Bytes(4, 1)},
      {OLESTR("UI1 "), Bytes(4, 1)},
      {OLESTR("bstr"), Bytes(4, 1)},
      {OLESTR(""), Bytes(4, 1)},
      {OLESTR("I"), Bytes(4, 1)},
      {OLESTR("UI1_MULT"), Bytes(4, 1)},
      {OLESTR("UI1_MULTIX 2 3"), Bytes(6, 1)},
      {OLESTR("INT"), Bytes(6, 1)},
      {OLESTR("UI1_MULTI 3 2 "), Bytes(5, 1)},
      {OLESTR("UI1_MULTI -2 -3 "), Bytes(6, 1)},
      {OLESTR("UI1_MULTI 4294967298 1 "), Bytes(2, 1)},
      {OLESTR("UI1_MULTI 2147483647 2147483647 "), Bytes(1, 1)},
      {OLESTR("UI1_MULTI 3"), Bytes(3, 1)},
      {OLESTR("UI1_MULTI"), Bytes(3, 1)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.pszDescr));
    CScopedSafeArray sealed(SealProtected(row.pszDescr, row.plaintext));
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(DecryptValue(sealed.Get(), &psaOut), row.shape.empty() ? E_FAIL : S_OK);
    CScopedSafeArray restored(psaOut == kUntouched ? nullptr : psaOut);
    EXPECT_EQ(Shape(restored.Get()), row.shape);
    EXPECT_TRUE(TypeOf(restored.Get()) != VT_BSTR || StringsOf(restored.Get()) == row.strings);
    EXPECT_EQ(sealed.Get()->cLocks, 0u);
  }
  EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue nbElem = 0")) &&
              m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue *pDescrOut unknown")))
      << m_log.Dump();
}

// Unsupported types and shapes are refused on the way in, a damaged blob
// on the way back after both keys (what else the platform refuses, and
// that another account's keys open nothing, the data protection tests
// show): E_FAIL, no output, the input not left locked.
TEST_F(ValueProtection, RefusalsLeaveNoOutput) {
  std::vector<CScopedSafeArray> values;
  for (VARTYPE vt : {VT_I2, VT_I4, VT_R4, VT_R8, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_UI2, VT_UI4}) {
    values.emplace_back(SafeArrayCreateVector(vt, 0, 2));
  }
  values.emplace_back(Filled(VT_UI1, {{2, 0}, {2, 0}, {2, 0}}));
  std::vector<SAFEARRAYBOUND> square(2, {2, 0});
  values.emplace_back(SafeArrayCreate(VT_BSTR, 2, square.data()));
  CScopedSafeArray value(MakeBytes({1, 2, 3}));
  CScopedSafeArray protectedValue;
  ASSERT_EQ(EncryptValue(value.Get(), protectedValue.Receive()), S_OK);
  Bytes damaged = DataOf(protectedValue.Get());
  damaged.back() ^= 0x40;
  values.emplace_back(MakeBytes(damaged));
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    m_log.Clear();
    const bool bEncrypt = i + 1 < values.size();
    SAFEARRAY* const psa = values[i].Get();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(bEncrypt ? EncryptValue(psa, &psaOut) : DecryptValue(psa, &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_EQ(psa->cLocks, 0u);
    EXPECT_TRUE(m_log.Contains(LOG_FAILURE, bEncrypt
                                                ? OLESTR("EncryptValue unsupported vt")
                                                : OLESTR("DecryptValue CryptUnProtectData failed")))
        << m_log.Dump();
  }
  EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue CryptUnProtectData with user key "
                                                "failed => try with machine key")) &&
              m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue bRet = 0 error = d")));
  SAFEARRAY* psaOut = kUntouched;
  EXPECT_EQ(EncryptValue(nullptr, &psaOut) | DecryptValue(nullptr, &psaOut), E_INVALIDARG);
  EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed")));
  EXPECT_EQ(psaOut, kUntouched);
  EXPECT_EQ(EncryptValue(value.Get(), nullptr), E_POINTER);
  EXPECT_EQ(DecryptValue(protectedValue.Get(), nullptr), E_POINTER);
}

}  // namespace
