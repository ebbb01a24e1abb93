// Conformance of the COM base: well-known identifiers, GUID generation,
// formatting and parsing.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>
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

TEST(GuidTest, ParseAcceptsOnlyTheBracedForm) {
  CLSID parsed = GUID_NULL;
  ASSERT_EQ(CLSIDFromString(OLESTR("{01234567-89ab-CDEF-fedc-BA9876543210}"), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, kGiven)) << "either case";

  std::memset(&parsed, 0xAB, sizeof parsed);
  EXPECT_EQ(CLSIDFromString(nullptr, &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, GUID_NULL));

  const OLECHAR* malformed[] = {
      OLESTR("00020400-0000-0000-C000-000000000046"),     // no braces
      OLESTR("{00020400-0000-0000-C000-000000000046"),    // no closing brace
      OLESTR("{00020400-0000-0000-C000-000000000046}x"),  // trailing text
      OLESTR("{00020400-0000-0000-C000-00000000004G}"),   // not hexadecimal
      OLESTR("{00020400-0000-0000-C000+000000000046}"),   // wrong separator
      OLESTR("{0002040-0000-0000-C000-000000000046}"),    // short group
      OLESTR(""),
  };
  for (const OLECHAR* bad : malformed) {
    EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING);
  }
}

}  // namespace
