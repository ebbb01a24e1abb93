// Value protection: EncryptValue and DecryptValue on every supported
// element type, the string-list and matrix layouts, the refusals, and the
// decoding of (description, plaintext) pairs, natively and on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/conformance.h"
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

// The element counts of each dimension, in the order of rgsabound, with
// every lower bound 0.
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
  // Protects and restores the value, checking the protected form and that
  // the input is neither changed nor left locked.
  CScopedSafeArray RoundTrip(SAFEARRAY* psaValue, SOpenedBlob* pOpened) {
    const Bytes before = DataOf(psaValue);
    CScopedSafeArray protectedValue;
    CScopedSafeArray restored;
    EXPECT_EQ(EncryptValue(psaValue, protectedValue.Receive()), S_OK) << m_log.Dump();
    EXPECT_EQ(TypeOf(protectedValue.Get()), VT_UI1);
    EXPECT_EQ(Shape(protectedValue.Get()).size(), 1u);
    *pOpened = OpenProtected(protectedValue.Get());
    EXPECT_EQ(DecryptValue(protectedValue.Get(), restored.Receive()), S_OK) << m_log.Dump();
    EXPECT_EQ(DataOf(psaValue), before);
    EXPECT_EQ(psaValue->cLocks, 0u);
    return restored;
  }

  CDpapiTestKeys m_keys;
  CRecordingLogSink m_log;
};

// Each type comes back with its data, as a vector of lower bound 0 except
// the byte matrix, which keeps its shape; the blob holds the description
// and the raw bytes. Both functions log entry and result at level 0.
TEST_F(ValueProtection, EveryTypeRoundTrips) {
  const struct {
    VARTYPE vt;
    std::vector<SAFEARRAYBOUND> bounds;
    const OLECHAR* pszDescr;
    std::vector<ULONG> shape;
  } rows[] = {
      {VT_I1, {{32, 0}}, OLESTR("I1"), {32}},
      {VT_UI1, {{32, 5}}, OLESTR("UI1"), {32}},
      {VT_I8, {{4, -3}}, OLESTR("I8"), {4}},
      {VT_UI8, {{4, 0}}, OLESTR("UI8"), {4}},
      {VT_UI8, {{0, 0}}, OLESTR("UI8"), {0}},
      {VT_INT, {{8, 1}}, OLESTR("INT"), {8}},
      {VT_UINT, {{8, 0}}, OLESTR("UINT"), {8}},
      // Created with the dimensions 2 and 3, with lower bounds that are
      // dropped; the description names the counts last dimension first.
      {VT_UI1, {{2, 1}, {3, -2}}, OLESTR("UI1_MULTI 3 2 "), {3, 2}},
      // Other types of several dimensions come back flat.
      {VT_I8, {{2, 0}, {2, 7}}, OLESTR("I8"), {4}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.pszDescr));
    m_log.Clear();
    CScopedSafeArray value(Filled(row.vt, row.bounds));
    SOpenedBlob opened;
    CScopedSafeArray restored = RoundTrip(value.Get(), &opened);
    EXPECT_EQ(TypeOf(restored.Get()), row.vt);
    EXPECT_EQ(Shape(restored.Get()), row.shape);
    EXPECT_EQ(DataOf(restored.Get()), DataOf(value.Get()));
    EXPECT_EQ(opened.description, row.pszDescr);
    EXPECT_EQ(opened.plaintext, DataOf(value.Get()));
    for (const OLECHAR* pszLine : {OLESTR("EncryptValue"), OLESTR("EncryptValue hr = 0x0"),
                                   OLESTR("DecryptValue"), OLESTR("DecryptValue hr = 0x0")}) {
      EXPECT_TRUE(m_log.Contains(LOG_DETAIL, pszLine)) << m_log.Dump();
      EXPECT_FALSE(m_log.Contains(LOG_ENTRY, pszLine) || m_log.Contains(LOG_EXIT, pszLine));
    }
  }
}

