// Data protection conformance: CryptProtectData and CryptUnprotectData with
// the flags the system uses, natively on this project's layer and on
// Windows (under Wine).
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/conformance.h"
#include "common/dpapi_test_keys.h"
#include "platform/win32_helpers.h"

namespace {

constexpr DWORD kUserFlags = CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_AUDIT;
constexpr DWORD kMachineFlags = kUserFlags | CRYPTPROTECT_LOCAL_MACHINE;

using Bytes = std::vector<BYTE>;

// A buffer returned by the functions under test, released with LocalFree.
struct CLocalBlob {
  DATA_BLOB blob{0, nullptr};
  ~CLocalBlob() {
    if (blob.pbData != nullptr) LocalFree(blob.pbData);
  }
  Bytes ToBytes() const { return Bytes(blob.pbData, blob.pbData + blob.cbData); }
};

struct CLocalString {
  LPWSTR psz = nullptr;
  ~CLocalString() {
    if (psz != nullptr) LocalFree(psz);
  }
};

std::u16string ToU16(LPCWSTR psz) {
  std::u16string s;
  for (; *psz != 0; ++psz) s.push_back(static_cast<char16_t>(*psz));
  return s;
}

class DataProtection : public ::testing::Test {
 protected:
  // Seals the bytes; the blob stays owned by the test.
  Bytes Protect(Bytes plain, LPCWSTR pszDescr, Bytes entropy, DWORD dwFlags) {
    DATA_BLOB in{static_cast<DWORD>(plain.size()), plain.data()};
    DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
    CLocalBlob out;
    EXPECT_TRUE(CryptProtectData(&in, pszDescr, entropy.empty() ? nullptr : &ent, nullptr, nullptr,
                                 dwFlags, &out.blob))
        << GetLastError();
    return out.ToBytes();
  }

  // The last error of CryptUnprotectData, or kSucceeded with the plaintext
  // and description.
  DWORD Unprotect(Bytes blob, Bytes entropy, DWORD dwFlags, Bytes* pPlain = nullptr,
                  std::u16string* pDescr = nullptr) {
    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB ent{static_cast<DWORD>(entropy.size()), entropy.data()};
    CLocalBlob out;
    CLocalString descr;
    const DWORD dwResult = FAILURE_OF(CryptUnprotectData(
        &in, &descr.psz, entropy.empty() ? nullptr : &ent, nullptr, nullptr, dwFlags, &out.blob));
    if (dwResult == kSucceeded) {
      if (pPlain != nullptr) *pPlain = out.ToBytes();
      if (pDescr != nullptr && descr.psz != nullptr) *pDescr = ToU16(descr.psz);
    } else {
      // Nothing is handed out on failure.
      EXPECT_EQ(out.blob.pbData, nullptr);
      EXPECT_EQ(descr.psz, nullptr);
    }
    return dwResult;
  }

  CDpapiTestKeys m_keys;
  const Bytes m_plain{'s', 'e', 'c', 'r', 'e', 't', 0, 1, 2, 0xFF};
  const Bytes m_entropy{0x44, 0x15, 0x92, 0x44, 0xF4, 0xD4, 0x29, 0xE4};
};

TEST_F(DataProtection, RoundTripsWithTheUserAndTheMachineKey) {
  for (DWORD dwFlags : {kUserFlags, kMachineFlags}) {
    SCOPED_TRACE(dwFlags);
    const Bytes blob = Protect(m_plain, OLESTR("UI1"), m_entropy, dwFlags);
    ASSERT_FALSE(blob.empty());
    // The plaintext does not appear in the blob.
    EXPECT_EQ(std::search(blob.begin(), blob.end(), m_plain.begin(), m_plain.begin() + 6),
              blob.end());
    Bytes plain;
    std::u16string descr;
    // The blob knows its key: either flag opens it.
    for (DWORD dwOpenFlags : {kUserFlags, kMachineFlags}) {
      ASSERT_EQ(Unprotect(blob, m_entropy, dwOpenFlags, &plain, &descr), kSucceeded);
      EXPECT_EQ(plain, m_plain);
      EXPECT_EQ(descr, u"UI1");
    }
  }
}

TEST_F(DataProtection, TwoSealsOfTheSameBytesDiffer) {
  EXPECT_NE(Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags),
            Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags));
}

