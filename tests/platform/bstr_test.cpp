// Conformance of the BSTR functions: lengths, embedded zeros, termination
// and reallocation.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "common/conformance.h"

namespace {

// Each allocation's lengths, its content where it has a source (embedded
// zeros kept), and its terminator: a whole zero OLECHAR after the data,
// an odd byte length first completed with a zero byte.
TEST(BstrTest, AllocationsKeepLengthsAndTerminate) {
  const OLECHAR zeros[] = {'a', 0, 'b', 0, 'c'};
  struct SRow {
    BSTR bstr;
    const void* pSource;
    UINT cb;
  };
  const SRow rows[] = {
      {SysAllocString(OLESTR("Kelmyr")), OLESTR("Kelmyr"), 12},
      {SysAllocStringLen(zeros, 5), zeros, 10},
      {SysAllocStringLen(nullptr, 7), nullptr, 14},
      {SysAllocStringByteLen("abc\xff", 3), "abc", 3},
      {SysAllocStringByteLen(nullptr, 5), nullptr, 5},
  };
  for (const SRow& row : rows) {
    SCOPED_TRACE(row.cb);
    ASSERT_NE(row.bstr, nullptr);
    EXPECT_EQ(SysStringByteLen(row.bstr), row.cb);
    EXPECT_EQ(SysStringLen(row.bstr), row.cb / 2);
    EXPECT_TRUE(row.pSource == nullptr || std::memcmp(row.bstr, row.pSource, row.cb) == 0);
    EXPECT_TRUE(row.cb % 2 == 0 || reinterpret_cast<const char*>(row.bstr)[row.cb] == 0);
    EXPECT_EQ(row.bstr[(row.cb + 1) / 2], 0);
    SysFreeString(row.bstr);
  }
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

// The source may be the string being replaced, lengthened and shortened.
TEST(BstrTest, ReAllocMayReadTheOldString) {
  BSTR bstr = SysAllocString(OLESTR("Test"));
  ASSERT_TRUE(SysReAllocString(&bstr, OLESTR("Longer text")));
  EXPECT_EQ(std::memcmp(bstr, OLESTR("Longer text"), 12 * sizeof(OLECHAR)), 0);
  for (UINT cch : {4000u, 6u}) {
    ASSERT_TRUE(SysReAllocStringLen(&bstr, bstr, cch));
    EXPECT_EQ(SysStringLen(bstr), cch);
    EXPECT_EQ(std::memcmp(bstr, OLESTR("Longer"), 6 * sizeof(OLECHAR)), 0);
    EXPECT_EQ(bstr[cch], 0);
  }
  SysFreeString(bstr);
}

// This layer's own guard; Windows documents only "insufficient memory".
TEST(BstrTest, LayerRefusesLengthsBeyondThePrefix) {
  if (!kNativeLayer) GTEST_SKIP() << "guarantee of this layer";
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr) << "2^32 bytes";
  BSTR bstr = SysAllocString(OLESTR("kept"));
  ASSERT_NE(bstr, nullptr);
  EXPECT_FALSE(SysReAllocStringLen(&bstr, nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(std::memcmp(bstr, OLESTR("kept"), 5 * sizeof(OLECHAR)), 0);
  EXPECT_FALSE(SysReAllocStringLen(nullptr, OLESTR("x"), 1));
  SysFreeString(bstr);
}

}  // namespace
