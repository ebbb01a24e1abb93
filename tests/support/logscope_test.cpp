#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/recording_log_sink.h"
#include "support/logscope.h"

namespace {

// Each line is logged with its own literal format, not through "%s": every
// expected line reads "<level> <format> | <text>".
TEST(LogScope, EachLineIsItsOwnFormat) {
  const std::pair<std::function<void()>, std::vector<std::string>> cases[] = {
      {[] {
         HRESULT hr = S_OK;
         CLogScope scope(LOG_SCOPE_NAME("CSample::Twice"), hr);
         hr = E_INVALIDARG;
       },
       {"8 CSample::Twice | CSample::Twice",
        "16 CSample::Twice hr = 0x%x | CSample::Twice hr = 0x80070057"}},
      {[] {
         HRESULT hr = E_FAIL;
         CLogScope scope(LOG_SCOPE_NAME("CheckClientCaller"), hr, kLogDetailLevels);
       },
       {"0 CheckClientCaller | CheckClientCaller",
        "0 CheckClientCaller hr = 0x%x | CheckClientCaller hr = 0x80004005"}},
      {[] { CLogScope scope(LOG_SCOPE_NAME("CSample::NotifyFlush")); },
       {"8 CSample::NotifyFlush | CSample::NotifyFlush",
        "16 CSample::NotifyFlush | CSample::NotifyFlush"}},
  };
  for (const auto& [run, expected] : cases) {
    CRecordingLogSink sink;
    run();
    std::vector<std::string> lines;
    for (const auto& line : sink.Lines()) {
      lines.push_back(std::to_string(line.lLevel) + " " + ToUtf8(line.format) + " | " +
                      ToUtf8(line.text));
    }
    EXPECT_EQ(lines, expected);
  }
}

}  // namespace
