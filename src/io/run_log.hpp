// RESULTS.log, written by `strataperm run` and `merge` beside the results
// file ("key<TAB>value" lines) and read back by the plot report.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/study.hpp"

namespace strataperm {

// What RESULTS.log records.
struct RunLog {
  std::string command_line;  // the words of the command, quoted where needed
  std::string seeds;         // "3,1,1"
  std::vector<std::pair<std::string, std::string>> inputs;  // each input file and its MD5
  std::vector<std::string> study_lines;  // how the study was made (from PLINK or VCF files)
  std::string background_ids_file;       // the list of the background loci, when there is one
  std::string started, finished;
  int threads = 0;
  Parameters parameters;
  StructureFit fit;
  GroupSummary groups;
  std::string adjustment;   // "means" or "sequential"
  std::string groups_from;  // the cluster file of --within ("": the structure test)
  std::vector<std::pair<std::string, double>> stage_seconds;
};

// Writes RESULTS.log at `path`: "key<TAB>value" lines. Throws OutputError.
void write_run_log(const std::string& path, const RunLog& log);

// The run a log describes: the results file (relative to the folder the run
// worked in), the four counts, the fitted models and the verdict.
struct LoggedRun {
  Parameters parameters;  // output_file and the counts; the data file names as logged
  StructureFit fit;
  // The log's adjustment is `means`: its table's EMP1 is (c + 1)/(R + 1),
  // never below 1/(R + 1) (older logs: c/R, whose floor is 1/(2R)).
  bool emp1_counts_the_observed = false;
};

// Reads RESULTS.log at `path`. It must start with the "strataperm VERSION"
// line and hold the lines results_file, individuals, background_loci,
// markers, permutations, one_group, two_groups and verdict in the form the
// run writes them; other lines are skipped.
LoggedRun read_run_log(const std::string& path);

}  // namespace strataperm
