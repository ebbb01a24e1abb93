#include <gtest/gtest.h>

#include <functional>

#include "common/recording_log_sink.h"
#include "support/logscope.h"

namespace {

HRESULT Twice(int n) {
  HRESULT hr = S_OK;
  CLogScope scope(LOG_SCOPE_NAME("CSample::Twice"), hr);
  if (n < 0) {
    hr = E_INVALIDARG;
    return hr;  // the exit line shows the result of an early return too
  }
  hr = S_FALSE;
  return hr;
}

struct CExpectedLine {
  LONG lLevel;
  const OLECHAR* pszFormat;
  const OLECHAR* pszText;
};

// Each line is logged with its own literal format, not through "%s".
TEST(LogScope, EachLineIsItsOwnFormat) {
  struct {
    const char* name;
    std::function<void()> run;
    std::vector<CExpectedLine> lines;
  } cases[] = {
      {"result, early return",
       [] { Twice(-1); },
       {{LOG_ENTRY, OLESTR("CSample::Twice"), OLESTR("CSample::Twice")},
        {LOG_EXIT, OLESTR("CSample::Twice hr = 0x%x"), OLESTR("CSample::Twice hr = 0x80070057")}}},
      {"result at the end",
       [] { Twice(1); },
       {{LOG_ENTRY, OLESTR("CSample::Twice"), OLESTR("CSample::Twice")},
        {LOG_EXIT, OLESTR("CSample::Twice hr = 0x%x"), OLESTR("CSample::Twice hr = 0x1")}}},
      {"detail levels",
       [] {
         HRESULT hr = E_FAIL;
         CLogScope scope(LOG_SCOPE_NAME("CheckClientCaller"), hr, kLogDetailLevels);
       },
       {{LOG_DETAIL, OLESTR("CheckClientCaller"), OLESTR("CheckClientCaller")},
        {LOG_DETAIL, OLESTR("CheckClientCaller hr = 0x%x"),
         OLESTR("CheckClientCaller hr = 0x80004005")}}},
      {"no result",
       [] { CLogScope scope(LOG_SCOPE_NAME("CSample::NotifyFlush")); },
       {{LOG_ENTRY, OLESTR("CSample::NotifyFlush"), OLESTR("CSample::NotifyFlush")},
        {LOG_EXIT, OLESTR("CSample::NotifyFlush"), OLESTR("CSample::NotifyFlush")}}},
      {"extra field",
       [] {
         HRESULT hr = S_OK;
         HRESULT hr1 = S_OK;
         CLogScope scope(LOG_SCOPE_NAME("CSample::SetData"), hr);
         scope.AlsoShow(LOG_SCOPE_FIELD("CSample::SetData", "hr1"), hr1);
         hr1 = E_ACCESSDENIED;
       },
       {{LOG_ENTRY, OLESTR("CSample::SetData"), OLESTR("CSample::SetData")},
        {LOG_EXIT, OLESTR("CSample::SetData hr1 = 0x%x hr = 0x%x"),
         OLESTR("CSample::SetData hr1 = 0x80070005 hr = 0x0")}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CRecordingLogSink sink;
    c.run();
    const auto lines = sink.Lines();
    ASSERT_EQ(lines.size(), c.lines.size()) << sink.Dump();
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].lLevel, c.lines[i].lLevel) << i;
      EXPECT_EQ(lines[i].format, c.lines[i].pszFormat) << i;
      EXPECT_EQ(lines[i].text, c.lines[i].pszText) << i;
    }
  }
}

}  // namespace
