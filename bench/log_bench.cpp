// The cost of the logging channel: a call filtered out by the level mask
// against an empty function call, and a call written to a file.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "ratio_reporter.h"
#include "support/logfilesink.h"
#include "support/qvlog.h"

namespace {

[[gnu::noinline]] void EmptyFunction(const OLECHAR* psz, LONG l) {
  benchmark::DoNotOptimize(psz);
  benchmark::DoNotOptimize(l);
}

void BM_EmptyFunctionCall(benchmark::State& state) {
  const OLECHAR* psz = OLESTR("CompartmentId");
  LONG l = 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(psz);
    EmptyFunction(psz, l);
  }
}
BENCHMARK(BM_EmptyFunctionCall);

void BM_FilteredLogCall(benchmark::State& state) {
  qvlogSetLevelMask(1u << LOG_FAILURE);
  const OLECHAR* psz = OLESTR("CompartmentId");
  LONG l = 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(psz);
    qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CInternalDataStore::SetData %s = %d"), psz, l);
  }
}
BENCHMARK(BM_FilteredLogCall);

void BM_EnabledLogCallToFile(benchmark::State& state) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() /
      ("kelmyr-log-bench-" + std::to_string(GetCurrentProcessId()) + ".log");
  {
    CLogFileSink sink(file);
    ILogSink* pPrevious = qvlogInstallSink(&sink);
    qvlogSetLevelMask(kLogAllLevels);
    const OLECHAR* psz = OLESTR("CompartmentId");
    LONG l = 7;
    for (auto _ : state) {
      qvlogLog(gLogChannel, LOG_DETAIL, OLESTR("CInternalDataStore::SetData %s = %d"), psz, l);
    }
    qvlogSetLevelMask(0);
    qvlogInstallSink(pPrevious);
  }
  std::filesystem::remove(file);
}
BENCHMARK(BM_EnabledLogCallToFile);

}  // namespace

int main(int argc, char** argv) {
  return RunWithRatios(
      argc, argv,
      {{"filtered log call / empty function call", "BM_FilteredLogCall", "BM_EmptyFunctionCall"},
       {"enabled log call to a file / empty function call", "BM_EnabledLogCallToFile",
        "BM_EmptyFunctionCall"}});
}
