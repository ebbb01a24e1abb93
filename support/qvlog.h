// The logging channel: every diagnostic line of the system goes through
// qvlogLog(channel, level, format, args...).
//
// A call whose level is not selected by the level mask returns after one
// atomic load, before any argument is converted or any text formatted. A
// selected call formats the message and hands it to the installed sink. The
// default sink writes to the file named by the configuration, and is off
// when none is named (see CLogFileSink).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "platform/seam.h"
#include "support/logformat.h"

// The channel every message of this system is written to.
inline constexpr OLECHAR gLogChannel[] = OLESTR("SRVKELMYR");

// The levels, as the call sites use them.
enum : LONG {
  LOG_DETAIL = 0,   // fine detail and successful sub-steps
  LOG_FAILURE = 1,  // a failure on some path
  LOG_NOTABLE = 2,  // a notable outcome or an inspected value
  LOG_ENTRY = 8,    // entry into a function
  LOG_EXIT = 16,    // exit from a function with its result
};

// Bit n of a level mask selects level n; levels outside 0..30 are never
// written (bit 31 marks the channel as not configured yet).
inline constexpr uint32_t kLogAllLevels = (1u << LOG_DETAIL) | (1u << LOG_FAILURE) |
                                          (1u << LOG_NOTABLE) | (1u << LOG_ENTRY) |
                                          (1u << LOG_EXIT);

struct CLogRecord {
  const OLECHAR* pszChannel;
  LONG lLevel;
  const OLECHAR* pszFormat;  // the format as passed to qvlogLog
  std::basic_string_view<OLECHAR> message;
};

// Receives the selected messages. Write is called from any thread, without
// a lock of the channel around it.
class ILogSink {
 public:
  virtual ~ILogSink() = default;
  virtual void Write(const CLogRecord& record) noexcept = 0;
};

namespace qvlog {

// The current mask. Until the channel is configured it selects every
// level, so that the first selected call configures it (CLogFileSink reads
// the configuration once) and then tests again.
extern std::atomic<uint32_t> gLevelMask;
inline constexpr uint32_t kUnconfiguredBit = 0x80000000u;
inline constexpr uint32_t kUnconfigured = 0xFFFFFFFFu;

inline bool Selected(LONG lLevel) noexcept {
  const uint32_t mask = gLevelMask.load(std::memory_order_relaxed);
  return static_cast<uint32_t>(lLevel) < 31 && (mask >> lLevel) & 1u;
}

// Formats and writes one selected message (the slow path of qvlogLog).
void Write(const OLECHAR* pszChannel, LONG lLevel, const OLECHAR* pszFormat,
           const logformat::CLogArg* pArgs, size_t cArgs) noexcept;

TSeam<ILogSink>& SinkSeam() noexcept;

}  // namespace qvlog

// Selects the levels to write (bit n for level n). Replaces the configured
// mask; the configuration is then not read again.
void qvlogSetLevelMask(uint32_t mask) noexcept;
uint32_t qvlogGetLevelMask() noexcept;

// Installs a sink in place of the configured one (null restores it) and
// returns the previous one.
ILogSink* qvlogInstallSink(ILogSink* pSink) noexcept;

template <class... Args>
inline void qvlogLog(const OLECHAR* pszChannel, LONG lLevel,
                     logformat::CLogFormat<std::type_identity_t<Args>...> format,
                     Args... args) noexcept {
  if (!qvlog::Selected(lLevel)) return;
  if constexpr (sizeof...(Args) == 0) {
    qvlog::Write(pszChannel, lLevel, format.Get(), nullptr, 0);
  } else {
    const logformat::CLogArg argv[] = {logformat::MakeLogArg(args)...};
    qvlog::Write(pszChannel, lLevel, format.Get(), argv, sizeof...(Args));
  }
}
