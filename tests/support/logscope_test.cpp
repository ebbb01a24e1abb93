#include <gtest/gtest.h>

#include "common/recording_log_sink.h"
#include "support/logscope.h"

namespace {

HRESULT Twice(int n) {
  HRESULT hr = S_OK;
  CLogScope scope(OLESTR("CSample::Twice"), hr);
  if (n < 0) {
    hr = E_INVALIDARG;
    return hr;
  }
  hr = n == 0 ? S_FALSE : S_OK;
  return hr;
}

TEST(LogScope, LogsEntryAndExitWithTheResultOnEveryPath) {
  CRecordingLogSink sink;
  Twice(-1);
  Twice(0);
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 4u) << sink.Dump();
  EXPECT_EQ(lines[0].lLevel, LOG_ENTRY);
  EXPECT_EQ(lines[0].text, OLESTR("CSample::Twice"));
  EXPECT_EQ(lines[1].lLevel, LOG_EXIT);
  EXPECT_EQ(lines[1].text, OLESTR("CSample::Twice hr = 0x80070057"));
  EXPECT_EQ(lines[3].text, OLESTR("CSample::Twice hr = 0x1"));
}

TEST(LogScope, DetailLevelsNoResultAndExtraField) {
  CRecordingLogSink sink;
  {
    HRESULT hr = E_FAIL;
    CLogScope scope(OLESTR("CheckClientCaller"), hr, kLogDetailLevels);
  }
  { CLogScope scope(OLESTR("CDataStoreManagerSubscriber::NotifyFlush")); }
  {
    HRESULT hr = S_OK;
    HRESULT hr1 = S_OK;
    CLogScope scope(OLESTR("CDuplicateRegistryTree::SetData"), hr);
    scope.AlsoShow(OLESTR("hr1"), hr1);
    hr1 = E_ACCESSDENIED;
  }
  const auto lines = sink.Lines();
  ASSERT_EQ(lines.size(), 6u) << sink.Dump();
  EXPECT_EQ(lines[0].lLevel, LOG_DETAIL);
  EXPECT_EQ(lines[1].lLevel, LOG_DETAIL);
  EXPECT_EQ(lines[1].text, OLESTR("CheckClientCaller hr = 0x80004005"));
  EXPECT_EQ(lines[3].lLevel, LOG_EXIT);
  EXPECT_EQ(lines[3].text, OLESTR("CDataStoreManagerSubscriber::NotifyFlush"));
  EXPECT_EQ(lines[5].text, OLESTR("CDuplicateRegistryTree::SetData hr1 = 0x80070005 hr = 0x0"));
}

}  // namespace
