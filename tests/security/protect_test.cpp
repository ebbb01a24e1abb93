// Value protection: EncryptValue and DecryptValue on every supported
// element type, the string-list and matrix layouts, the refusals, and the
// decoding of (description, plaintext) pairs, natively and on Windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "common/conformance.h"
#include "common/dpapi_test_keys.h"
#include "common/recording_log_sink.h"
#include "security/protect.h"
#include "security/protect_test_util.h"
#include "support/scopedsafearray.h"

namespace {

// An address no call may write to the output.
SAFEARRAY* const kUntouched = reinterpret_cast<SAFEARRAY*>(static_cast<uintptr_t>(0x5A5A5A50));

class ValueProtection : public ::testing::Test {
 protected:
  // Protects and restores the value; fails the test on any error.
  CScopedSafeArray RoundTrip(SAFEARRAY* psaValue, SOpenedBlob* pOpened = nullptr) {
    CScopedSafeArray protectedValue;
    CScopedSafeArray restored;
    EXPECT_EQ(EncryptValue(psaValue, protectedValue.Receive()), S_OK) << m_log.Dump();
    if (protectedValue.Get() == nullptr) return restored;
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(protectedValue.Get(), &vt);
    EXPECT_EQ(vt, VT_UI1);
    EXPECT_EQ(SafeArrayGetDim(protectedValue.Get()), 1u);
    EXPECT_EQ(protectedValue.Get()->rgsabound[0].lLbound, 0);
    if (pOpened != nullptr) *pOpened = OpenProtected(protectedValue.Get());
    EXPECT_EQ(DecryptValue(protectedValue.Get(), restored.Receive()), S_OK) << m_log.Dump();
    return restored;
  }

  // Restores a crafted (description, plaintext) pair.
  HRESULT Restore(const OLECHAR* pszDescr, const Bytes& plaintext, SAFEARRAY** ppsa) {
    CScopedSafeArray sealed(SealProtected(pszDescr, plaintext));
    EXPECT_NE(sealed.Get(), nullptr);
    return DecryptValue(sealed.Get(), ppsa);
  }

  static VARTYPE TypeOf(SAFEARRAY* psa) {
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(psa, &vt);
    return vt;
  }

