// Conformance of the system information services: the computer name, the
// version test and the clock. The version answers hold on Windows 10 and on
// the Windows 7 that Wine presents by default.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>

#include "common/conformance.h"
#include "platform/win32_helpers.h"

namespace {

TEST(ComputerNameTest, FollowsTheBufferProtocol) {
  DWORD size = 0;
  EXPECT_EQ(FAILURE_OF(GetComputerNameW(nullptr, &size)), DWORD{ERROR_BUFFER_OVERFLOW});
  const DWORD needed = size;
  ASSERT_TRUE(needed >= 2 && needed <= MAX_COMPUTERNAME_LENGTH + 1) << needed;
  WCHAR name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  size = needed - 1;
  EXPECT_EQ(FAILURE_OF(GetComputerNameW(name, &size)), DWORD{ERROR_BUFFER_OVERFLOW});
  EXPECT_EQ(size, needed) << "the size needed, terminator included";

  ASSERT_TRUE(GetComputerNameW(name, &size));
  EXPECT_EQ(size, needed - 1) << "the length without the terminator";
  EXPECT_EQ(name[size], 0);
  for (DWORD i = 0; i < size; ++i) {
    EXPECT_FALSE((name[i] >= 'a' && name[i] <= 'z') || name[i] == '.')
        << "the NetBIOS name is one label in upper case";
  }
}

OSVERSIONINFOEXW Required() {
  OSVERSIONINFOEXW required = {};
  required.dwOSVersionInfoSize = sizeof required;
  return required;
}

// The answer of VerifyVersionInfoW, with ERROR_SUCCESS for TRUE.
DWORD Verify(const OSVERSIONINFOEXW& required, DWORD typeMask, ULONGLONG conditions) {
  OSVERSIONINFOEXW copy = required;
  SetLastError(0xDEAD);
  return VerifyVersionInfoW(&copy, typeMask, conditions) ? ERROR_SUCCESS : GetLastError();
}

ULONGLONG Condition(DWORD typeBit, BYTE condition, ULONGLONG conditions = 0) {
  return VerSetConditionMask(conditions, typeBit, condition);
}

constexpr DWORD kOld = ERROR_OLD_WIN_VERSION;
constexpr DWORD kMet = ERROR_SUCCESS;

// The running system's value of one version field, found by testing it for
// equality.
template <class T>
DWORD CurrentValue(DWORD typeBit, DWORD max, T OSVERSIONINFOEXW::*pField) {
  for (DWORD value = 0; value <= max; ++value) {
    OSVERSIONINFOEXW required = Required();
    required.*pField = static_cast<T>(value);
    if (Verify(required, typeBit, Condition(typeBit, VER_EQUAL)) == kMet) return value;
  }
  ADD_FAILURE() << "no value of field " << typeBit << " up to " << max;
  return 0;
}

TEST(VersionTest, SetConditionMaskPlacesOneFieldsCondition) {
  EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3ull << 3);
  EXPECT_EQ(VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL), 1ull << 21);
  EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION | VER_MINORVERSION, VER_EQUAL), 1ull << 3)
      << "only the most significant field";
  EXPECT_EQ(VerSetConditionMask(3ull << 3, VER_MAJORVERSION, VER_LESS_EQUAL), 7ull << 3)
      << "conditions are OR-ed in";
  EXPECT_EQ(VerSetConditionMask(5, 0x100, VER_EQUAL), 5ull) << "no field";
}

TEST(VersionTest, FieldsAreComparedWithTheirConditions) {
  OSVERSIONINFOEXW required = Required();
  required.dwMajorVersion = 6;
  EXPECT_EQ(Verify(required, VER_MAJORVERSION, Condition(VER_MAJORVERSION, VER_GREATER_EQUAL)),
            kMet);
  required.dwMajorVersion = 99;
  EXPECT_EQ(Verify(required, VER_MAJORVERSION, Condition(VER_MAJORVERSION, VER_GREATER_EQUAL)),
            kOld);
  EXPECT_EQ(Verify(required, VER_MAJORVERSION, Condition(VER_MAJORVERSION, VER_LESS)), kMet);

  required = Required();
  required.dwPlatformId = VER_PLATFORM_WIN32_NT;
  required.wProductType = VER_NT_WORKSTATION;
  required.dwBuildNumber = 7601;
  EXPECT_EQ(Verify(required, VER_PLATFORMID | VER_PRODUCT_TYPE | VER_BUILDNUMBER,
                   Condition(VER_PLATFORMID, VER_EQUAL,
                             Condition(VER_PRODUCT_TYPE, VER_EQUAL,
                                       Condition(VER_BUILDNUMBER, VER_GREATER_EQUAL)))),
            kMet);
  required.dwBuildNumber = 99999;
  EXPECT_EQ(Verify(required, VER_BUILDNUMBER, Condition(VER_BUILDNUMBER, VER_GREATER_EQUAL)), kOld);
  // No suite required: met with either suite condition.
  EXPECT_EQ(Verify(required, VER_SUITENAME, Condition(VER_SUITENAME, VER_AND)), kMet);
  EXPECT_EQ(Verify(required, VER_SUITENAME, Condition(VER_SUITENAME, VER_OR)), kMet);
}

