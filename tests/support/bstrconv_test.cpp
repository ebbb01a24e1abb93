#include <gtest/gtest.h>

#include <windows.h>

#include <oleauto.h>

#include "common/recording_log_sink.h"
#include "support/bstrconv.h"

namespace {

TEST(BSTR2wstring, RefusesNullAndEmptyAndLeavesTheOutput) {
  CRecordingLogSink sink;
  secwstring s(OLESTR("unchanged"));
  EXPECT_EQ(BSTR2wstring(nullptr, s), E_INVALIDARG);
  BSTR bstrEmpty = SysAllocString(OLESTR(""));
  EXPECT_EQ(BSTR2wstring(bstrEmpty, s), E_INVALIDARG);
  SysFreeString(bstrEmpty);
  EXPECT_EQ(s, OLESTR("unchanged"));
  EXPECT_TRUE(sink.Contains(LOG_FAILURE, OLESTR("BSTR2wstring sBSTRCompartmentId length = 0")))
      << sink.Dump();
  // The client's string is logged before it is checked; null prints safely.
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("BSTR2wstring sBSTRCompartmentId = (null)")));
  EXPECT_TRUE(sink.Contains(LOG_EXIT, OLESTR("BSTR2wstring hr = 0x80070057")));
}

TEST(BSTR2wstring, CopiesTheWholeLengthAndLogsBothSides) {
  CRecordingLogSink sink;
  const OLECHAR withZero[] = {u'a', 0, u'b'};
  BSTR bstr = SysAllocStringLen(withZero, 3);
  secwstring s;
  EXPECT_EQ(BSTR2wstring(bstr, s), S_OK);
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2], u'b');
  SysFreeString(bstr);

  BSTR bstrId = SysAllocString(OLESTR("Compartment"));
  EXPECT_EQ(BSTR2wstring(bstrId, s), S_OK);
  SysFreeString(bstrId);
  EXPECT_EQ(s, OLESTR("Compartment"));
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("BSTR2wstring sBSTRCompartmentId = Compartment")));
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("BSTR2wstring sCompartmentId = Compartment")));
}

TEST(Wstring2BSTR, AllocatesACopyOwnedByTheCaller) {
  CRecordingLogSink sink;
  secwstring s(OLESTR("Id"));
  s.push_back(0);
  s.push_back(u'z');
  BSTR bstr = nullptr;
  ASSERT_EQ(wstring2BSTR(s, bstr), S_OK);
  ASSERT_NE(bstr, nullptr);
  EXPECT_EQ(SysStringLen(bstr), 4u);
  EXPECT_EQ(bstr[3], u'z');
  EXPECT_EQ(bstr[4], 0);
  SysFreeString(bstr);
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("wstring2BSTR sCompartmentId = Id")));
  EXPECT_TRUE(sink.Contains(LOG_DETAIL, OLESTR("wstring2BSTR sBSTRCompartmentId = Id")));
  EXPECT_TRUE(sink.Contains(LOG_EXIT, OLESTR("wstring2BSTR hr = 0x0")));

  // An empty string gives an empty BSTR, not a null one.
  BSTR bstrEmpty = nullptr;
  ASSERT_EQ(wstring2BSTR(secwstring(), bstrEmpty), S_OK);
  ASSERT_NE(bstrEmpty, nullptr);
  EXPECT_EQ(SysStringLen(bstrEmpty), 0u);
  SysFreeString(bstrEmpty);
}

}  // namespace