  CDpapiTestKeys m_keys;
  CRecordingLogSink m_log;
};

TEST_F(ValueProtection, EveryVectorTypeRoundTripsWithItsDescriptionAndLowerBoundZero) {
  struct SCase {
    VARTYPE vt;
    const OLECHAR* pszDescr;
    UINT cbElement;
  };
  const SCase cases[] = {{VT_I1, OLESTR("I1"), 1},   {VT_UI1, OLESTR("UI1"), 1},
                         {VT_I8, OLESTR("I8"), 8},   {VT_UI8, OLESTR("UI8"), 8},
                         {VT_INT, OLESTR("INT"), 4}, {VT_UINT, OLESTR("UINT"), 4}};
  Bytes data(32);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(0xF0 - 7 * i);
  for (const SCase& c : cases) {
    for (LONG lLbound : {0, 5, -3}) {
      SCOPED_TRACE(testing::Message() << "vt " << c.vt << " lower bound " << lLbound);
      CScopedSafeArray value(MakeVector(c.vt, lLbound, data));
      SOpenedBlob opened;
      CScopedSafeArray restored = RoundTrip(value.Get(), &opened);
      ASSERT_NE(restored.Get(), nullptr);
      EXPECT_EQ(TypeOf(restored.Get()), c.vt);
      EXPECT_EQ(SafeArrayGetDim(restored.Get()), 1u);
      EXPECT_EQ(SafeArrayGetElemsize(restored.Get()), c.cbElement);
      EXPECT_EQ(restored.Get()->rgsabound[0].lLbound, 0);
      EXPECT_EQ(restored.Get()->rgsabound[0].cElements, 32 / c.cbElement);
      EXPECT_EQ(DataOf(restored.Get()), data);
      // The blob carries the type as its description and the raw bytes.
      ASSERT_TRUE(opened.bOpened) << opened.dwError;
      EXPECT_EQ(opened.description, c.pszDescr);
      EXPECT_EQ(opened.plaintext, data);
      // The input is neither changed nor left locked.
      EXPECT_EQ(DataOf(value.Get()), data);
      EXPECT_EQ(value.Get()->cLocks, 0u);
    }
  }
}

TEST_F(ValueProtection, EmptyVectorRoundTrips) {
  CScopedSafeArray value(MakeVector(VT_UI8, 0, {}));
  CScopedSafeArray restored = RoundTrip(value.Get());
  ASSERT_NE(restored.Get(), nullptr);
  EXPECT_EQ(TypeOf(restored.Get()), VT_UI8);
  EXPECT_EQ(restored.Get()->rgsabound[0].cElements, 0u);
}

TEST_F(ValueProtection, ByteMatrixKeepsItsShapeAndElementOrder) {
  // Created with the dimensions 2 and 3, with lower bounds that are dropped.
  SAFEARRAYBOUND bounds[2] = {{2, 1}, {3, -2}};
  CScopedSafeArray value(SafeArrayCreate(VT_UI1, 2, bounds));
  ASSERT_NE(value.Get(), nullptr);
  for (LONG i = 0; i < 2; ++i) {
    for (LONG j = 0; j < 3; ++j) {
      LONG indices[2] = {1 + i, -2 + j};
      BYTE b = static_cast<BYTE>(16 * i + j);
      ASSERT_EQ(SafeArrayPutElement(value.Get(), indices, &b), S_OK);
    }
  }
  SOpenedBlob opened;
  CScopedSafeArray restored = RoundTrip(value.Get(), &opened);
  ASSERT_NE(restored.Get(), nullptr);
  EXPECT_EQ(opened.description, OLESTR("UI1_MULTI 3 2 "));
  EXPECT_EQ(opened.plaintext, DataOf(value.Get()));
  EXPECT_EQ(TypeOf(restored.Get()), VT_UI1);
  ASSERT_EQ(SafeArrayGetDim(restored.Get()), 2u);
  for (UINT d = 1; d <= 2; ++d) {
    LONG lLower = -1;
    LONG lUpper = -1;
    SafeArrayGetLBound(restored.Get(), d, &lLower);
    SafeArrayGetUBound(restored.Get(), d, &lUpper);
    EXPECT_EQ(lLower, 0);
    EXPECT_EQ(lUpper, d == 1 ? 1 : 2);
  }
  for (LONG i = 0; i < 2; ++i) {
    for (LONG j = 0; j < 3; ++j) {
      LONG indices[2] = {i, j};
      BYTE b = 0xFF;
      ASSERT_EQ(SafeArrayGetElement(restored.Get(), indices, &b), S_OK);
      EXPECT_EQ(b, 16 * i + j);
    }
  }
}

TEST_F(ValueProtection, OtherTypesWithSeveralDimensionsComeBackFlat) {
  SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 7}};
  CScopedSafeArray value(SafeArrayCreate(VT_I8, 2, bounds));
  ASSERT_NE(value.Get(), nullptr);
  Bytes data(32);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i + 1);
  void* pv = nullptr;
  ASSERT_EQ(SafeArrayAccessData(value.Get(), &pv), S_OK);
  std::memcpy(pv, data.data(), data.size());
  SafeArrayUnaccessData(value.Get());
  CScopedSafeArray restored = RoundTrip(value.Get());
  ASSERT_NE(restored.Get(), nullptr);
  EXPECT_EQ(TypeOf(restored.Get()), VT_I8);
  EXPECT_EQ(SafeArrayGetDim(restored.Get()), 1u);
  EXPECT_EQ(DataOf(restored.Get()), data);
}

