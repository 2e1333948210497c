// `strataperm` and `strataperm run`: read the study, analyse it, report.
#pragma once

#include <string>
#include <vector>

#include "analysis/engine.hpp"
#include "core/progress.hpp"
#include "io/association_table.hpp"
#include "io/results_writer.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// How a run goes beyond the plain batch run (which uses the defaults).
struct RunOptions {
  std::string folder = ".";  // the study folder, holding parameter.txt
  int threads = 0;           // 0: all cores
  bool progress = false;     // stage and replicate progress on standard error
  bool extras = false;       // RESULTS.tsv and RESULTS.log
};

// One run's state beside its study: where its outputs go, the one random
// stream (seeded), the log being gathered, the clock and the progress.
struct StudyRun {
  StudyRun(std::string output_folder, bool show_progress)
      : folder(std::move(output_folder)), progress(show_progress) {
    seed_random_stream(stream);
    log.started = utc_now();
  }
  std::string folder;
  Parameters parameters;
  SampleData data;  // the background counts and traits (markers come from a MarkerSource)
  RandomStream stream;
  RunLog log;
  StageClock clock;
  Progress progress;
};

// Runs the analysis of the study in `options.folder` with `engine` and returns
// the exit status. Throws Error for every problem (the caller reports it).
int run_study(const RunOptions& options, AnalysisEngine engine = run_analysis);

// The part of every run after reading: checks that the results file can be
// written, analyses, prints the console report, writes the results file and,
// with `options.extras`, RESULTS.tsv and RESULTS.log. Returns the exit status.
int analyse_and_report(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                       const RunOptions& options, AnalysisEngine engine);

// The words after "run"; returns the exit status. Throws Error.
int run_subcommand(const std::vector<std::string>& args, AnalysisEngine engine = run_analysis);

}  // namespace strataperm
