#include "ratio_reporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>

namespace {

// Plain text: the output goes to CI logs.
class CRatioReporter : public benchmark::ConsoleReporter {
 public:
  CRatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0 && !run.error_occurred) {
        m_times[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  const std::map<std::string, double>& Times() const { return m_times; }

 private:
  std::map<std::string, double> m_times;
};

}  // namespace

int RunWithRatios(int argc, char** argv, const std::vector<CBenchRatio>& ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  int missing = 0;
  std::printf("\nratios (same run):\n");
  for (const CBenchRatio& ratio : ratios) {
    const auto num = reporter.Times().find(ratio.numerator);
    const auto den = reporter.Times().find(ratio.denominator);
    if (num == reporter.Times().end() || den == reporter.Times().end() || den->second <= 0) {
      std::printf("  %-50s not measured\n", ratio.label.c_str());
      ++missing;
      continue;
    }
    std::printf("  %-50s %8.2f\n", ratio.label.c_str(), num->second / den->second);
  }
  return missing == 0 ? 0 : 1;
}
