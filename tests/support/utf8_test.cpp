#include <gtest/gtest.h>

#include "support/utf8.h"

namespace {

using OleString = std::basic_string<OLECHAR>;

TEST(Utf8, RoundTripsEveryPlane) {
  const OLECHAR text[] = {u'A', 0x00E9, 0x4E2D, 0xD83D, 0xDE00, 0};  // A é 中 😀
  const std::string utf8 = Utf16ToUtf8(text);
  EXPECT_EQ(utf8, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf8ToUtf16(utf8), OleString(text));
}

TEST(Utf8, MalformedInputBecomesReplacementCharacters) {
  const OLECHAR lone[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(Utf16ToUtf8(lone),
            "a\xEF\xBF\xBD"
            "b");
  // Truncated sequence, overlong form, encoded surrogate, stray continuation.
  const OleString decoded = Utf8ToUtf16(
      "\xE4\xB8"
      "x\xC0\xAF\xED\xA0\x80\x80");
  ASSERT_GE(decoded.size(), 4u);
  EXPECT_EQ(decoded[0], 0xFFFD);
  EXPECT_EQ(decoded[1], u'x');
  for (size_t i = 2; i < decoded.size(); ++i) EXPECT_EQ(decoded[i], 0xFFFD) << i;
}

}  // namespace