TEST_F(ValueProtection, UnsupportedTypesAreRefusedWithoutOutput) {
  std::vector<CScopedSafeArray> refused;
  for (VARTYPE vt : {VT_I2, VT_I4, VT_R4, VT_R8, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_UI2, VT_UI4}) {
    refused.emplace_back(SafeArrayCreateVector(vt, 0, 2));
  }
  SAFEARRAYBOUND cube[3] = {{2, 0}, {2, 0}, {2, 0}};
  refused.emplace_back(SafeArrayCreate(VT_UI1, 3, cube));
  SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
  refused.emplace_back(SafeArrayCreate(VT_BSTR, 2, square));
  for (const CScopedSafeArray& value : refused) {
    ASSERT_NE(value.Get(), nullptr);
    SCOPED_TRACE(TypeOf(value.Get()));
    m_log.Clear();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(EncryptValue(value.Get(), &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("EncryptValue unsupported vt"))) << m_log.Dump();
    EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("EncryptValue hr = 0x80004005")));
    EXPECT_EQ(value.Get()->cLocks, 0u);
  }
}

TEST_F(ValueProtection, NullArgumentsAreRefused) {
  SAFEARRAY* psaOut = kUntouched;
  EXPECT_EQ(EncryptValue(nullptr, &psaOut), E_INVALIDARG);
  EXPECT_EQ(DecryptValue(nullptr, &psaOut), E_INVALIDARG);
  EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue SafeArrayAccessData failed")));
  EXPECT_EQ(psaOut, kUntouched);
  CScopedSafeArray value(MakeVector(VT_UI1, 0, {1, 2}));
  EXPECT_EQ(EncryptValue(value.Get(), nullptr), E_POINTER);
  EXPECT_EQ(DecryptValue(value.Get(), nullptr), E_POINTER);
}

