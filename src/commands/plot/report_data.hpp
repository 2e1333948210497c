// What the plot report is drawn from: the results file's P-value table, the
// similarity histogram and the markers' places on the genome.
#pragma once

#include <string>
#include <vector>

#include "analysis/distance_table.hpp"

namespace strataperm::plot {

// One line of the results file's P-value table.
struct MarkerPValue {
  int marker = 0;
  double p_value = 0.0;
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

// A candidate marker's place on the genome, from markers.tsv.
struct MarkerPlace {
  std::string chromosome;
  double position = 0.0;
};

// What markers.tsv contributes: places by marker number (index 0 unused), or
// why the Manhattan panel is left out.
struct MarkerMap {
  bool usable = false;
  std::string note;  // shown in place of the panel when not usable
  std::vector<MarkerPlace> places;
  std::vector<bool> placed;
};

// Reads the last P-value table of the results file at `path`: the lines after
// the last line starting "marker#", up to a blank line or the end, each a
// marker number in [1, n_markers] (each at most once) and a P-value in [0, 1].
// Throws InputError "PATH: REASON" (naming the line) when the file cannot be
// read or the table is missing, empty or malformed.
std::vector<MarkerPValue> read_p_value_table(const std::string& path, int n_markers);

// Bins the table's similarities into about `target_bins` bins. Empty when no
// two individuals differ (every similarity is then undefined).
Histogram similarity_histogram(const DistanceTable& table, int target_bins);

// Reads markers.tsv of the study folder if there is one. A malformed file
// is a warning and leaves the panel out.
MarkerMap read_marker_map(const std::string& folder, int n_markers);

}  // namespace strataperm::plot
