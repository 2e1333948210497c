// `strataperm` and `strataperm run`: read the study, analyse it, report.
#pragma once

#include <string>
#include <vector>

#include "analysis/engine.hpp"

namespace strataperm {

// How a run goes beyond the plain batch run (which uses the defaults).
struct RunOptions {
  std::string folder = ".";  // the study folder, holding parameter.txt
  int threads = 0;           // 0: all cores
  bool progress = false;     // stage and replicate progress on standard error
  bool extras = false;       // RESULTS.log, and RESULTS.named.tsv when markers.tsv exists
};

// Runs the analysis of the study in `options.folder` with `engine` and returns
// the exit status. Throws Error for every problem (the caller reports it).
int run_study(const RunOptions& options, AnalysisEngine engine = run_analysis);

// The words after "run"; returns the exit status. Throws Error.
int run_subcommand(const std::vector<std::string>& args, AnalysisEngine engine = run_analysis);

}  // namespace strataperm