TEST_F(ValueProtection, StringListLayoutAndRoundTrips) {
  struct SCase {
    std::vector<OptText> in;
    std::vector<OptText> out;
  };
  const OleText wide{static_cast<OLECHAR>(0x0100), 'x', static_cast<OLECHAR>(0x2000)};
  const OleText longText(1000, 'L');
  const SCase cases[] = {
      {{OLESTR("p"), OLESTR("qr")}, {OLESTR("p"), OLESTR("qr")}},
      // Only a whole zero unit ends a string: a low zero byte does not.
      {{OLESTR("a"), wide}, {OLESTR("a"), wide}},
      // An empty first string comes back as a null element.
      {{OLESTR(""), OLESTR("pqr")}, {std::nullopt, OLESTR("pqr")}},
      // An empty string after the first ends the list.
      {{OLESTR("a"), OLESTR(""), OLESTR("b")}, {OLESTR("a")}},
      // Null elements are skipped.
      {{OLESTR("a"), std::nullopt, OLESTR("b")}, {OLESTR("a"), OLESTR("b")}},
      // A list without strings comes back as one null element.
      {{}, {std::nullopt}},
      {{std::nullopt, std::nullopt}, {std::nullopt}},
      {{longText, OLESTR("z")}, {longText, OLESTR("z")}},
      // A zero unit inside a string splits it, as in every such list.
      {{OleText{'a', 0, 'b'}}, {OLESTR("a"), OLESTR("b")}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    CScopedSafeArray value(MakeStrings(0, cases[i].in));
    SOpenedBlob opened;
    CScopedSafeArray restored = RoundTrip(value.Get(), &opened);
    ASSERT_NE(restored.Get(), nullptr);
    EXPECT_EQ(TypeOf(restored.Get()), VT_BSTR);
    EXPECT_EQ(StringsOf(restored.Get()), cases[i].out);
    EXPECT_EQ(opened.description, OLESTR("BSTR"));
  }

  // The layout: each string and a zero unit, then one more zero unit.
  CScopedSafeArray pqr(MakeStrings(0, {OLESTR("p"), OLESTR("qr")}));
  CScopedSafeArray protectedValue;
  ASSERT_EQ(EncryptValue(pqr.Get(), protectedValue.Receive()), S_OK);
  EXPECT_EQ(OpenProtected(protectedValue.Get()).plaintext,
            (Bytes{'p', 0, 0, 0, 'q', 0, 'r', 0, 0, 0, 0, 0}));
  CScopedSafeArray none(MakeStrings(0, {}));
  ASSERT_EQ(EncryptValue(none.Get(), protectedValue.Receive()), S_OK);
  EXPECT_EQ(OpenProtected(protectedValue.Get()).plaintext, (Bytes{0, 0, 0, 0}));
}

TEST_F(ValueProtection, StringVectorIsReadFromIndexZeroWhateverItsLowerBound) {
  // Kept as the system has always read string vectors: the indices 0 to
  // count - 1, so with lower bound 1 the last string is never read.
  CScopedSafeArray value(MakeStrings(1, {OLESTR("x"), OLESTR("y"), OLESTR("z")}));
  CScopedSafeArray restored = RoundTrip(value.Get());
  ASSERT_NE(restored.Get(), nullptr);
  EXPECT_EQ(StringsOf(restored.Get()), (std::vector<OptText>{OLESTR("x"), OLESTR("y")}));
  CScopedSafeArray below(MakeStrings(-1, {OLESTR("x"), OLESTR("y"), OLESTR("z")}));
  restored = RoundTrip(below.Get());
  EXPECT_EQ(StringsOf(restored.Get()), (std::vector<OptText>{OLESTR("y"), OLESTR("z")}));
}

TEST_F(ValueProtection, ProtectionAndRestorationLogAtLevelZero) {
  CScopedSafeArray value(MakeVector(VT_UI1, 0, {1, 2, 3}));
  CScopedSafeArray restored = RoundTrip(value.Get());
  const std::vector<OleText> expected = {
      OLESTR("EncryptValue"),
      OLESTR("EncryptValue CryptProtectData succeed"),
      OLESTR("EncryptValue hr = 0x0"),
      OLESTR("DecryptValue"),
      OLESTR("DecryptValue CryptUnProtectData succeed"),
      OLESTR("DecryptValue hr = 0x0"),
  };
  EXPECT_EQ(m_log.Texts(), expected) << m_log.Dump();
  for (const auto& line : m_log.Lines()) EXPECT_EQ(line.lLevel, LOG_DETAIL);
}

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
  // A blob sealed without the system's entropy.
  BYTE plain[] = {'U'};
  DATA_BLOB in{1, plain};
  DATA_BLOB out{0, nullptr};
  ASSERT_TRUE(CryptProtectData(&in, OLESTR("UI1"), nullptr, nullptr, nullptr, 0x11, &out));
  bad.emplace_back(MakeVector(VT_UI1, 0, Bytes(out.pbData, out.pbData + out.cbData)));
  LocalFree(out.pbData);
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    m_log.Clear();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(DecryptValue(bad[i].Get(), &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_TRUE(m_log.Contains(
        LOG_DETAIL,
        OLESTR("DecryptValue CryptUnProtectData with user key failed => try with machine key")));
    EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue bRet = 0 error = d")))
        << m_log.Dump();
    EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue CryptUnProtectData failed")));
  }
}

TEST_F(ValueProtection, ValueOfAnotherAccountCannotBeRestored) {
  if (!kNativeLayer) GTEST_SKIP() << "needs a second account's keys";
  CScopedSafeArray value(MakeStrings(0, {OLESTR("1234")}));
  CScopedSafeArray protectedValue;
  ASSERT_EQ(EncryptValue(value.Get(), protectedValue.Receive()), S_OK);
  CDpapiTestKeys otherAccount;
  CScopedSafeArray other;
  ASSERT_EQ(EncryptValue(value.Get(), other.Receive()), S_OK);
  SAFEARRAY* psaOut = kUntouched;
  EXPECT_EQ(DecryptValue(protectedValue.Get(), &psaOut), E_FAIL);
  EXPECT_EQ(psaOut, kUntouched);
  EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue CryptUnProtectData failed")));
}

TEST_F(ValueProtection, DescriptionsAreMatchedAsWholeTextsAndTheMatrixByPrefix) {
  CScopedSafeArray restored;
  EXPECT_EQ(Restore(OLESTR("I1"), {0x80, 1}, restored.Receive()), S_OK);
  EXPECT_EQ(TypeOf(restored.Get()), VT_I1);
  // The matrix counts are read after the first nine characters.
  EXPECT_EQ(Restore(OLESTR("UI1_MULTIX 2 3"), {1, 2, 3, 4, 5, 6}, restored.Receive()), E_FAIL);
  EXPECT_EQ(Restore(OLESTR("UI1_MULTI3 2"), {1, 2, 3, 4, 5, 6}, restored.Receive()), S_OK);
  EXPECT_EQ(restored.Get()->rgsabound[0].cElements, 3u);
  EXPECT_EQ(restored.Get()->rgsabound[1].cElements, 2u);

  for (const OLECHAR* pszDescr : {OLESTR("R8"), OLESTR("UI1 "), OLESTR("bstr"), OLESTR(""),
                                  OLESTR("I"), OLESTR("UI1_MULT")}) {
    m_log.Clear();
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(Restore(pszDescr, {1, 2, 3, 4}, &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
    EXPECT_TRUE(m_log.Contains(LOG_FAILURE, OLESTR("DecryptValue *pDescrOut unknown")))
        << m_log.Dump();
  }
}

TEST_F(ValueProtection, PlaintextsThatDoNotFitTheirDescriptionAreRefused) {
  const struct {
    const OLECHAR* pszDescr;
    Bytes plaintext;
  } cases[] = {
      // Interface pointers are never restored.
      {OLESTR("UNKNOWN"), Bytes(16, 0x41)},
      {OLESTR("INT"), Bytes(6, 1)},
      {OLESTR("UI8"), Bytes(12, 1)},
      {OLESTR("UI1_MULTI 3 2 "), Bytes(5, 1)},
      {OLESTR("UI1_MULTI -2 -3 "), Bytes(6, 1)},
      {OLESTR("UI1_MULTI 4294967298 1 "), Bytes(2, 1)},
      {OLESTR("UI1_MULTI 2147483647 2147483647 "), Bytes(1, 1)},
      {OLESTR("UI1_MULTI 3"), Bytes(3, 1)},
      {OLESTR("UI1_MULTI"), Bytes(3, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToUtf8(c.pszDescr));
    SAFEARRAY* psaOut = kUntouched;
    EXPECT_EQ(Restore(c.pszDescr, c.plaintext, &psaOut), E_FAIL);
    EXPECT_EQ(psaOut, kUntouched);
  }
  CScopedSafeArray restored;
  EXPECT_EQ(Restore(OLESTR("UI1_MULTI 0 7 "), {}, restored.Receive()), S_OK);
  EXPECT_EQ(SafeArrayGetDim(restored.Get()), 2u);
}

TEST_F(ValueProtection, StringListWalkStopsAtTheListEndOrAtTheLastZeroUnit) {
  CScopedSafeArray restored;
  // Units after the last zero unit, and an odd last byte, belong to no string.
  EXPECT_EQ(Restore(OLESTR("BSTR"), {'a', 0, 0, 0, 'b', 0, 'c'}, restored.Receive()), S_OK);
  EXPECT_EQ(StringsOf(restored.Get()), (std::vector<OptText>{OLESTR("a")}));
  EXPECT_EQ(Restore(OLESTR("BSTR"), {'a', 0, 0, 0, 0, 0, 'b', 0, 0, 0}, restored.Receive()), S_OK);
  EXPECT_EQ(StringsOf(restored.Get()), (std::vector<OptText>{OLESTR("a")}));
  m_log.Clear();
  EXPECT_EQ(Restore(OLESTR("BSTR"), {'a', 0, 'b'}, restored.Receive()), S_OK);
  EXPECT_EQ(TypeOf(restored.Get()), VT_BSTR);
  EXPECT_EQ(restored.Get()->rgsabound[0].cElements, 0u);
  EXPECT_TRUE(m_log.Contains(LOG_DETAIL, OLESTR("DecryptValue nbElem = 0")));
}

}  // namespace
