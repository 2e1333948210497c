// What `strataperm run` writes beside its results file RESULTS, read back for
// the plot report: RESULTS.log (counts and fitted models), RESULTS.tsv (one
// row per marker) and RESULTS.similarity.tsv (the distinct similarities and
// their pair counts). Every reader throws InputError "PATH, line K: WHAT"
// (or "PATH: WHAT" for what no line shows) for a file it cannot use.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "core/study.hpp"

namespace strataperm::plot {

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

// A row of RESULTS.tsv. Reals that the table gives as NA are NaN.
struct AssociationRow {
  std::string chromosome, position, id;  // as written ("." when unknown)
  double beta_add = 0.0, beta_dom = 0.0;
  double p = 0.0;     // asymptotic F(2, N - 3) P-value
  double emp1 = 0.0;  // permutation P-value, never NA
  double emp2 = 0.0;  // family-wise P-value
};

// Reads RESULTS.tsv at `path`: the header, then exactly `n_markers` rows of
// 15 tab-separated fields, row j for marker j. Numeric fields are numbers or
// NA; P and EMP2 are NA or in [0, 1], EMP1 in [0, 1].
std::vector<AssociationRow> read_association_rows(const std::string& path, int n_markers);

// Reads RESULTS.similarity.tsv at `path`: the header, then rows "SIMILARITY
// PAIRS" with similarities ascending in [0, 1] (or the one NaN row of a
// sample whose individuals all agree) and pair counts of at least 1, adding
// up to n(n - 1) / 2 for the `n_individuals` of the run.
std::vector<std::pair<double, std::int64_t>> read_similarity_counts(const std::string& path,
                                                                    int n_individuals);

}  // namespace strataperm::plot
