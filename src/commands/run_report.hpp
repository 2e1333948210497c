// What `run` and `merge` share: a run's options and state, and the reports
// after the analysis (the console report, the results file, RESULTS.tsv,
// RESULTS.log, RESULTS.similarity.tsv, background_ids.txt).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/engine.hpp"
#include "core/progress.hpp"
#include "io/association_table.hpp"
#include "io/results_file.hpp"
#include "io/run_log.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// How a run goes beyond the plain batch run (which uses the defaults).
struct RunOptions {
  std::string folder = ".";        // the study folder, or where the outputs go
  int threads = 0;                 // 0: all cores
  int chunk_replicates = 0;        // 0: by the engine's memory budget
  bool progress = false;           // progress on standard error
  bool progress_in_place = false;  // ... on one line rewritten in place (a terminal)
  bool extras = false;             // RESULTS.tsv and RESULTS.log
  std::array<int, 3> seeds = {3, 1, 1};
  std::string command_line;
  std::string choices;             // the options that make the study, for shards
  std::string out_folder;          // where the outputs go ("": the study folder)
  int shard = 0, shards = 0;       // --shard K/S (0 of 0: the whole run)
  std::optional<AdaptiveRule> adaptive;  // --adaptive
  Adjustment adjustment = Adjustment::means;  // --adjustment
  std::string within_file;                    // --within: user-given groups ("": the structure test's)
  std::string covar_file, covar_names;        // --covar, --covar-name ("": no covariates)
  bool compress = false;                      // --compress: RESULTS.tsv.gz (+ .tbi) for RESULTS.tsv
};

// One run's state beside its study: where its outputs go, the one random
// stream, the log being gathered, the clock and the progress.
struct StudyRun {
  explicit StudyRun(const RunOptions& options);
  std::string folder;
  Parameters parameters;
  SampleData data;  // the background counts and traits (markers come from a MarkerSource)
  RandomStream stream;
  RunRecord record;  // what the log and a shard's manifest record of the run
  StageClock clock;
  Progress progress;
  std::vector<std::string> background_ids;  // the loci the run chose, when it chose them
  std::vector<int> clusters;                // --within: each individual's group
  Covariates covariates;                    // --covar: each individual's covariates
};

// The reports after the analysis: the console's P-value lines, the sorted
// results file (the sort goes on drawing from run.stream), and with `extras`
// RESULTS.tsv (from `table`, which holds every marker's statistics; a
// compressed table without a tabix index is a warning, and the log says
// which), the similarity table, the log and background_ids.txt. Throws Error.
void report_results(StudyRun& run, const AnalysisResult& result, AssociationTable* table,
                    const MarkerLabels& labels, bool extras);

// The warning for a sample whose background loci separate no two individuals.
void warn_if_inseparable(const StructureFit& fit);

}  // namespace strataperm
