// Conformance of the BSTR functions: lengths, embedded zeros and
// termination.

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
  // This layer's own guard for 2^32 bytes; Windows documents only
  // "insufficient memory".
  EXPECT_TRUE(!kNativeLayer || SysAllocStringLen(nullptr, 0x80000000u) == nullptr);
}

}  // namespace
