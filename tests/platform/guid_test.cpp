// Conformance of the COM base: well-known identifiers, GUID generation,
// formatting and parsing, and task memory.

// <windows.h> comes first: the Windows SDK headers build on it.
#include <windows.h>

#include <gtest/gtest.h>
#include <oleauto.h>

#include <cstring>
#include <string>

#include "common/conformance.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

OleString Format(REFGUID guid) {
  OLECHAR text[39];
  return StringFromGUID2(guid, text, 39) == 39 ? OleString(text) : OleString();
}

// GUID strings compare without regard to the case of the hexadecimal digits.
OleString Upper(OleString text) {
  for (OLECHAR& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<OLECHAR>(c - 'a' + 'A');
  }
  return text;
}

// Formatting needs room for the terminator, and this layer writes
// upper-case digits, as registry keys show them.
TEST(GuidTest, FormatOfWellKnownAndGivenIdentifiers) {
  const GUID given = {0x01234567, 0x89AB, 0xCDEF, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}};
  const std::pair<const GUID*, const OLECHAR*> rows[] = {
      {&IID_IDispatch, OLESTR("{00020400-0000-0000-C000-000000000046}")},
      {&given, OLESTR("{01234567-89AB-CDEF-FEDC-BA9876543210}")}};
  for (const auto& [pGuid, pszText] : rows) {
    OLECHAR text[39];
    EXPECT_EQ(StringFromGUID2(*pGuid, text, 38), 0);
    ASSERT_EQ(StringFromGUID2(*pGuid, text, 39), 39);
    EXPECT_EQ(kNativeLayer ? OleString(text) : Upper(text), pszText);
  }
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
  GUID guid;
  ASSERT_EQ(CoCreateGuid(&guid), S_OK);
  OleString text = Format(guid);
  CLSID parsed = GUID_NULL;
  ASSERT_EQ(CLSIDFromString(text.c_str(), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, guid));
  ASSERT_EQ(CLSIDFromString(OLESTR("{00020400-0000-0000-c000-000000000046}"), &parsed), S_OK);
  EXPECT_TRUE(IsEqualGUID(parsed, IID_IDispatch));

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

TEST(GuidTest, TaskMemoryReallocatesAndFrees) {
  char* p = static_cast<char*>(CoTaskMemAlloc(8));
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "kelmyr!", 8);
  p = static_cast<char*>(CoTaskMemRealloc(p, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, "kelmyr!", 8), 0);
  CoTaskMemFree(p);
  CoTaskMemFree(nullptr);

  void* fresh = CoTaskMemRealloc(nullptr, 16);
  EXPECT_NE(fresh, nullptr);
  CoTaskMemFree(fresh);
}

}  // namespace
