// RESULTS.log, written by `strataperm run` and `merge` beside the results
// file ("key<TAB>value" lines) and read back by the plot report.
#pragma once

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/adaptive_rule.hpp"
#include "analysis/marker_blocks.hpp"
#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/study.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

// One record of a run: what RESULTS.log reports, and what a shard's manifest
// carries of the run it belongs to (io/shard_files writes this same record
// there, its reals exact). Numbers are kept as numbers.
struct RunRecord {
  std::string command_line;  // the words of the command, quoted where needed
  std::string choices;       // the options that make the study (all shards of a run share them)
  std::array<int, 3> seeds = {3, 1, 1};
  std::vector<std::pair<std::string, std::string>> inputs;  // each input file and its MD5
  std::vector<std::string> study_lines;  // how the study was made (from PLINK or VCF files)
  std::string background_ids_file;       // the list of the background loci, when there is one
  std::string started, finished;
  int threads = 0;
  Parameters parameters;
  StructureFit fit;
  GroupSummary groups;
  Adjustment adjustment = Adjustment::means;
  std::string groups_from;             // the cluster file of --within ("": the structure test)
  std::string covariates_from;         // the covariate table of --covar ("": none)
  std::vector<std::string> covariates; // the covariates' names, in the model's order
  int model_rank = 0;                  // the rank of the reduced model (with covariates)
  std::optional<AdaptiveRule> rule;    // adaptive runs
  bool compressed_table = false;       // --compress: RESULTS.tsv.gz in place of RESULTS.tsv
  std::string table_index;             // then the index's name, or "none (why)";
                                       // "" until the table is written
  std::vector<std::pair<std::string, double>> stage_seconds;
};

// The seeds as the log and the command line give them: "A,B,C".
std::string seeds_text(const std::array<int, 3>& seeds);
// The adaptive rule as the log gives it.
std::string describe_rule(const AdaptiveRule& rule);

// Writes RESULTS.log at `path`: "key<TAB>value" lines. Throws OutputError.
void write_run_log(const std::string& path, const RunRecord& record);

// The record's lines of RESULTS.log (all but the first, "strataperm
// VERSION"): the one writer of a run's record, which a shard's manifest
// holds too.
void write_run_record(std::FILE* out, const RunRecord& record);

// Takes one "KEY<TAB>VALUE" line that write_run_record writes into `record`;
// false when the key is not one of the record's. The fit, verdict and groups
// lines are taken but not parsed (their words round the numbers). Fails
// through `reader` on a malformed value.
bool read_run_record_line(const std::string& key, const std::string& value, RunRecord& record,
                          const RecordReader& reader);

// The run a log describes: the results file (relative to the folder the run
// worked in), the four counts, the fitted models and the verdict.
struct LoggedRun {
  Parameters parameters;  // output_file and the counts; the data file names as logged
  // The marker table the run wrote, relative like output_file: RESULTS.tsv,
  // or RESULTS.tsv.gz after --compress (a log without the line: RESULTS.tsv).
  std::string table_file;
  StructureFit fit;
  // The log's adjustment is `means`: its table's EMP1 is (c + 1)/(R + 1),
  // never below 1/(R + 1) (older logs: c/R, whose floor is 1/(2R)).
  bool emp1_counts_the_observed = false;
};

// Reads RESULTS.log at `path`. It must start with the "strataperm VERSION"
// line and hold the lines results_file, individuals, background_loci,
// markers, permutations, one_group, two_groups and verdict in the form the
// run writes them, and a table_file line, when there is one, names
// RESULTS.tsv or RESULTS.tsv.gz; other lines are skipped.
LoggedRun read_run_log(const std::string& path);

}  // namespace strataperm
