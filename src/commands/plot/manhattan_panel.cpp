#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

namespace {

const char* const kChromosomeColours[2] = {"#1f4e8c", "#e08a2c"};

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

}  // namespace

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

}  // namespace strataperm::plot
