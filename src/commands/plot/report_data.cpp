#include "commands/plot/report_data.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "core/errors.hpp"
#include "core/study.hpp"
#include "io/marker_table.hpp"
#include "io/record_reader.hpp"

namespace strataperm::plot {


// Removes trailing white space (including a carriage return).
std::string trim_right(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// Reads the last P-value table of the results file at `path`: the lines after
// the last line starting "marker#", up to a blank line or the end, each a
// marker number in [1, n_markers] (each at most once) and a P-value in [0, 1].
// Throws InputError "PATH: REASON" (naming the line) when the file cannot be
// read or the table is missing, empty or malformed.
std::vector<MarkerPValue> read_p_value_table(const std::string& path, int n_markers) {
  std::vector<std::string> lines;
  {
    RecordReader reader(path);
    for (std::string line; reader.next_line(line);) lines.push_back(std::move(line));
  }
  std::vector<MarkerPValue> table;
  const auto fail = [&](const std::string& reason) { throw InputError(path + ": " + reason); };

  std::size_t header = lines.size();
  for (std::size_t k = 0; k < lines.size(); ++k)
    if (lines[k].rfind("marker#", 0) == 0) header = k;
  if (header == lines.size()) fail("it holds no 'marker#   P-value' table");
  std::vector<bool> seen(static_cast<std::size_t>(n_markers) + 1, false);
  for (std::size_t k = header + 1; k < lines.size(); ++k) {
    const std::string line = trim_right(lines[k]);
    if (line.empty()) break;
    const std::string where = "line " + std::to_string(k + 1);
    char* end = nullptr;
    const long marker = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str()) fail(where + " is not 'marker P-value'");
    const char* rest = end;
    const double p_value = std::strtod(rest, &end);
    if (end == rest || *end != '\0') fail(where + " is not 'marker P-value'");
    if (marker < 1 || marker > n_markers) fail(where + ": marker " + std::to_string(marker) + " is not from 1 to " +
               std::to_string(n_markers));
    if (!(p_value >= 0.0 && p_value <= 1.0)) fail(where + ": the P-value is not in [0, 1]");
    if (seen[static_cast<std::size_t>(marker)]) fail(where + ": marker " + std::to_string(marker) + " appears twice");
    seen[static_cast<std::size_t>(marker)] = true;
    table.push_back({static_cast<int>(marker), p_value});
  }
  if (table.empty()) fail("its P-value table is empty");
  return table;
}


// Bins the table's similarities into about `target_bins` bins. Empty when no
// two individuals differ (every similarity is then undefined).
Histogram similarity_histogram(const DistanceTable& table, int target_bins) {
  Histogram histogram;
  if (!(table.max_distance > 0.0)) return histogram;
  // Grid position of a distance: max - d, a whole number.
  const auto grid = [&](std::size_t v) {
    return std::llround(table.max_distance - table.distance[v]);
  };
  long long low = 0, high = 0;
  bool any = false;
  for (std::size_t v = 0; v < table.distance.size(); ++v) {
    if (table.pairs[v] <= 0) continue;
    const long long g = grid(v);
    low = any ? std::min(low, g) : g;
    high = any ? std::max(high, g) : g;
    any = true;
  }
  if (!any) return histogram;
  const long long span = high - low + 1;
  const long long per_bin = std::max<long long>(1, (span + target_bins - 1) / target_bins);
  histogram.counts.assign(static_cast<std::size_t>((span + per_bin - 1) / per_bin), 0.0);
  for (std::size_t v = 0; v < table.distance.size(); ++v) {
    if (table.pairs[v] <= 0) continue;
    const double unordered = static_cast<double>(table.pairs[v]) / 2.0;
    histogram.counts[static_cast<std::size_t>((grid(v) - low) / per_bin)] += unordered;
    histogram.total += unordered;
  }
  histogram.low_edge = (static_cast<double>(low) - 0.5) / table.max_distance;
  histogram.bin_width = static_cast<double>(per_bin) / table.max_distance;
  return histogram;
}



// Reads markers.tsv of the study folder if there is one. A malformed file
// is a warning and leaves the panel out.
MarkerMap read_marker_map(const std::string& folder, int n_markers) {
  MarkerMap map;
  const std::string path = path_in_study(folder, "markers.tsv");
  if (::access(path.c_str(), F_OK) != 0) {
    map.note = "No markers.tsv in the study folder: the Manhattan plot is left out "
               "('strataperm import' writes one).";
    return map;
  }
  std::vector<MarkerInfo> info;
  try {
    info = read_marker_table(path, n_markers);
  } catch (const InputError& error) {
    warn(std::string("markers.tsv not used for the Manhattan plot: ") + error.what());
    map.note = std::string("markers.tsv could not be used (") + error.what() +
               "): the Manhattan plot is left out.";
    return map;
  }
  map.places.assign(static_cast<std::size_t>(n_markers) + 1, MarkerPlace());
  map.placed.assign(static_cast<std::size_t>(n_markers) + 1, false);
  for (int j = 1; j <= n_markers; ++j) {
    const MarkerInfo& m = info[static_cast<std::size_t>(j - 1)];
    char* end = nullptr;
    const double position = std::strtod(m.position.c_str(), &end);
    if (m.position.empty() || *end != '\0' || !std::isfinite(position)) continue;
    map.places[static_cast<std::size_t>(j)] = {m.chromosome, position};
    map.placed[static_cast<std::size_t>(j)] = true;
  }
  map.usable = true;
  return map;
}

}  // namespace strataperm::plot
