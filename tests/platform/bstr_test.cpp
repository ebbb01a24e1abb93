// Conformance of the BSTR functions: lengths, embedded zeros, termination
// and reallocation.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>

#include "common/conformance.h"

namespace {

const char* Bytes(BSTR bstr) { return reinterpret_cast<const char*>(bstr); }

TEST(BstrTest, AllocStringCountsUpToTheFirstZero) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);

  BSTR bstr = SysAllocString(OLESTR("Kelmyr"));
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 6u);
  EXPECT_EQ(SysStringByteLen(bstr), 12u);
  EXPECT_EQ(std::memcmp(bstr, OLESTR("Kelmyr"), 7 * sizeof(OLECHAR)), 0);
  SysFreeString(bstr);
}

TEST(BstrTest, AllocStringLenKeepsEmbeddedZerosAndTerminates) {
  const OLECHAR data[] = {'a', 0, 'b', 0, 'c'};
  BSTR bstr = SysAllocStringLen(data, 5);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 5u);
  EXPECT_EQ(std::memcmp(bstr, data, sizeof data), 0);
  EXPECT_EQ(bstr[5], 0);
  SysFreeString(bstr);

  // Without a source the string has the requested length and a terminator.
  bstr = SysAllocStringLen(nullptr, 7);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 7u);
  EXPECT_EQ(bstr[7], 0);
  SysFreeString(bstr);
}

TEST(BstrTest, ByteLengthStringsKeepOddLengthsAndAlignedTerminator) {
  BSTR bstr = SysAllocStringByteLen("abc\xff", 3);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringByteLen(bstr), 3u);
  EXPECT_EQ(SysStringLen(bstr), 1u);
  EXPECT_EQ(std::memcmp(bstr, "abc", 3), 0);
  // The odd byte is completed with zero, then a whole zero OLECHAR follows.
  EXPECT_EQ(Bytes(bstr)[3], 0);
  EXPECT_EQ(bstr[2], 0);
  SysFreeString(bstr);

  bstr = SysAllocStringByteLen(nullptr, 5);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringByteLen(bstr), 5u);
  EXPECT_EQ(bstr[3], 0);
  SysFreeString(bstr);

  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(BstrTest, ReAllocReplacesAndMayReadTheOldString) {
  BSTR bstr = SysAllocString(OLESTR("Test"));
  ASSERT_NE(bstr, nullptr);
  ASSERT_TRUE(SysReAllocString(&bstr, OLESTR("Longer text")));
  EXPECT_EQ(SysStringLen(bstr), 11u);
  EXPECT_EQ(std::memcmp(bstr, OLESTR("Longer text"), 12 * sizeof(OLECHAR)), 0);

  // The source is the string being replaced, shortened and then lengthened.
  ASSERT_TRUE(SysReAllocStringLen(&bstr, bstr, 6));
  EXPECT_EQ(SysStringLen(bstr), 6u);
  EXPECT_EQ(std::memcmp(bstr, OLESTR("Longer"), 7 * sizeof(OLECHAR)), 0);
  ASSERT_TRUE(SysReAllocStringLen(&bstr, bstr, 4000));
  EXPECT_EQ(SysStringLen(bstr), 4000u);
  EXPECT_EQ(std::memcmp(bstr, OLESTR("Longer"), 6 * sizeof(OLECHAR)), 0);
  EXPECT_EQ(bstr[4000], 0);
  SysFreeString(bstr);
}

TEST(BstrTest, LayerRefusesLengthsBeyondThePrefix) {
  // This layer's own guard; Windows documents only "insufficient memory".
  if (!kNativeLayer) GTEST_SKIP() << "guarantee of this layer";
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  BSTR bstr = SysAllocString(OLESTR("kept"));
  ASSERT_NE(bstr, nullptr);
  EXPECT_FALSE(SysReAllocStringLen(&bstr, nullptr, 0xFFFFFFFFu));
  EXPECT_EQ(std::memcmp(bstr, OLESTR("kept"), 5 * sizeof(OLECHAR)), 0);
  EXPECT_FALSE(SysReAllocStringLen(nullptr, OLESTR("x"), 1));
  SysFreeString(bstr);
}

}  // namespace
