#include "commands/plot/report_data.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <cstdlib>

#include "core/errors.hpp"
#include "core/study.hpp"
#include "io/marker_table.hpp"
#include "io/record_reader.hpp"

namespace strataperm::plot {


namespace {

// Bins pairs at whole grid positions g (similarity g / denominator) into
// about `target_bins` bins of a whole number of grid steps each.
Histogram histogram_on_grid(const std::vector<std::pair<long long, double>>& grid_pairs,
                            double denominator, int target_bins) {
  Histogram histogram;
  if (grid_pairs.empty()) return histogram;
  long long low = grid_pairs.front().first, high = low;
  for (const auto& [g, pairs] : grid_pairs) {
    low = std::min(low, g);
    high = std::max(high, g);
  }
  const long long span = high - low + 1;
  const long long per_bin = std::max<long long>(1, (span + target_bins - 1) / target_bins);
  histogram.counts.assign(static_cast<std::size_t>((span + per_bin - 1) / per_bin), 0.0);
  for (const auto& [g, pairs] : grid_pairs) {
    histogram.counts[static_cast<std::size_t>((g - low) / per_bin)] += pairs;
    histogram.total += pairs;
  }
  histogram.low_edge = (static_cast<double>(low) - 0.5) / denominator;
  histogram.bin_width = static_cast<double>(per_bin) / denominator;
  return histogram;
}

}  // namespace

// Bins the table's similarities into about `target_bins` bins. Empty when no
// two individuals differ (every similarity is then undefined).
Histogram similarity_histogram(const DistanceTable& table, int target_bins) {
  if (!(table.max_distance > 0.0)) return Histogram();
  // Grid position of a distance: max - d, a whole number.
  std::vector<std::pair<long long, double>> grid_pairs;
  for (std::size_t v = 0; v < table.distance.size(); ++v) {
    if (table.pairs[v] <= 0) continue;
    grid_pairs.emplace_back(std::llround(table.max_distance - table.distance[v]),
                            static_cast<double>(table.pairs[v]) / 2.0);
  }
  return histogram_on_grid(grid_pairs, table.max_distance, target_bins);
}

Histogram histogram_of_similarities(const std::vector<std::pair<double, std::int64_t>>& counts,
                                    int target_bins) {
  std::vector<double> values;
  for (const auto& [similarity, pairs] : counts)
    if (std::isfinite(similarity) && pairs > 0) values.push_back(similarity);
  if (values.empty()) return Histogram();
  std::sort(values.begin(), values.end());
  double smallest_gap = 0.0;
  for (std::size_t v = 1; v < values.size(); ++v) {
    const double gap = values[v] - values[v - 1];
    if (gap > 0.0 && (smallest_gap == 0.0 || gap < smallest_gap)) smallest_gap = gap;
  }
  // The smallest gap is k / D for a whole k: try D = k / gap for small k.
  const auto on_grid = [&](double denominator) {
    for (double s : values) {
      const double g = s * denominator;
      if (std::fabs(g - std::nearbyint(g)) > 1e-6) return false;
    }
    return true;
  };
  double denominator = 0.0;
  if (smallest_gap == 0.0) {
    denominator = values.front() > 0.0 ? 1.0 / values.front() : 1.0;
    if (!on_grid(denominator)) denominator = 0.0;
  } else {
    for (int k = 1; k <= 64 && denominator == 0.0; ++k) {
      const double candidate = std::nearbyint(k / smallest_gap);
      if (candidate >= 1.0 && candidate <= 1e9 && on_grid(candidate)) denominator = candidate;
    }
  }
  if (denominator == 0.0) {
    // No grid: equal bins over the range, as a grid of target_bins steps.
    const double low = values.front(), high = values.back();
    const double steps = std::max(1, target_bins - 1);
    denominator = high > low ? steps / (high - low) : 1.0;
    std::vector<std::pair<long long, double>> grid_pairs;
    for (const auto& [similarity, pairs] : counts)
      if (std::isfinite(similarity) && pairs > 0)
        grid_pairs.emplace_back(std::llround((similarity - low) * denominator),
                                static_cast<double>(pairs));
    Histogram histogram = histogram_on_grid(grid_pairs, denominator, target_bins);
    histogram.low_edge += low;
    return histogram;
  }
  std::vector<std::pair<long long, double>> grid_pairs;
  for (const auto& [similarity, pairs] : counts)
    if (std::isfinite(similarity) && pairs > 0)
      grid_pairs.emplace_back(std::llround(similarity * denominator), static_cast<double>(pairs));
  return histogram_on_grid(grid_pairs, denominator, target_bins);
}

// Reads markers.tsv of the study folder if there is one. A malformed file
// is a warning and leaves the panel out.
MarkerMap read_marker_map(const std::string& folder, int n_markers) {
  MarkerMap map;
  std::string why_not;
  const std::optional<std::vector<MarkerInfo>> table =
      usable_marker_table(folder, n_markers, "for the Manhattan plot", &why_not);
  if (!table) {
    map.note = why_not.empty()
                   ? "No markers.tsv in the study folder: the Manhattan plot is left out "
                     "('strataperm import' writes one)."
                   : "markers.tsv could not be used (" + why_not + "): the Manhattan plot is left out.";
    return map;
  }
  const std::vector<MarkerInfo>& info = *table;
  map.places.assign(static_cast<std::size_t>(n_markers) + 1, MarkerPlace());
  map.placed.assign(static_cast<std::size_t>(n_markers) + 1, false);
  map.ids.assign(static_cast<std::size_t>(n_markers) + 1, ".");
  for (int j = 1; j <= n_markers; ++j) {
    const MarkerInfo& m = info[static_cast<std::size_t>(j - 1)];
    if (!m.id.empty()) map.ids[static_cast<std::size_t>(j)] = m.id;
    double position = 0.0;
    if (!parse_real_field(m.position, position) || !std::isfinite(position)) continue;
    map.places[static_cast<std::size_t>(j)] = {m.chromosome, position};
    map.placed[static_cast<std::size_t>(j)] = true;
  }
  map.usable = true;
  return map;
}

MarkerMap marker_map_of(const MarkerResults& results) {
  MarkerMap map;
  int highest = 0;
  for (const MarkerResult& m : results.markers) highest = std::max(highest, m.marker);
  map.places.assign(static_cast<std::size_t>(highest) + 1, MarkerPlace());
  map.placed.assign(static_cast<std::size_t>(highest) + 1, false);
  map.ids.assign(static_cast<std::size_t>(highest) + 1, ".");
  for (const MarkerResult& m : results.markers) {
    const std::size_t j = static_cast<std::size_t>(m.marker);
    map.ids[j] = m.id;
    if (m.chromosome == "." || m.chromosome.empty() || m.position.empty()) continue;
    double position = 0.0;
    if (!parse_real_field(m.position, position) || !std::isfinite(position)) continue;
    map.places[j] = {m.chromosome, position};
    map.placed[j] = true;
    map.usable = true;
  }
  if (!map.usable)
    map.note = "No marker has a chromosome and a numeric position in the marker table: the "
               "Manhattan plot is left out.";
  return map;
}

double genomic_inflation(const std::vector<double>& p_values) {
  std::vector<double> chi2;
  for (double p : p_values)
    if (!std::isnan(p)) chi2.push_back(-2.0 * std::log(p));
  if (chi2.empty()) return NAN;
  const std::size_t middle = chi2.size() / 2;
  std::nth_element(chi2.begin(), chi2.begin() + static_cast<std::ptrdiff_t>(middle), chi2.end());
  double median = chi2[middle];
  if (chi2.size() % 2 == 0) {
    const double below =
        *std::max_element(chi2.begin(), chi2.begin() + static_cast<std::ptrdiff_t>(middle));
    median = (below + median) / 2.0;
  }
  return median / (2.0 * std::log(2.0));
}

FamilyWiseLine family_wise_line(const MarkerResults& results, double level) {
  FamilyWiseLine line;
  for (const MarkerResult& m : results.markers) {
    if (std::isnan(m.emp2)) continue;
    if (std::isnan(line.smallest_emp2) || m.emp2 < line.smallest_emp2) line.smallest_emp2 = m.emp2;
    if (std::isnan(m.p)) continue;
    if (m.emp2 <= level) {
      ++line.reaching;
      if (std::isnan(line.below) || m.p > line.below) line.below = m.p;
    } else {
      ++line.missing;
      if (std::isnan(line.above) || m.p < line.above) line.above = m.p;
    }
  }
  if (line.reaching > 0 && line.missing > 0)
    line.p = line.below > 0.0 ? std::sqrt(line.below * line.above) : line.above;
  return line;
}

std::vector<std::size_t> top_markers(const MarkerResults& results, std::size_t count) {
  std::vector<std::size_t> order(results.markers.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  const auto before = [&](std::size_t a, std::size_t b) {
    const MarkerResult& x = results.markers[a];
    const MarkerResult& y = results.markers[b];
    if (std::isnan(x.p) != std::isnan(y.p)) return std::isnan(y.p);
    if (!std::isnan(x.p) && x.p != y.p) return x.p < y.p;
    if (std::isnan(x.emp1) != std::isnan(y.emp1)) return std::isnan(y.emp1);
    if (!std::isnan(x.emp1) && x.emp1 != y.emp1) return x.emp1 < y.emp1;
    return x.marker < y.marker;
  };
  const std::size_t kept = std::min(count, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                    before);
  order.resize(kept);
  return order;
}

}  // namespace strataperm::plot
