// CRecordingLogSink: records every message of the logging channel while it
// lives, with every level selected, so that tests can assert on the log as
// the observable behaviour it is. It restores the previous sink and mask
// when destroyed.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/qvlog.h"

using OleString = std::basic_string<OLECHAR>;

// UTF-8 for test failure messages.
std::string ToUtf8(const OleString& s);

class CRecordingLogSink final : public ILogSink {
 public:
  struct CLine {
    LONG lLevel;
    OleString format;  // as passed to qvlogLog
    OleString text;
  };

  // onWrite, if given, sees the format of each line as it is written,
  // outside the sink's lock (a test can hold the writing thread there).
  explicit CRecordingLogSink(uint32_t mask = kLogAllLevels,
                             std::function<void(const OleString&)> onWrite = {});
  ~CRecordingLogSink() override;

  void Write(const CLogRecord& record) noexcept override;

  std::vector<CLine> Lines() const;
  bool Contains(LONG lLevel, const OleString& text) const;
  // Whether a line of this level was logged with this format.
  bool ContainsFormat(LONG lLevel, const OleString& format) const;
  size_t Count() const { return Lines().size(); }
  void Clear();
  // All lines, one per row, for a failure message.
  std::string Dump() const;

 private:
  mutable std::mutex m_lock;
  std::vector<CLine> m_lines;
  const std::function<void(const OleString&)> m_onWrite;  // set before the sink is installed
  ILogSink* m_pPrevious;
  uint32_t m_previousMask;
};
