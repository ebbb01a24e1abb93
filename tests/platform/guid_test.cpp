// Conformance of the COM base: GUID generation and formatting.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>

namespace {

using OleString = std::basic_string<OLECHAR>;

// Every hexadecimal digit once in each part's text.
const GUID kGiven = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};

// Formatting needs room for the terminator and writes upper-case digits,
// as registry keys show them.
TEST(GuidTest, FormatNeedsRoomForTheTerminator) {
  OLECHAR text[39];
  EXPECT_EQ(StringFromGUID2(kGiven, text, 38), 0);
  ASSERT_EQ(StringFromGUID2(kGiven, text, 39), 39);
  EXPECT_EQ(OleString(text), OLESTR("{01234567-89AB-CDEF-FEDC-BA9876543210}"));
}

TEST(GuidTest, CreateGuidMakesDistinctRandomGuids) {
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
  GUID first;
  GUID second;
  ASSERT_EQ(CoCreateGuid(&first), S_OK);
  ASSERT_EQ(CoCreateGuid(&second), S_OK);
  EXPECT_FALSE(IsEqualGUID(first, second));
  for (const GUID& guid : {first, second}) {
    EXPECT_EQ(guid.Data3 >> 12, 4);         // random version
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);  // standard variant
  }
}

}  // namespace