TEST(VersionTest, VersionFieldsCompareAsOneNumber) {
  const DWORD major = CurrentValue(VER_MAJORVERSION, 20, &OSVERSIONINFOEXW::dwMajorVersion);
  const DWORD minor = CurrentValue(VER_MINORVERSION, 10, &OSVERSIONINFOEXW::dwMinorVersion);
  constexpr DWORD kMajorMinor = VER_MAJORVERSION | VER_MINORVERSION;
  constexpr DWORD kAllFour = kMajorMinor | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;

  // A greater major version decides; the minor version is not looked at.
  OSVERSIONINFOEXW required = Required();
  required.dwMajorVersion = major - 1;
  required.dwMinorVersion = 99;
  const ULONGLONG atLeast = Condition(VER_MAJORVERSION, VER_GREATER_EQUAL,
                                      Condition(VER_MINORVERSION, VER_GREATER_EQUAL));
  EXPECT_EQ(Verify(required, kMajorMinor, atLeast), kMet);
  EXPECT_EQ(Verify(required, VER_MINORVERSION, atLeast), kOld);

  // An equal major version passes the decision on to the minor version.
  required.dwMajorVersion = major;
  EXPECT_EQ(Verify(required, kMajorMinor, atLeast), kOld);
  EXPECT_EQ(Verify(required, kMajorMinor, Condition(VER_MAJORVERSION, VER_GREATER_EQUAL)), kOld)
      << "a field without a condition takes the governing one";

  // A later condition of the other direction gives way to the major
  // version's; after "equal" it takes over.
  required.dwMinorVersion = minor + 1;
  EXPECT_EQ(
      Verify(required, kAllFour,
             Condition(VER_MAJORVERSION, VER_GREATER_EQUAL, Condition(VER_MINORVERSION, VER_LESS))),
      kOld);
  EXPECT_EQ(Verify(required, kAllFour,
                   Condition(VER_MAJORVERSION, VER_EQUAL, Condition(VER_MINORVERSION, VER_LESS))),
            kMet);

  // A requested field without a condition fixes the governing condition
  // for the fields after it.
  required = Required();
  required.dwMajorVersion = major;
  required.dwMinorVersion = minor;
  required.wServicePackMajor = static_cast<WORD>(
      CurrentValue(VER_SERVICEPACKMAJOR, 10, &OSVERSIONINFOEXW::wServicePackMajor) + 1);
  const ULONGLONG equalThenLess =
      Condition(VER_MAJORVERSION, VER_EQUAL, Condition(VER_SERVICEPACKMAJOR, VER_LESS));
  EXPECT_EQ(Verify(required, kAllFour, equalThenLess), kOld);
  EXPECT_EQ(Verify(required, kAllFour & ~VER_MINORVERSION, equalThenLess), kMet);
  EXPECT_EQ(Verify(required, kAllFour,
                   Condition(VER_MAJORVERSION, VER_EQUAL,
                             Condition(VER_MINORVERSION, VER_GREATER_EQUAL,
                                       Condition(VER_SERVICEPACKMAJOR, VER_LESS)))),
            kOld)
      << "after \"equal\", a later comparison governs";
}

TEST(VersionTest, BadArgumentsAreToldApartFromAnOldVersion) {
  OSVERSIONINFOEXW required = Required();
  EXPECT_EQ(Verify(required, 0, Condition(VER_MAJORVERSION, VER_GREATER_EQUAL)),
            static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_EQ(Verify(required, VER_MAJORVERSION, 0), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_EQ(Verify(required, VER_SUITENAME, Condition(VER_SUITENAME, VER_EQUAL)),
            static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_EQ(Verify(required, VER_BUILDNUMBER | VER_MAJORVERSION,
                   Condition(VER_MAJORVERSION, VER_GREATER_EQUAL)),
            kOld)
      << "a field requested without a condition is not met";
}

TEST(ClockTest, TickCountFollowsSleep) {
  const ULONGLONG start = GetTickCount64();
  Sleep(30);
  const ULONGLONG elapsed = GetTickCount64() - start;
  // The tick count advances in steps of up to 16 ms on Windows.
  EXPECT_GE(elapsed, 15u);
  EXPECT_LT(elapsed, 10000u);
}

TEST(ClockTest, SystemTimeCountsFrom1601) {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG intervals =
      (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  // 100-ns intervals from 1601-01-01 to 2020-01-01 and to 2100-01-01.
  EXPECT_GT(intervals, 132223104000000000ull);
  EXPECT_LT(intervals, 157469184000000000ull);
}

}  // namespace
