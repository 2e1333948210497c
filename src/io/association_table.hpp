// RESULTS.tsv: one line per marker, in marker order, tab-separated under the
// header
//   #CHROM POS ID A1 A2 A1_FREQ OBS_CT BETA_ADD SE_ADD BETA_DOM SE_DOM F_STAT P EMP1 EMP2
// CHROM, POS, ID, A1 and A2 come from the marker's label (".", ".", the marker
// number, ".", "." without one); A1 is the allele whose copies the additive
// code counts, A1_FREQ its frequency over the called individuals, OBS_CT
// their number. The rest is summarize_association's, EMP1 the permutation P
// and EMP2 the family-wise P. Reals are printed "%.6g", EMP1 and EMP2 with
// enough digits to give back the exact multiple of 1/(2R) and 1/(R + 1)
// ("%.*g" at max(6, digits(2R) + 1) and max(6, digits(R + 1) + 1)); what is
// not defined prints "NA": BETA, SE, F_STAT, P and EMP2 of a degenerate
// marker, SE, F_STAT and P when there is no error variance, EMP2 when the
// marker's ratio is not a number.
//
// The rows are kept on disk while the run goes on (an unnamed file beside the
// target, 64 bytes a marker), so memory does not grow with the markers; the
// table is written once the replicates' maxima are known.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "analysis/association.hpp"

namespace strataperm {

struct MarkerLabel {
  std::string chromosome = ".", position = ".", id, tested_allele = ".", other_allele = ".";
};
// The label of marker j (1-based), asked for in marker order.
using MarkerLabels = std::function<MarkerLabel(long marker)>;

class AssociationTable {
 public:
  // Prepares the table for `target`; throws OutputError when its folder
  // takes no file.
  explicit AssociationTable(std::string target);
  AssociationTable(const AssociationTable&) = delete;
  AssociationTable& operator=(const AssociationTable&) = delete;
  ~AssociationTable();

  // The next markers' statistics, in marker order.
  void add(std::span<const MarkerStatistics> markers);

  // Writes the whole table (through OutputFile). `labels` may be empty.
  // Throws OutputError.
  void write(int n_individuals, int n_permutations, double sum_y2,
             std::vector<double> replicate_maxima, const MarkerLabels& labels);

  // The table of an adaptive run: EMP1 of marker j is emp1[j - 1] over its
  // own np[j - 1] replicates (printed exactly for up to `max_permutations`),
  // EMP2 is NA, and a last column NP holds np.
  void write_adaptive(int n_individuals, std::int64_t max_permutations, double sum_y2,
                      const std::vector<double>& emp1, const std::vector<std::int64_t>& np,
                      const MarkerLabels& labels);

 private:
  void write_rows(int n_individuals, long long emp1_denominator, long long emp2_denominator,
                  double sum_y2, const std::vector<double>* sorted_maxima,
                  const std::vector<double>* emp1, const std::vector<std::int64_t>* np,
                  const MarkerLabels& labels);
  std::string target_;
  std::FILE* rows_ = nullptr;
  long count_ = 0;
};

// "%.*g" precision that gives back every multiple of 1/denominator exactly:
// max(6, decimal digits of denominator + 1).
int exact_fraction_precision(long long denominator);

}  // namespace strataperm
