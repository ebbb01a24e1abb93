// RunWithRatios: runs the registered benchmarks with the console report,
// then prints each named ratio of two benchmarks' CPU times per iteration
// (the report's "CPU" column: this process's user and system time, not the
// wall clock), both measured in this run, so that a result depends neither
// on how fast the machine is nor on how busy other processes keep it. Time
// spent waiting (on a lock held elsewhere, a disk flush) is not counted.
#pragma once

#include <string>
#include <vector>

struct CBenchRatio {
  std::string label;
  std::string numerator;    // benchmark name
  std::string denominator;  // benchmark name (the baseline)
};

int RunWithRatios(int argc, char** argv, const std::vector<CBenchRatio>& ratios);
