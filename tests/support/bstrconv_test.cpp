#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include <tuple>

#include "support/bstrconv.h"

namespace {

// Whole length copied, embedded zeros included; a null or empty BSTR is
// refused with the output left as it was.
TEST(BSTR2wstring, CopiesWholeLengthRefusesNullAndEmpty) {
  const OLECHAR withZero[] = {u'a', 0, u'b'};
  const std::tuple<BSTR, HRESULT, secwstring> cases[] = {
      {nullptr, E_INVALIDARG, OLESTR("unchanged")},
      {SysAllocString(OLESTR("")), E_INVALIDARG, OLESTR("unchanged")},
      {SysAllocStringLen(withZero, 3), S_OK, secwstring(withZero, 3)},
  };
  for (const auto& [bstr, hr, out] : cases) {
    secwstring s(OLESTR("unchanged"));
    EXPECT_EQ(BSTR2wstring(bstr, s), hr);
    EXPECT_EQ(s, out);
    SysFreeString(bstr);
  }
}

// The copy is the caller's, with the whole length; an empty string gives
// an empty BSTR, not a null one.
TEST(Wstring2BSTR, AllocatesACopyOwnedByTheCaller) {
  for (const secwstring& s : {secwstring(OLESTR("Id\0z"), 4), secwstring()}) {
    BSTR bstr = nullptr;
    ASSERT_EQ(wstring2BSTR(s, bstr), S_OK);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(secwstring(bstr, SysStringLen(bstr)), s);
    EXPECT_EQ(bstr[s.size()], 0);
    SysFreeString(bstr);
  }
}

}  // namespace