TEST_F(DataProtection, EmptyPlaintextAndMissingEntropyOrDescription) {
  Bytes plain{1};
  std::u16string descr = u"unchanged";
  // Empty data with a valid address.
  Bytes buffer{0};
  DATA_BLOB in{0, buffer.data()};
  CLocalBlob out;
  ASSERT_TRUE(
      CryptProtectData(&in, OLESTR("empty"), nullptr, nullptr, nullptr, kUserFlags, &out.blob));
  ASSERT_EQ(Unprotect(out.ToBytes(), {}, kUserFlags, &plain, &descr), kSucceeded);
  EXPECT_TRUE(plain.empty());
  EXPECT_EQ(descr, u"empty");

  // No description: an empty one comes back.
  const Bytes blob = Protect(m_plain, nullptr, {}, kUserFlags);
  descr = u"unchanged";
  ASSERT_EQ(Unprotect(blob, {}, kUserFlags, &plain, &descr), kSucceeded);
  EXPECT_EQ(plain, m_plain);
  EXPECT_EQ(descr, u"");

  // The description is optional on the way back.
  std::vector<BYTE> copy = blob;
  DATA_BLOB protectedBlob{static_cast<DWORD>(copy.size()), copy.data()};
  CLocalBlob opened;
  EXPECT_TRUE(CryptUnprotectData(&protectedBlob, nullptr, nullptr, nullptr, nullptr, kUserFlags,
                                 &opened.blob));
  EXPECT_EQ(opened.ToBytes(), m_plain);
}

