// What the plot report is drawn from: the markers' P-values (from the
// results file or the run's marker table), the similarity histogram, the
// markers' places on the genome, and the figures computed from them.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "analysis/distance_table.hpp"
#include "io/association_table.hpp"
#include "io/results_file.hpp"

namespace strataperm::plot {

// One marker as the report shows it. What the source does not give is NaN
// (reals) or "." (labels).
// (`p` is the P-value plotted; see MarkerResults.)
struct MarkerResult : AssociationRow {
  int marker = 0;  // 1-based
};

// The markers of a run. From RESULTS.tsv (`from_table`), `p` is the
// asymptotic F test P-value (NaN where the table has NA) and EMP1, EMP2 and
// the effects are known; from the results file, `p` is the permutation
// P-value, rounded as that file prints it, and the rest is unknown.
struct MarkerResults {
  bool from_table = false;
  std::vector<MarkerResult> markers;
};

// The off-diagonal similarities binned on the grid they lie on. A similarity
// is (max - d) / max for an integer distance d, so bins span a whole number
// of grid steps 1 / max and every bin holds the same number of possible
// values. Counts are of unordered pairs.
struct Histogram {
  double low_edge = 0.0;   // left edge of the first bin
  double bin_width = 0.0;  // similarity units
  std::vector<double> counts;
  double total = 0.0;  // pairs in all bins
  bool empty() const { return counts.empty(); }
};

// A candidate marker's place on the genome.
struct MarkerPlace {
  std::string chromosome;
  double position = 0.0;
};

// Where the markers lie: places by marker number (index 0 unused), or why
// the Manhattan panel is left out.
struct MarkerMap {
  bool usable = false;
  std::string note;  // shown in place of the panel when not usable
  std::vector<MarkerPlace> places;
  std::vector<bool> placed;
  std::vector<std::string> ids;  // by marker number, "." when unknown
};


// Bins the table's similarities into about `target_bins` bins. Empty when no
// two individuals differ (every similarity is then undefined).
Histogram similarity_histogram(const DistanceTable& table, int target_bins);

// The same histogram from the distinct similarities and their pair counts
// (RESULTS.similarity.tsv). The grid step is recovered as 1 / D for the
// smallest whole D that puts every similarity on the grid; when there is no
// such D below a bound, the bins are of equal width over the values' range.
// Empty without a finite similarity.
Histogram histogram_of_similarities(const std::vector<std::pair<double, std::int64_t>>& counts,
                                    int target_bins);

// Reads markers.tsv of the study folder if there is one. A malformed file
// is a warning and leaves the panel out.
MarkerMap read_marker_map(const std::string& folder, int n_markers);

// The places of the results' markers whose chromosome is known and whose
// position is a number; not usable (with a note) when there is none.
MarkerMap marker_map_of(const MarkerResults& results);

// Genomic inflation of P-values with 2 degrees of freedom: the median of
// chi2 = -2 ln P over the P-values that are not NaN, divided by the median
// of the chi-square distribution with 2 df, 2 ln 2. NaN without P-values.
double genomic_inflation(const std::vector<double>& p_values);

// Where the family-wise significance level (EMP2 <= level) lies on the P
// scale, from the markers with both P and EMP2. EMP2 falls as P falls, so
// the boundary lies between the largest P that reaches the level and the
// smallest P that does not; the line is drawn at their geometric mean (at
// the larger when the smaller is 0).
struct FamilyWiseLine {
  int reaching = 0;      // markers with EMP2 <= level
  int missing = 0;       // markers with EMP2 > level
  double below = NAN;    // largest P with EMP2 <= level
  double above = NAN;    // smallest P with EMP2 > level
  double p = NAN;        // where the line is drawn; NaN without both sides
  double smallest_emp2 = NAN;
  bool drawn() const { return !std::isnan(p); }
};
FamilyWiseLine family_wise_line(const MarkerResults& results, double level);

// Indices into results.markers of the `count` markers with the smallest P
// (NaN last), ties by EMP1 and then marker number.
std::vector<std::size_t> top_markers(const MarkerResults& results, std::size_t count);

}  // namespace strataperm::plot
