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

// Each field is compared with its condition; major, minor and service
// pack versions compare as one number: a greater major version decides,
// an equal one passes the decision on, a field without a condition takes
// the governing one, and after "equal" a later comparison governs. Bad
// arguments are told apart from an old version.
TEST(VersionTest, FieldsAreComparedWithTheirConditions) {
  const DWORD major = CurrentValue(VER_MAJORVERSION, 20, &OSVERSIONINFOEXW::dwMajorVersion);
  const DWORD minor = CurrentValue(VER_MINORVERSION, 10, &OSVERSIONINFOEXW::dwMinorVersion);
  const DWORD sp = CurrentValue(VER_SERVICEPACKMAJOR, 10, &OSVERSIONINFOEXW::wServicePackMajor);
  constexpr DWORD kMajorMinor = VER_MAJORVERSION | VER_MINORVERSION;
  constexpr DWORD kAllFour = kMajorMinor | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
  constexpr DWORD kNt = VER_PLATFORMID | VER_PRODUCT_TYPE | VER_BUILDNUMBER;
  const ULONGLONG majorAtLeast = Condition(VER_MAJORVERSION, VER_GREATER_EQUAL);
  const ULONGLONG atLeast = Condition(VER_MINORVERSION, VER_GREATER_EQUAL, majorAtLeast);
  const ULONGLONG majorEqual = Condition(VER_MAJORVERSION, VER_EQUAL);
  const ULONGLONG equalThenLess = Condition(VER_SERVICEPACKMAJOR, VER_LESS, majorEqual);
  const ULONGLONG build = Condition(VER_BUILDNUMBER, VER_GREATER_EQUAL);
  const ULONGLONG nt =
      Condition(VER_PLATFORMID, VER_EQUAL, Condition(VER_PRODUCT_TYPE, VER_EQUAL, build));
  const ULONGLONG greaterThenLess = Condition(VER_MINORVERSION, VER_LESS, majorAtLeast);
  const ULONGLONG equalThenLessMinor = Condition(VER_MINORVERSION, VER_LESS, majorEqual);
  const ULONGLONG equalGreaterLess = Condition(VER_MINORVERSION, VER_GREATER_EQUAL, equalThenLess);
  struct SRow {
    DWORD dwMajor, dwMinor, dwSp, dwBuild, dwTypeMask;
    ULONGLONG conditions;
    DWORD expected;
  };
  // clang-format off
  const SRow rows[] = {
      {99, 0, 0, 0, VER_MAJORVERSION, majorAtLeast, kOld},
      {99, 0, 0, 0, VER_MAJORVERSION, Condition(VER_MAJORVERSION, VER_LESS), kMet},
      {0, 0, 0, 7601, kNt, nt, kMet},
      {0, 0, 0, 99999, VER_BUILDNUMBER, build, kOld},
      {0, 0, 0, 0, VER_SUITENAME, Condition(VER_SUITENAME, VER_AND), kMet},
      {0, 0, 0, 0, VER_SUITENAME, Condition(VER_SUITENAME, VER_OR), kMet},
      {major - 1, 99, 0, 0, kMajorMinor, atLeast, kMet},
      {major - 1, 99, 0, 0, VER_MINORVERSION, atLeast, kOld},
      {major, 99, 0, 0, kMajorMinor, atLeast, kOld},
      {major, 99, 0, 0, kMajorMinor, majorAtLeast, kOld},
      {major, minor + 1, 0, 0, kAllFour, greaterThenLess, kOld},
      {major, minor + 1, 0, 0, kAllFour, equalThenLessMinor, kMet},
      {major, minor, sp + 1, 0, kAllFour, equalThenLess, kOld},
      {major, minor, sp + 1, 0, kAllFour & ~VER_MINORVERSION, equalThenLess, kMet},
      {major, minor, sp + 1, 0, kAllFour, equalGreaterLess, kOld},
      {0, 0, 0, 0, 0, majorAtLeast, ERROR_BAD_ARGUMENTS},
      {0, 0, 0, 0, VER_MAJORVERSION, 0, ERROR_BAD_ARGUMENTS},
      {0, 0, 0, 0, VER_SUITENAME, Condition(VER_SUITENAME, VER_EQUAL), ERROR_BAD_ARGUMENTS},
      {0, 0, 0, 0, VER_BUILDNUMBER | VER_MAJORVERSION, majorAtLeast, kOld}};  // no condition
  // clang-format on
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const SRow& row = rows[i];
    OSVERSIONINFOEXW required = Required();
    required.dwMajorVersion = row.dwMajor;
    required.dwMinorVersion = row.dwMinor;
    required.wServicePackMajor = static_cast<WORD>(row.dwSp);
    required.dwBuildNumber = row.dwBuild;
    required.dwPlatformId = VER_PLATFORM_WIN32_NT;
    required.wProductType = VER_NT_WORKSTATION;
    EXPECT_EQ(Verify(required, row.dwTypeMask, row.conditions), row.expected) << "row " << i;
  }
}

// The tick count follows a sleep (in steps of up to 16 ms on Windows); the
// system time counts 100-ns intervals from 1601 (between 2020 and 2100).
TEST(ClockTest, TickCountAndSystemTime) {
  const ULONGLONG start = GetTickCount64();
  Sleep(30);
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_TRUE(elapsed >= 15 && elapsed < 10000) << elapsed;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG intervals =
      (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  EXPECT_GT(intervals, 132223104000000000ull);
  EXPECT_LT(intervals, 157469184000000000ull);
}

}  // namespace
