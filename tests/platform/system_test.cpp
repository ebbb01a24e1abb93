// Conformance of the system information services: the computer name, the
// version test and the tick count. The version answers hold on Windows 10
// and on the Windows 7 that Wine presents by default.

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

// Major, minor and service pack versions compare as one number: a greater
// major version decides, an equal one passes the decision on, and a field
// without a condition takes the governing one. Bad arguments are told apart
// from an old version.
TEST(VersionTest, VersionsAreComparedAsOneNumber) {
  const DWORD major = CurrentValue(VER_MAJORVERSION, 20, &OSVERSIONINFOEXW::dwMajorVersion);
  const DWORD minor = CurrentValue(VER_MINORVERSION, 10, &OSVERSIONINFOEXW::dwMinorVersion);
  const DWORD sp = CurrentValue(VER_SERVICEPACKMAJOR, 10, &OSVERSIONINFOEXW::wServicePackMajor);
  constexpr DWORD kMajorMinor = VER_MAJORVERSION | VER_MINORVERSION;
  const ULONGLONG majorAtLeast = Condition(VER_MAJORVERSION, VER_GREATER_EQUAL);
  const ULONGLONG atLeast = Condition(VER_MINORVERSION, VER_GREATER_EQUAL, majorAtLeast);
  const ULONGLONG allAtLeast = Condition(VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL, atLeast);
  struct SRow {
    DWORD dwMajor, dwMinor, dwSp, dwTypeMask;
    ULONGLONG conditions;
    DWORD expected;
  };
  const SRow rows[] = {{99, 0, 0, VER_MAJORVERSION, majorAtLeast, kOld},
                       {major - 1, 99, 0, kMajorMinor, atLeast, kMet},
                       {major - 1, 99, 0, VER_MINORVERSION, atLeast, kOld},
                       {major, 99, 0, kMajorMinor, atLeast, kOld},
                       {major, 99, 0, kMajorMinor, majorAtLeast, kOld},
                       {major, minor, sp + 1, kMajorMinor | VER_SERVICEPACKMAJOR, allAtLeast, kOld},
                       {major, minor, sp, kMajorMinor | VER_SERVICEPACKMAJOR, allAtLeast, kMet},
                       {0, 0, 0, 0, majorAtLeast, ERROR_BAD_ARGUMENTS},
                       {0, 0, 0, VER_MAJORVERSION, 0, ERROR_BAD_ARGUMENTS}};
  for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
    const SRow& row = rows[i];
    OSVERSIONINFOEXW required = Required();
    required.dwMajorVersion = row.dwMajor;
    required.dwMinorVersion = row.dwMinor;
    required.wServicePackMajor = static_cast<WORD>(row.dwSp);
    EXPECT_EQ(Verify(required, row.dwTypeMask, row.conditions), row.expected) << "row " << i;
  }
}

// The tick count follows a sleep (in steps of up to 16 ms on Windows).
TEST(ClockTest, TickCountFollowsASleep) {
  const ULONGLONG start = GetTickCount64();
  Sleep(30);
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_TRUE(elapsed >= 15 && elapsed < 10000) << elapsed;
}

}  // namespace