TEST_F(DataProtection, WrongOrMissingEntropyFailsWithInvalidData) {
  const Bytes blob = Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags);
  Bytes other = m_entropy;
  other.back() ^= 1;
  EXPECT_EQ(Unprotect(blob, other, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(Unprotect(blob, {}, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(Unprotect(blob, {m_entropy.begin(), m_entropy.end() - 1}, kMachineFlags),
            static_cast<DWORD>(ERROR_INVALID_DATA));
  // Entropy added where there was none.
  const Bytes plainBlob = Protect(m_plain, OLESTR("UI1"), {}, kUserFlags);
  EXPECT_EQ(Unprotect(plainBlob, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(DataProtection, DamagedOrTruncatedBlobFailsWithInvalidData) {
  const Bytes blob = Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags);
  Bytes damaged = blob;
  damaged.back() ^= 0x01;
  EXPECT_EQ(Unprotect(damaged, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
  for (size_t cb : {size_t{0}, size_t{3}, blob.size() / 2, blob.size() - 1}) {
    SCOPED_TRACE(cb);
    Bytes truncated(blob.begin(), blob.begin() + cb);
    if (cb == 0) truncated.reserve(1);
    EXPECT_EQ(Unprotect(truncated, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
  }
  Bytes garbage(200);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<BYTE>(i * 7);
  EXPECT_EQ(Unprotect(garbage, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(DataProtection, EveryChangedByteOfTheBlobIsDetected) {
  const Bytes blob = Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags);
  for (size_t i = 0; i < blob.size(); ++i) {
    Bytes damaged = blob;
    damaged[i] ^= 0x20;
    const DWORD dwResult = Unprotect(damaged, m_entropy, kUserFlags);
    // Natively every byte is authenticated and any change is invalid data.
    // Wine (measured with 8.0) opens blobs whose key reference, flags or
    // description bytes were changed.
    EXPECT_TRUE((dwResult != kSucceeded && (!kNativeLayer || dwResult == ERROR_INVALID_DATA)) ||
                WINE_DIFFERS(dwResult == kSucceeded, "Wine leaves header bytes unauthenticated"))
        << "byte " << i << " result " << dwResult;
  }
}

TEST_F(DataProtection, NullArgumentsFailWithInvalidParameter) {
  Bytes plain = m_plain;
  DATA_BLOB in{static_cast<DWORD>(plain.size()), plain.data()};
  CLocalBlob out;
  EXPECT_EQ(FAILURE_OF(CryptProtectData(nullptr, OLESTR("x"), nullptr, nullptr, nullptr, kUserFlags,
                                        &out.blob)),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(FAILURE_OF(
                CryptProtectData(&in, OLESTR("x"), nullptr, nullptr, nullptr, kUserFlags, nullptr)),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(out.blob.pbData, nullptr);

  Bytes blob = Protect(m_plain, OLESTR("x"), {}, kUserFlags);
  DATA_BLOB protectedBlob{static_cast<DWORD>(blob.size()), blob.data()};
  LPWSTR pszDescr = nullptr;
  EXPECT_EQ(FAILURE_OF(CryptUnprotectData(nullptr, &pszDescr, nullptr, nullptr, nullptr, kUserFlags,
                                          &out.blob)),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(FAILURE_OF(CryptUnprotectData(&protectedBlob, &pszDescr, nullptr, nullptr, nullptr,
                                          kUserFlags, nullptr)),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(pszDescr, nullptr);
  EXPECT_EQ(out.blob.pbData, nullptr);

  // A null data address with no bytes is not data.
  DATA_BLOB none{0, nullptr};
  EXPECT_EQ(FAILURE_OF(CryptProtectData(&none, OLESTR("x"), nullptr, nullptr, nullptr, kUserFlags,
                                        &out.blob)),
            static_cast<DWORD>(ERROR_INVALID_DATA));
}

TEST_F(DataProtection, LongDescriptionAndLargePlaintextRoundTrip) {
  std::wstring longDescr(3000, L'd');
  Bytes large(1 << 20);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<BYTE>(i * 31 + 7);
  std::vector<WCHAR> descr(longDescr.begin(), longDescr.end());
  descr.push_back(0);
  const Bytes blob = Protect(large, descr.data(), m_entropy, kUserFlags);
  Bytes plain;
  std::u16string back;
  ASSERT_EQ(Unprotect(blob, m_entropy, kUserFlags, &plain, &back), kSucceeded);
  EXPECT_EQ(plain, large);
  EXPECT_EQ(back.size(), longDescr.size());
}

TEST_F(DataProtection, AnotherAccountsKeyCannotOpenTheBlob) {
  if (!kNativeLayer) GTEST_SKIP() << "needs a second account's keys";
  const Bytes userBlob = Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags);
  const Bytes machineBlob = Protect(m_plain, OLESTR("UI1"), m_entropy, kMachineFlags);
  {
    CDpapiTestKeys otherAccount;
    // Sealing creates the other account's own keys first.
    Protect(m_plain, OLESTR("UI1"), m_entropy, kUserFlags);
    Protect(m_plain, OLESTR("UI1"), m_entropy, kMachineFlags);
    EXPECT_EQ(Unprotect(userBlob, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Unprotect(machineBlob, m_entropy, kMachineFlags),
              static_cast<DWORD>(ERROR_INVALID_DATA));
  }
  {
    // Where no key exists at all, opening neither succeeds nor creates one.
    CDpapiTestKeys noKeys;
    EXPECT_EQ(Unprotect(userBlob, m_entropy, kUserFlags), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(std::filesystem::is_empty(noKeys.Folder()));
  }
  Bytes plain;
  EXPECT_EQ(Unprotect(userBlob, m_entropy, kUserFlags, &plain), kSucceeded);
  EXPECT_EQ(plain, m_plain);
}

}  // namespace
