#include "common/recording_log_sink.h"

#include <algorithm>

#include "support/utf8.h"

std::string ToUtf8(const OleString& s) { return Utf16ToUtf8(s); }

CRecordingLogSink::CRecordingLogSink(uint32_t mask, std::function<void(const OleString&)> onWrite)
    : m_onWrite(std::move(onWrite)),
      m_pPrevious(qvlogInstallSink(this)),
      m_previousMask(qvlogGetLevelMask()) {
  qvlogSetLevelMask(mask);
}

CRecordingLogSink::~CRecordingLogSink() {
  qvlogSetLevelMask(m_previousMask);
  qvlogInstallSink(m_pPrevious);
}

void CRecordingLogSink::Write(const CLogRecord& record) noexcept {
  CLine line{record.lLevel, record.pszFormat ? record.pszFormat : OleString(),
             OleString(record.message)};
  if (m_onWrite) m_onWrite(line.format);
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.push_back(std::move(line));
}

std::vector<CRecordingLogSink::CLine> CRecordingLogSink::Lines() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_lines;
}

bool CRecordingLogSink::Contains(LONG lLevel, const OleString& text) const {
  const auto lines = Lines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const CLine& l) { return l.lLevel == lLevel && l.text == text; });
}

bool CRecordingLogSink::ContainsFormat(LONG lLevel, const OleString& format) const {
  const auto lines = Lines();
  return std::any_of(lines.begin(), lines.end(),
                     [&](const CLine& l) { return l.lLevel == lLevel && l.format == format; });
}

void CRecordingLogSink::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_lines.clear();
}

std::string CRecordingLogSink::Dump() const {
  std::string out;
  for (const CLine& line : Lines()) {
    out += "  L" + std::to_string(line.lLevel) + " " + ToUtf8(line.text) + "\n";
  }
  return out;
}
