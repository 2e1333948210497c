#include "driver/plot.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "analysis/permutation_test.hpp"
#include "analysis/similarity.hpp"
#include "analysis/structure_test.hpp"
#include "driver/input.hpp"
#include "driver/options.hpp"
#include "driver/report.hpp"
#include "driver/run_context.hpp"
#include "driver/svg.hpp"

namespace strataperm {

namespace {

using svg::Document;
using svg::Frame;
using svg::LegendEntry;
using svg::LinearScale;
using Point = std::pair<double, double>;

const std::vector<OptionSpec> kPlotOptions = {
    {"--out", true, "FILE",
     "write the report to FILE (default: RESULTS.report.svg beside the results file)"},
    {"--threads", true, "N", "threads for the similarities (default: all cores)"},
    {"--help", false, "", "show this help"},
};

// Page layout, in SVG pixels.
constexpr double kPageWidth = 1000.0;
constexpr double kHeaderHeight = 64.0;
constexpr double kPanelHeight = 470.0;
constexpr double kNoteHeight = 56.0;
constexpr double kPanelHeadHeight = 82.0;  // title and captions above a frame
constexpr double kFrameLeft = 92.0;
constexpr double kFrameBottomMargin = 62.0;  // tick labels and axis title
constexpr double kLegendWidth = 250.0;       // right of the first two frames

// Colours of the curves and points.
const char* const kBarFill = "#c6dbef";
const char* const kBarStroke = "#6b9ac4";
const char* const kOneNormalColour = "#222222";
const char* const kHighComponentColour = "#d62728";
const char* const kLowComponentColour = "#2ca02c";
const char* const kMixtureColour = "#7b3fb5";
const char* const kChromosomeColours[2] = {"#1f4e8c", "#e08a2c"};

std::string attr(std::string_view name, std::string_view value) {
  return Document::attribute(name, value);
}

// printf-style formatting into a std::string.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

// ---------------------------------------------------------------- the study

// One line of the results file's P-value table.
struct MarkerPValue {
  int marker = 0;
  double p_value = 0.0;
};

// Removes trailing white space (including a carriage return).
std::string trim_right(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

// Reads the last P-value table of the results file at `path`: the lines after
// the last line starting "marker#", up to a blank line or the end, each a
// marker number in [1, n_markers] (each at most once) and a P-value in [0, 1].
// Returns false with a reason (naming the line) when the table is missing,
// empty or malformed.
bool read_p_value_table(std::FILE* file, int n_markers, std::vector<MarkerPValue>& table,
                        std::string& reason) {
  std::vector<std::string> lines;
  char* buffer = nullptr;
  std::size_t capacity = 0;
  for (ssize_t length; (length = ::getline(&buffer, &capacity, file)) >= 0;)
    lines.emplace_back(buffer, static_cast<std::size_t>(length));
  std::free(buffer);

  std::size_t header = lines.size();
  for (std::size_t k = 0; k < lines.size(); ++k)
    if (lines[k].rfind("marker#", 0) == 0) header = k;
  if (header == lines.size()) {
    reason = "it holds no 'marker#   P-value' table";
    return false;
  }
  table.clear();
  std::vector<bool> seen(static_cast<std::size_t>(n_markers) + 1, false);
  for (std::size_t k = header + 1; k < lines.size(); ++k) {
    const std::string line = trim_right(lines[k]);
    if (line.empty()) break;
    const std::string where = "line " + std::to_string(k + 1);
    char* end = nullptr;
    const long marker = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str()) {
      reason = where + " is not 'marker P-value'";
      return false;
    }
    const char* rest = end;
    const double p_value = std::strtod(rest, &end);
    if (end == rest || *end != '\0') {
      reason = where + " is not 'marker P-value'";
      return false;
    }
    if (marker < 1 || marker > n_markers) {
      reason = where + ": marker " + std::to_string(marker) + " is not from 1 to " +
               std::to_string(n_markers);
      return false;
    }
    if (!(p_value >= 0.0 && p_value <= 1.0)) {
      reason = where + ": the P-value is not in [0, 1]";
      return false;
    }
    if (seen[static_cast<std::size_t>(marker)]) {
      reason = where + ": marker " + std::to_string(marker) + " appears twice";
      return false;
    }
    seen[static_cast<std::size_t>(marker)] = true;
    table.push_back({static_cast<int>(marker), p_value});
  }
  if (table.empty()) {
    reason = "its P-value table is empty";
    return false;
  }
  return true;
}

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

// Reads markers.tsv in the current folder if there is one. A malformed file
// is reported on standard error and leaves the panel out.
MarkerMap read_marker_map(int n_markers) {
  MarkerMap map;
  if (::access("markers.tsv", F_OK) != 0) {
    map.note = "No markers.tsv in the study folder: the Manhattan plot is left out "
               "('strataperm import' writes one).";
    return map;
  }
  std::vector<MarkerInfo> info;
  std::string reason;
  if (!read_marker_table("markers.tsv", n_markers, info, reason)) {
    std::fprintf(stderr, "strataperm: markers.tsv not used for the Manhattan plot: %s\n",
                 reason.c_str());
    map.note = "markers.tsv could not be used (" + reason + "): the Manhattan plot is left out.";
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

// ------------------------------------------------------------------- panels

// The title and up to two caption lines at the top of a panel.
void draw_panel_head(Document& document, double top, const std::string& title,
                     const std::string& caption, const std::string& second_caption) {
  document.text(kFrameLeft - 60.0, top + 26.0, title,
                attr("font-size", "17") + attr("font-weight", "bold") +
                    attr("class", "panel-title"));
  if (!caption.empty())
    document.text(kFrameLeft - 60.0, top + 48.0, caption, attr("class", "caption"));
  if (!second_caption.empty())
    document.text(kFrameLeft - 60.0, top + 66.0, second_caption,
                  attr("class", "caption") + attr("font-size", "11") + attr("fill", "#444444"));
}

// The frame of a panel starting at `top`, `right_margin` from the page edge.
Frame panel_frame(double top, double right_margin) {
  Frame frame;
  frame.left = kFrameLeft;
  frame.top = top + kPanelHeadHeight;
  frame.width = kPageWidth - kFrameLeft - right_margin;
  frame.height = kPanelHeight - kPanelHeadHeight - kFrameBottomMargin;
  return frame;
}

// A sentence in the middle of a frame that has nothing to show.
void draw_frame_message(Document& document, const Frame& frame, const std::string& message) {
  document.rect(frame.left, frame.top, frame.width, frame.height,
                attr("fill", "none") + attr("stroke", "#999999"));
  document.text(frame.left + frame.width / 2.0, frame.top + frame.height / 2.0, message,
                attr("text-anchor", "middle") + attr("fill", "#555555"));
}

// Panel 1: the similarity histogram with the fitted densities, scaled to
// counts per bin, and both BIC values with the verdict in the captions.
void draw_similarity_panel(Document& document, double top, const Histogram& histogram,
                           const StructureFit& fit) {
  const std::string verdict = fit.structure ? "structure" : "no structure";
  const std::string bics = format("BIC(1) = %.6f (one normal),  BIC(2) = %.6f (two-component "
                                  "mixture);  verdict: %s",
                                  fit.bic_one, fit.bic_two, verdict.c_str());
  // The component with the larger mean is the one whose pairs are counted
  // as the same group.
  const bool first_high = !(fit.mean0 > fit.mean1);
  const double high_mean = first_high ? fit.mean1 : fit.mean0;
  const double high_variance = first_high ? fit.variance1 : fit.variance0;
  const double high_weight = first_high ? fit.weight1 : fit.weight0;
  const double low_mean = first_high ? fit.mean0 : fit.mean1;
  const double low_variance = first_high ? fit.variance0 : fit.variance1;
  const double low_weight = first_high ? fit.weight0 : fit.weight1;
  const std::string models = format(
      "one normal: mean %.4g, sd %.4g;   components: weight %.4g, mean %.4g, sd %.4g  and  "
      "weight %.4g, mean %.4g, sd %.4g",
      fit.mean, std::sqrt(fit.variance), high_weight, high_mean, std::sqrt(high_variance),
      low_weight, low_mean, std::sqrt(low_variance));
  draw_panel_head(document, top,
                  "Pairwise similarities of the individuals at the background loci", bics, models);
  const Frame frame = panel_frame(top, kLegendWidth);
  if (histogram.empty()) {
    draw_frame_message(document, frame,
                       "No two individuals differ at the background loci: no similarity to plot.");
    return;
  }

  const double high_edge =
      histogram.low_edge + histogram.bin_width * static_cast<double>(histogram.counts.size());
  const double pad = 0.04 * (high_edge - histogram.low_edge);
  LinearScale x{histogram.low_edge - pad, high_edge + pad, frame.left, frame.right()};

  // Curves: expected pairs per bin under each model.
  const double to_counts = histogram.total * histogram.bin_width;
  constexpr int kSamples = 400;
  std::vector<Point> one(kSamples + 1), high(kSamples + 1), low(kSamples + 1), sum(kSamples + 1);
  double curve_peak = 0.0;
  for (int k = 0; k <= kSamples; ++k) {
    const double s = x.domain_low + (x.domain_high - x.domain_low) * k / kSamples;
    const double d_one = to_counts * normal_density(s, fit.mean, fit.variance);
    const double d_high = to_counts * high_weight * normal_density(s, high_mean, high_variance);
    const double d_low = to_counts * low_weight * normal_density(s, low_mean, low_variance);
    one[k] = {s, d_one};
    high[k] = {s, d_high};
    low[k] = {s, d_low};
    sum[k] = {s, d_high + d_low};
    for (double d : {d_one, d_high + d_low})
      if (std::isfinite(d)) curve_peak = std::max(curve_peak, d);
  }
  const double bar_peak = *std::max_element(histogram.counts.begin(), histogram.counts.end());
  // A curve far taller than the bars (a tiny variance) is cut at the top
  // rather than flattening the histogram.
  const double y_top = 1.06 * std::max(bar_peak, std::min(curve_peak, 1.6 * bar_peak));
  LinearScale y{0.0, y_top, frame.bottom(), frame.top};

  svg::draw_axes(document, frame, x, y, svg::labelled_ticks(x.domain_low, x.domain_high, 8),
                 svg::labelled_ticks(0.0, y_top, 6), "similarity", "pairs of individuals per bin");

  document.open_group(attr("class", "histogram") + attr("fill", kBarFill) +
                      attr("stroke", kBarStroke) + attr("stroke-width", "0.6"));
  for (std::size_t b = 0; b < histogram.counts.size(); ++b) {
    const double left = x(histogram.low_edge + histogram.bin_width * static_cast<double>(b));
    const double right = x(histogram.low_edge + histogram.bin_width * static_cast<double>(b + 1));
    const double height = frame.bottom() - y(histogram.counts[b]);
    document.rect(left, frame.bottom() - height, right - left, height, attr("class", "bar"));
  }
  document.close_group();

  const auto to_page = [&](const std::vector<Point>& curve) {
    std::vector<Point> page;
    page.reserve(curve.size());
    for (const auto& [s, count] : curve) page.emplace_back(x(s), y(count));
    return page;
  };
  document.clip_rectangle("similarity-frame", frame);
  document.open_group(attr("clip-path", "url(#similarity-frame)") + attr("stroke-width", "2"));
  // The sum first, wide and light, so the components stay visible where
  // they coincide with it.
  document.polyline(to_page(sum), attr("class", "curve mixture") + attr("stroke", kMixtureColour) +
                                      attr("stroke-width", "6") + attr("stroke-opacity", "0.35"));
  document.polyline(to_page(one), attr("class", "curve one-normal") +
                                      attr("stroke", kOneNormalColour) +
                                      attr("stroke-dasharray", "6 4"));
  document.polyline(to_page(high), attr("class", "curve component-high") +
                                       attr("stroke", kHighComponentColour));
  document.polyline(to_page(low), attr("class", "curve component-low") +
                                      attr("stroke", kLowComponentColour));
  document.close_group();

  const std::string line = attr("stroke-width", "2.5");
  svg::draw_legend(
      document, frame.right() + 22.0, frame.top,
      {{LegendEntry::Kind::box, attr("fill", kBarFill) + attr("stroke", kBarStroke),
        format("pairs (%.0f in all)", histogram.total)},
       {LegendEntry::Kind::line,
        line + attr("stroke", kOneNormalColour) + attr("stroke-dasharray", "6 4"),
        "one normal"},
       {LegendEntry::Kind::line, line + attr("stroke", kHighComponentColour),
        "component, higher mean"},
       {LegendEntry::Kind::line, line + attr("stroke", kLowComponentColour),
        "component, lower mean"},
       {LegendEntry::Kind::line,
        attr("stroke-width", "6") + attr("stroke", kMixtureColour) + attr("stroke-opacity", "0.35"),
        "mixture (sum)"}});
  document.text(frame.right() + 22.0, frame.top + 118.0, "curves: expected pairs per bin",
                attr("font-size", "11") + attr("fill", "#444444"));
  document.text(frame.right() + 22.0, frame.top + 134.0, "(weight x density for components)",
                attr("font-size", "11") + attr("fill", "#444444"));
}

// -log10 of a P-value, with zero replaced by `floor`.
double minus_log10(double p_value, double floor) {
  return -std::log10(p_value > 0.0 ? p_value : floor);
}

// Key of a point rounded as it is written, to skip exact visual duplicates.
std::pair<long long, long long> point_key(double px, double py) {
  return {std::llround(px * 100.0), std::llround(py * 100.0)};
}

// Panel 2: observed against expected -log10 P under the uniform
// distribution, with the diagonal.
void draw_qq_panel(Document& document, double top, const std::vector<MarkerPValue>& table,
                   int n_permutations, double floor, int zeros) {
  std::vector<double> observed;
  observed.reserve(table.size());
  for (const MarkerPValue& entry : table) observed.push_back(entry.p_value);
  std::sort(observed.begin(), observed.end());
  const double m = static_cast<double>(observed.size());
  std::vector<Point> points;
  double peak = 0.0;
  for (std::size_t k = 0; k < observed.size(); ++k) {
    const double expected = -std::log10((static_cast<double>(k) + 0.5) / m);
    const double seen = minus_log10(observed[k], floor);
    points.emplace_back(expected, seen);
    peak = std::max({peak, expected, seen});
  }
  std::string caption = format("%zu markers, R = %d permutations; expected P of the k-th "
                               "smallest of M: (k - 0.5) / M",
                               table.size(), n_permutations);
  std::string zero_note;
  if (zeros > 0)
    zero_note = format("%d P-value%s of 0 plotted at 1/(2R) = %.6g (the smallest nonzero P a "
                       "run can give)",
                       zeros, zeros == 1 ? "" : "s", floor);
  draw_panel_head(document, top, "QQ plot of the marker P-values against the uniform distribution",
                  caption, zero_note);
  const Frame frame = panel_frame(top, kLegendWidth);
  const double axis_top = std::max(peak, 0.5) * 1.06;
  LinearScale x{0.0, axis_top, frame.left, frame.right()};
  LinearScale y{0.0, axis_top, frame.bottom(), frame.top};
  svg::draw_axes(document, frame, x, y, svg::labelled_ticks(0.0, axis_top, 8),
                 svg::labelled_ticks(0.0, axis_top, 6), "expected -log10(P)",
                 "observed -log10(P)");
  document.line(x(0.0), y(0.0), x(axis_top), y(axis_top),
                attr("class", "diagonal") + attr("stroke", "#888888") +
                    attr("stroke-width", "1.5") +
                    attr("stroke-dasharray", "5 4"));
  document.open_group(attr("class", "qq-points") + attr("fill", "#1f4e8c") +
                      attr("fill-opacity", "0.75"));
  std::set<std::pair<long long, long long>> drawn;
  for (const auto& [expected, seen] : points) {
    const double px = x(expected), py = y(seen);
    if (!drawn.insert(point_key(px, py)).second) continue;
    document.circle(px, py, 3.5, "");
  }
  document.close_group();
  svg::draw_legend(document, frame.right() + 22.0, frame.top,
                   {{LegendEntry::Kind::dot, attr("fill", "#1f4e8c"), "marker P-values"},
                    {LegendEntry::Kind::line,
                     attr("stroke", "#888888") + attr("stroke-width", "1.5") +
                         attr("stroke-dasharray", "5 4"),
                     "y = x (uniform P-values)"}});
}

// A chromosome's band on the Manhattan plot's x axis.
struct ChromosomeBand {
  std::string name;
  double first = 0.0, last = 0.0;  // smallest and largest marker position
  double offset = 0.0;             // axis position of `first`
  double width = 0.0;              // axis width of the band
};

// Bands for the chromosomes of the table's placed markers, side by side in
// their order of appearance in markers.tsv (by marker number). Each band is
// as wide as its span of positions, at least 2% of all spans together, with
// gaps of 1.5% between bands.
std::vector<ChromosomeBand> chromosome_bands(const MarkerMap& map,
                                             const std::vector<MarkerPValue>& table) {
  std::vector<bool> in_table(map.places.size(), false);
  for (const MarkerPValue& entry : table) in_table[static_cast<std::size_t>(entry.marker)] = true;
  std::vector<ChromosomeBand> bands;
  std::map<std::string, std::size_t> band_of;
  for (std::size_t j = 1; j < map.places.size(); ++j) {
    if (!map.placed[j] || !in_table[j]) continue;
    const MarkerPlace& place = map.places[j];
    const auto [it, added] = band_of.emplace(place.chromosome, bands.size());
    if (added) {
      bands.push_back({place.chromosome, place.position, place.position, 0.0, 0.0});
    } else {
      ChromosomeBand& band = bands[it->second];
      band.first = std::min(band.first, place.position);
      band.last = std::max(band.last, place.position);
    }
  }
  double spans = 0.0;
  for (const ChromosomeBand& band : bands) spans += band.last - band.first;
  const double smallest = spans > 0.0 ? 0.02 * spans : 1.0;
  const double gap = spans > 0.0 ? 0.015 * spans : 0.5;
  double offset = 0.0;
  for (ChromosomeBand& band : bands) {
    band.width = std::max(band.last - band.first, smallest);
    band.offset = offset;
    offset += band.width + gap;
  }
  return bands;
}

// Panel 3: -log10 P against genomic position, chromosomes side by side.
void draw_manhattan_panel(Document& document, double top, const MarkerMap& map,
                          const std::vector<MarkerPValue>& table, double floor) {
  const std::vector<ChromosomeBand> bands = chromosome_bands(map, table);
  std::map<std::string, std::size_t> band_of;
  for (std::size_t b = 0; b < bands.size(); ++b) band_of.emplace(bands[b].name, b);
  int unplaced = 0;
  double peak = 0.0;
  for (const MarkerPValue& entry : table) {
    if (!map.placed[static_cast<std::size_t>(entry.marker)]) {
      ++unplaced;
      continue;
    }
    peak = std::max(peak, minus_log10(entry.p_value, floor));
  }
  const double threshold = 0.05 / static_cast<double>(table.size());
  std::string caption = format("%zu chromosome%s; dashed line: Bonferroni threshold 0.05 / %zu = "
                               "%.3g",
                               bands.size(), bands.size() == 1 ? "" : "s", table.size(), threshold);
  if (unplaced > 0)
    caption += format("; %d marker%s without a numeric position left out", unplaced,
                      unplaced == 1 ? "" : "s");
  draw_panel_head(document, top, "Manhattan plot of the marker P-values", caption, "");
  const Frame frame = panel_frame(top, 40.0);
  if (bands.empty()) {
    draw_frame_message(document, frame, "No marker has a numeric position in markers.tsv.");
    return;
  }
  const double axis_end = bands.back().offset + bands.back().width;
  const double pad = 0.01 * axis_end;
  LinearScale x{-pad, axis_end + pad, frame.left, frame.right()};
  const double axis_top = std::max({peak, -std::log10(threshold), 0.5}) * 1.08;
  LinearScale y{0.0, axis_top, frame.bottom(), frame.top};

  // Axis position of a marker: centred in its band when the band is wider
  // than the chromosome's span.
  const auto axis_position = [&](const MarkerPlace& place) {
    const ChromosomeBand& band = bands[band_of.at(place.chromosome)];
    const double centring = (band.width - (band.last - band.first)) / 2.0;
    return band.offset + centring + (place.position - band.first);
  };
  std::vector<svg::Tick> chromosome_ticks;
  for (const ChromosomeBand& band : bands)
    chromosome_ticks.emplace_back(band.offset + band.width / 2.0, band.name);
  // Every other chromosome on a light background, under the grid and points.
  for (std::size_t b = 1; b < bands.size(); b += 2)
    document.rect(x(bands[b].offset), frame.top,
                  x(bands[b].offset + bands[b].width) - x(bands[b].offset), frame.height,
                  attr("fill", "#f4f4f4"));
  svg::draw_axes(document, frame, x, y, chromosome_ticks, svg::labelled_ticks(0.0, axis_top, 6),
                 "chromosome (markers by position)", "-log10(P)");

  std::set<std::pair<long long, long long>> drawn[2];
  std::vector<std::string> points[2];
  for (int colour = 0; colour < 2; ++colour) {
    document.open_group(attr("class", "manhattan-points") +
                        attr("fill", kChromosomeColours[colour]));
    for (const MarkerPValue& entry : table) {
      const std::size_t j = static_cast<std::size_t>(entry.marker);
      if (!map.placed[j]) continue;
      const MarkerPlace& place = map.places[j];
      if (static_cast<int>(band_of.at(place.chromosome) % 2) != colour) continue;
      const double px = x(axis_position(place)), py = y(minus_log10(entry.p_value, floor));
      if (!drawn[colour].insert(point_key(px, py)).second) continue;
      document.circle(px, py, 3.5, "");
    }
    document.close_group();
  }
  document.line(frame.left, y(-std::log10(threshold)), frame.right(), y(-std::log10(threshold)),
                attr("class", "threshold") + attr("stroke", "#c0392b") +
                    attr("stroke-dasharray", "6 4") + attr("stroke-width", "1.2"));
}

// A short panel holding one sentence in place of a plot.
void draw_note_panel(Document& document, double top, const std::string& note) {
  document.text(kFrameLeft - 60.0, top + 30.0, note,
                attr("class", "note") + attr("fill", "#444444"));
}

// ------------------------------------------------------------------ the run

// The current folder's absolute name ("." when it cannot be had).
std::string current_folder() {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

// Writes `text` to `path`. False with errno's message in `reason` on failure.
bool write_file(const std::string& path, const std::string& text, std::string& reason) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    reason = std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int saved = errno;
  if (std::fclose(file) != 0 || !written) {
    reason = std::strerror(written ? errno : saved);
    return false;
  }
  return true;
}

// Draws the whole report of the study in the current folder and writes it to
// `out` (absolute, or empty for the default beside the results file).
// `shown_folder` names the study folder in messages. Returns the exit status.
int plot_study(const std::string& out, int threads, const std::string& shown_folder) {
  Parameters parameters;
  SampleData data;
  try {
    read_parameter_file("parameter.txt", parameters);
  } catch (const InputError& error) {
    report_input_error(error);
    return 1;
  }

  // The P-values first: without them there is no report to make.
  std::vector<MarkerPValue> table;
  {
    std::FILE* results = std::fopen(parameters.output_file.c_str(), "r");
    if (results == nullptr) {
      if (errno == ENOENT)
        std::fprintf(stderr,
                     "strataperm: no results file %s in %s; run 'strataperm run' there first\n",
                     parameters.output_file.c_str(), shown_folder.c_str());
      else
        std::fprintf(stderr, "strataperm: cannot read the results file %s: %s\n",
                     parameters.output_file.c_str(), std::strerror(errno));
      return 1;
    }
    std::string reason;
    const bool ok = read_p_value_table(results, parameters.n_markers, table, reason);
    std::fclose(results);
    if (!ok) {
      std::fprintf(stderr, "strataperm: cannot use the results file %s: %s\n",
                   parameters.output_file.c_str(), reason.c_str());
      return 1;
    }
  }
  if (static_cast<int>(table.size()) != parameters.n_markers)
    std::fprintf(stderr,
                 "strataperm: warning: the results file %s lists %zu of the %d markers; it may "
                 "be from another run\n",
                 parameters.output_file.c_str(), table.size(), parameters.n_markers);

  try {
    read_study_data(parameters, data);
  } catch (const InputError& error) {
    report_input_error(error);
    return 1;
  }
  Histogram histogram;
  StructureFit fit;
  {
    const DistanceTable distances = compute_distances(
        data.locus_count, parameters.n_individuals, parameters.n_loci, threads);
    data = SampleData();
    std::vector<std::uint8_t> same_group;
    fit = fit_population_structure(distances, same_group);
    histogram = similarity_histogram(distances, 40);
  }

  const double floor = 1.0 / (2.0 * parameters.n_permutations);
  int zeros = 0;
  for (const MarkerPValue& entry : table) zeros += entry.p_value == 0.0 ? 1 : 0;
  const MarkerMap markers = read_marker_map(parameters.n_markers);

  const double page_height =
      kHeaderHeight + 2.0 * kPanelHeight + (markers.usable ? kPanelHeight : kNoteHeight) + 10.0;
  Document document(kPageWidth, page_height, "strataperm report: " + current_folder());
  document.text(kFrameLeft - 60.0, 30.0, "strataperm report: " + current_folder(),
                attr("font-size", "20") + attr("font-weight", "bold"));
  document.text(kFrameLeft - 60.0, 52.0,
                format("results file %s;  N = %d individuals,  L = %d background loci,  M = %d "
                       "markers,  R = %d permutations",
                       parameters.output_file.c_str(), parameters.n_individuals,
                       parameters.n_loci, parameters.n_markers, parameters.n_permutations),
                attr("fill", "#444444"));
  double top = kHeaderHeight;
  draw_similarity_panel(document, top, histogram, fit);
  top += kPanelHeight;
  draw_qq_panel(document, top, table, parameters.n_permutations, floor, zeros);
  top += kPanelHeight;
  if (markers.usable)
    draw_manhattan_panel(document, top, markers, table, floor);
  else
    draw_note_panel(document, top, markers.note);

  const std::string target =
      out.empty() ? extras_path(parameters.output_file, ".report.svg") : out;
  std::string reason;
  if (!write_file(target, document.finish(), reason)) {
    std::fprintf(stderr, "strataperm: cannot write the report %s: %s\n", target.c_str(),
                 reason.c_str());
    return 1;
  }
  std::printf("strataperm: wrote %s\n",
              out.empty() && shown_folder != "." ? (shown_folder + "/" + target).c_str()
                                                 : target.c_str());
  return 0;
}

}  // namespace

int run_plot(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args, kPlotOptions, "strataperm plot");
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm plot [options] [STUDY_DIR]\n\n"
        "Writes an SVG report of the finished run of the study in STUDY_DIR (default: the\n"
        "current folder): the histogram of the pairwise similarities with the fitted\n"
        "normal and two-component mixture and both BIC values, a QQ plot of the P-values\n"
        "read from the results file, and, when the folder holds markers.tsv, a Manhattan\n"
        "plot. The similarities are computed again from the data files; the P-values are\n"
        "those of the results file, so run 'strataperm run' first.\n\n"
        "options:\n%s",
        describe_options(kPlotOptions).c_str());
    return 0;
  }
  const std::string folder = study_folder_argument(parsed, "strataperm plot");
  const int threads = thread_count(threads_option(parsed));
  std::string out;
  if (parsed.has("--out")) {
    out = parsed.value("--out");
    if (out.empty()) throw UsageError("option '--out' needs a file name");
    // The name is the caller's, relative to where the command was started.
    if (out.front() != '/') out = current_folder() + "/" + out;
  }
  if (!enter_study_folder(folder)) return 1;
  try {
    return plot_study(out, threads, folder);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "strataperm: not enough memory for the similarities of this study\n");
    return 1;
  } catch (const std::length_error&) {
    std::fprintf(stderr, "strataperm: not enough memory for the similarities of this study\n");
    return 1;
  }
}

}  // namespace strataperm