// The string list: each string and a zero unit, then one more zero unit;
// the indices 0 to count - 1 are read whatever the lower bound.
TEST_F(ValueProtection, StringListLayoutAndRoundTrips) {
  const OleText wide{static_cast<OLECHAR>(0x0100), 'x', static_cast<OLECHAR>(0x2000)};
  const OleText longText(1000, 'L');
  const struct {
    LONG lLbound;
    std::vector<OptText> in;
    std::vector<OptText> out;
  } rows[] = {
      {0, {OLESTR("p"), OLESTR("qr")}, {OLESTR("p"), OLESTR("qr")}},
      // Only a whole zero unit ends a string: a low zero byte does not.
      {0, {OLESTR("a"), wide}, {OLESTR("a"), wide}},
      // An empty first string comes back as a null element.
      {0, {OLESTR(""), OLESTR("pqr")}, {std::nullopt, OLESTR("pqr")}},
      // An empty string after the first ends the list.
      {0, {OLESTR("a"), OLESTR(""), OLESTR("b")}, {OLESTR("a")}},
      // Null elements are skipped.
      {0, {OLESTR("a"), std::nullopt, OLESTR("b")}, {OLESTR("a"), OLESTR("b")}},
      // A list without strings comes back as one null element.
      {0, {}, {std::nullopt}},
      {0, {std::nullopt, std::nullopt}, {std::nullopt}},
      {0, {longText, OLESTR("z")}, {longText, OLESTR("z")}},
      // A zero unit inside a string splits it, as in every such list.
      {0, {OleText{'a', 0, 'b'}}, {OLESTR("a"), OLESTR("b")}},
      // Kept as the system has always read string vectors: with lower bound
      // 1 the last string is never read, with -1 the first.
      {1, {OLESTR("x"), OLESTR("y"), OLESTR("z")}, {OLESTR("x"), OLESTR("y")}},
      {-1, {OLESTR("x"), OLESTR("y"), OLESTR("z")}, {OLESTR("y"), OLESTR("z")}},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    SCOPED_TRACE(i);
    CScopedSafeArray value(MakeStrings(rows[i].lLbound, rows[i].in));
    SOpenedBlob opened;
    CScopedSafeArray restored = RoundTrip(value.Get(), &opened);
    EXPECT_EQ(TypeOf(restored.Get()), VT_BSTR);
    EXPECT_EQ(StringsOf(restored.Get()), rows[i].out);
    EXPECT_EQ(opened.description, OLESTR("BSTR"));
    EXPECT_TRUE(i != 0 || opened.plaintext == (Bytes{'p', 0, 0, 0, 'q', 0, 'r', 0, 0, 0, 0, 0}));
    EXPECT_TRUE(!rows[i].in.empty() || opened.plaintext == (Bytes{0, 0, 0, 0}));
  }
}

TEST_F(ValueProtection, UnsupportedTypesAndNullArgumentsAreRefusedWithoutOutput) {
  std::vector<CScopedSafeArray> refused;
  for (VARTYPE vt : {VT_I2, VT_I4, VT_R4, VT_R8, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_UI2, VT_UI4}) {
    refused.emplace_back(SafeArrayCreateVector(vt, 0, 2));
  }
  refused.emplace_back(Filled(VT_UI1, {{2, 0}, {2, 0}, {2, 0}}));
  refused.emplace_back(SafeArrayCreate(VT_BSTR, 2, std::vector<SAFEARRAYBOUND>(2, {2, 0}).data()));
  for (const CScopedSafeArray& value : refused) {
    SCOPED_TRACE(TypeOf(value.Get()));
    m_log.Clear();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(EncryptValue(value.Get(), &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("EncryptValue unsupported vt"))) << m_log.Dump();
    EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("EncryptValue hr = 0x80004005")));
    EXPECT_EQ(value.Get()->cLocks, 0u);
  }
  SAFEARRAY* psaOut = kUntouched;
  EXPECT_EQ(EncryptValue(nullptr, &psaOut) | DecryptValue(nullptr, &psaOut), E_INVALIDARG);
  EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed")));
  EXPECT_EQ(psaOut, kUntouched);
  EXPECT_EQ(EncryptValue(refused[0].Get(), nullptr), E_POINTER);
  EXPECT_EQ(DecryptValue(refused[0].Get(), nullptr), E_POINTER);
}

