#include "support/qvlog.h"

#include <mutex>
#include <new>
#include <utility>

#include "support/logfilesink.h"

namespace qvlog {

std::atomic<uint32_t> gLevelMask{kUnconfigured};

namespace {

std::once_flag gConfigureOnce;

// Storage whose object is built on first use and never destroyed: the
// channel is used by threads of the hosting process that may still run
// while static destructors do.
template <class T>
class TNeverDestroyed {
 public:
  template <class... A>
  explicit TNeverDestroyed(A&&... args) {
    ::new (static_cast<void*>(m_storage)) T(std::forward<A>(args)...);
  }
  T& Get() noexcept { return *std::launder(reinterpret_cast<T*>(m_storage)); }

 private:
  alignas(T) unsigned char m_storage[sizeof(T)];
};

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
  static TNeverDestroyed<CLogFileSink> fileSink;
  static TNeverDestroyed<TSeam<ILogSink>> seam(fileSink.Get());
  return seam.Get();
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
