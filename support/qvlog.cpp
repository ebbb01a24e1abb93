#include "support/qvlog.h"

#include <mutex>

#include "platform/no_destructor.h"
#include "support/logfilesink.h"

namespace qvlog {

std::atomic<uint32_t> gLevelMask{kUnconfigured};

namespace {

std::once_flag gConfigureOnce;

void ConfigureOnce() noexcept {
  std::call_once(gConfigureOnce, [] {
    uint32_t mask = 0;
    try {
      mask = ReadLogConfiguration().mask;
    } catch (...) {
      mask = 0;
    }
    uint32_t expected = kUnconfigured;
    gLevelMask.compare_exchange_strong(expected, mask);
  });
}

}  // namespace

TSeam<ILogSink>& SinkSeam() noexcept {
  // Never destroyed: threads of the hosting process may still log while
  // static destructors run.
  static TNoDestructor<CLogFileSink> fileSink;
  static TNoDestructor<TSeam<ILogSink>> seam(*fileSink);
  return *seam;
}

void Write(const OLECHAR* pszChannel, LONG lLevel, const OLECHAR* pszFormat,
           const logformat::CLogArg* pArgs, size_t cArgs) noexcept {
  if (gLevelMask.load(std::memory_order_relaxed) == kUnconfigured) {
    ConfigureOnce();
    if (!Selected(lLevel)) return;
  }
  try {
    const auto message = logformat::FormatLogMessage(pszFormat, pArgs, cArgs);
    SinkSeam().Get().Write(CLogRecord{pszChannel, lLevel, pszFormat, message});
  } catch (...) {
    // Logging never fails an operation.
  }
}

}  // namespace qvlog

void qvlogSetLevelMask(uint32_t mask) noexcept {
  // An explicit mask wins over the configuration, which is then not read.
  std::call_once(qvlog::gConfigureOnce, [] {});
  qvlog::gLevelMask.store(mask & ~qvlog::kUnconfiguredBit, std::memory_order_relaxed);
}

uint32_t qvlogGetLevelMask() noexcept {
  qvlog::ConfigureOnce();
  return qvlog::gLevelMask.load(std::memory_order_relaxed);
}

ILogSink* qvlogInstallSink(ILogSink* pSink) noexcept { return qvlog::SinkSeam().Install(pSink); }