// A damaged blob, one sealed without the system's entropy or by another
// account fails after both keys, with no output.
TEST_F(ValueProtection, DamagedOrForeignBlobFailsAfterBothKeys) {
  CScopedSafeArray value(MakeVector(VT_UI1, 0, {1, 2, 3}));
  CScopedSafeArray protectedValue;
  ASSERT_EQ(EncryptValue(value.Get(), protectedValue.Receive()), S_OK);
  Bytes blob = DataOf(protectedValue.Get());
  blob.back() ^= 0x40;
  std::vector<CScopedSafeArray> bad;
  bad.emplace_back(MakeVector(VT_UI1, 0, blob));
  bad.emplace_back(MakeVector(VT_UI1, 0, Bytes(100, 0x41)));
  bad.emplace_back(MakeVector(VT_UI1, 0, {}));
  bad.emplace_back(SealProtected(OLESTR("UI1"), {'U'}, false));
  std::optional<CDpapiTestKeys> otherAccount;
  if (kNativeLayer) {
    otherAccount.emplace();  // the value sealed above is another account's
    bad.emplace_back(MakeVector(VT_UI1, 0, DataOf(protectedValue.Get())));
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    m_log.Clear();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(DecryptValue(bad[i].Get(), &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue CryptUnProtectData with user key "
                                                  "failed => try with machine key")) &&
                m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue bRet = 0 error = d")) &&
                m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue CryptUnProtectData failed")))
        << m_log.Dump();
  }
}

// Crafted (description, plaintext) pairs: whole-text descriptions, the
// matrix by its prefix, plaintexts that do not fit their description, and
// the walk of a string list.
TEST_F(ValueProtection, CraftedPairsAreDecodedOrRefused) {
  const struct {
    const OLECHAR* pszDescr;
    Bytes plaintext;
    std::vector<ULONG> shape = {};      // on success
    std::vector<OptText> strings = {};  // for "BSTR"
  } decoded[] = {
      {OLESTR("I1"), {0x80, 1}, {2}},
      // The matrix counts are read after the first nine characters.
      {OLESTR("UI1_MULTI3 2"), {1, 2, 3, 4, 5, 6}, {3, 2}},
      {OLESTR("UI1_MULTI 0 7 "), {}, {0, 7}},
      // Units after the last zero unit, and an odd last byte, belong to no
      // string; an empty string after the first ends the list.
      {OLESTR("BSTR"), {'a', 0, 0, 0, 'b', 0, 'c'}, {1}, {OLESTR("a")}},
      {OLESTR("BSTR"), {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0}, {1}, {OLESTR("a")}},
      {OLESTR("BSTR"), {'a', 0, 'b'}, {0}},
  };
  for (const auto& row : decoded) {
    SCOPED_TRACE(ToUtf8(row.pszDescr));
    CScopedSafeArray sealed(SealProtected(row.pszDescr, row.plaintext));
    CScopedSafeArray restored;
    EXPECT_EQ(DecryptValue(sealed.Get(), restored.Receive()), S_OK);
    EXPECT_EQ(Shape(restored.Get()), row.shape);
    EXPECT_TRUE(TypeOf(restored.Get()) != VT_BSTR || StringsOf(restored.Get()) == row.strings);
  }
  EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue nbElem = 0"))) << m_log.Dump();
  // Descriptions known only as whole texts, interface pointers (never
  // restored), and plaintexts that do not fit their description.
  const struct {
    const OLECHAR* pszDescr;
    Bytes plaintext;
  } refused[] = {
      {OLESTR("UI1_MULTIX 2 3"), Bytes(6, 1)},
      {OLESTR("UNKNOWN"), Bytes(16, 0x41)},
      {OLESTR("INT"), Bytes(6, 1)},
      {OLESTR("UI8"), Bytes(12, 1)},
      {OLESTR("UI1_MULTI 3 2 "), Bytes(5, 1)},
      {OLESTR("UI1_MULTI -2 -3 "), Bytes(6, 1)},
      {OLESTR("UI1_MULTI 4294967298 1 "), Bytes(2, 1)},
      {OLESTR("UI1_MULTI 2147483647 2147483647 "), Bytes(1, 1)},
      {OLESTR("UI1_MULTI 3"), Bytes(3, 1)},
      {OLESTR("UI1_MULTI"), Bytes(3, 1)},
      {OLESTR("R8"), Bytes(4, 1)},
      {OLESTR("UI1 "), Bytes(4, 1)},
      {OLESTR("bstr"), Bytes(4, 1)},
      {OLESTR(""), Bytes(4, 1)},
      {OLESTR("I"), Bytes(4, 1)},
      {OLESTR("UI1_MULT"), Bytes(4, 1)},
  };
  for (size_t i = 0; i < std::size(refused); ++i) {
    SCOPED_TRACE(ToUtf8(refused[i].pszDescr));
    m_log.Clear();
    CScopedSafeArray sealed(SealProtected(refused[i].pszDescr, refused[i].plaintext));
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(DecryptValue(sealed.Get(), &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_EQ(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue *pDescrOut unknown")), i >= 10);
  }
}

}  // namespace
