// RunWithRatios: runs the registered benchmarks with the console report,
// then prints each named ratio of two benchmarks' real times per iteration,
// both measured in this run, so that a result does not depend on how fast
// the machine is.
#pragma once

#include <string>
#include <vector>

struct CBenchRatio {
  std::string label;
  std::string numerator;    // benchmark name
  std::string denominator;  // benchmark name (the baseline)
};

int RunWithRatios(int argc, char** argv, const std::vector<CBenchRatio>& ratios);
