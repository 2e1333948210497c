// The whole batch run: read, analyse, report.
#pragma once

#include <cstdio>

#include "analysis/permutation_test.hpp"

namespace strataperm {

// An analysis engine: similarity, structure test and permutation test, with
// the contract of run_analysis.
using AnalysisEngine = StructureFit (*)(const Parameters&, const SampleData&, DoubleVector,
                                        std::FILE*, RandomStream&, const EngineOptions&);

// How a run goes beyond the plain batch run (which uses the defaults).
struct RunSettings {
  int threads = 0;        // 0: all cores
  bool progress = false;  // stage and replicate progress on standard error
  bool extras = false;    // RESULTS.log, and RESULTS.named.tsv when markers.tsv exists
};

// Runs the analysis of the study described by "parameter.txt" in the current
// directory and returns the process exit status.
int run_study(AnalysisEngine engine = run_analysis, const RunSettings& settings = {});

}  // namespace strataperm
