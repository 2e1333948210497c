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

// Ticks in Mb along the one chromosome of `band`, at axis positions.
std::vector<svg::Tick> megabase_ticks(const ChromosomeBand& band) {
  std::vector<svg::Tick> ticks;
  const std::vector<double> values = svg::nice_ticks(band.first / 1e6, band.last / 1e6, 8);
  const double step = values.size() >= 2 ? values[1] - values[0] : 1.0;
  for (double mb : values) ticks.emplace_back(mb * 1e6 - band.first, svg::tick_label(mb, step));
  return ticks;
}

}  // namespace

double draw_manhattan_panel(Document& document, double top, const MarkerMap& map,
                            const MarkerResults& results, const PanelContext& context) {
  std::vector<MarkerPValue> table;
  for (const MarkerResult& m : results.markers)
    if (!std::isnan(m.p)) table.push_back({m.marker, m.p});
  const int r = context.n_permutations;
  const double floor = 1.0 / (2.0 * r);
  // A P of 0 in the table is below the range of doubles: at the smallest
  // nonzero P. In the results file it is a permutation P: at 1/(2R).
  double p_floor = floor;
  if (results.from_table) {
    p_floor = 0.0;
    for (const MarkerPValue& entry : table)
      if (entry.p_value > 0.0 && (p_floor == 0.0 || entry.p_value < p_floor))
        p_floor = entry.p_value;
    if (p_floor == 0.0) p_floor = 1e-300;
  }
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
    peak = std::max(peak, minus_log10(entry.p_value, p_floor));
  }
  const std::size_t m = results.markers.size();
  const int undefined = static_cast<int>(m - table.size());
  const double threshold = 0.05 / static_cast<double>(m);
  const FamilyWiseLine& line = context.family_wise;
  const bool single = bands.size() == 1 && bands.front().last > bands.front().first;

  std::vector<std::string> captions;
  std::string caption = format("%zu chromosome%s; dashed line: Bonferroni threshold 0.05 / %zu = "
                               "%.3g",
                               bands.size(), bands.size() == 1 ? "" : "s", m, threshold);
  if (results.from_table) caption += " on the asymptotic P";
  if (unplaced > 0)
    caption += format("; %d marker%s without a numeric position left out", unplaced,
                      unplaced == 1 ? "" : "s");
  if (undefined > 0)
    caption += format("; %d without P (NA) left out", undefined);
  captions.push_back(caption);
  if (results.from_table) {
    captions.push_back("points: asymptotic F(2, d) P of RESULTS.tsv; the permutation P (EMP1) "
                       "is in the QQ plot and the table of top hits");
    captions.push_back(family_wise_caption(line, r));
  } else {
    captions.push_back("points: the permutation P-values of the results file");
    captions.push_back(emp1_floor_note(r, threshold, "0.05/M"));
  }
  const double head =
      draw_panel_head(document, top, "Manhattan plot of the marker P-values", captions);
  const Frame frame = panel_frame(top, head, 40.0);
  if (bands.empty()) {
    draw_frame_message(document, frame, "No marker has both a numeric position and a P-value.");
    return panel_height(head);
  }
  const double axis_end = bands.back().offset + bands.back().width;
  const double pad = 0.01 * axis_end;
  LinearScale x{-pad, axis_end + pad, frame.left, frame.right()};
  double line_height = -std::log10(threshold);
  if (results.from_table && line.drawn())
    line_height = std::max(line_height, -std::log10(line.p));
  const double axis_top = std::max({peak, line_height, 0.5}) * 1.08;
  LinearScale y{0.0, axis_top, frame.bottom(), frame.top};

  // Axis position of a marker: centred in its band when the band is wider
  // than the chromosome's span.
  const auto axis_position = [&](const MarkerPlace& place) {
    const ChromosomeBand& band = bands[band_of.at(place.chromosome)];
    const double centring = (band.width - (band.last - band.first)) / 2.0;
    return band.offset + centring + (place.position - band.first);
  };
  std::vector<svg::Tick> x_ticks;
  std::string x_title = "chromosome (markers by position)";
  if (single) {
    x_ticks = megabase_ticks(bands.front());
    x_title = "position on chromosome " + bands.front().name + " (Mb)";
  } else {
    for (const ChromosomeBand& band : bands)
      x_ticks.emplace_back(band.offset + band.width / 2.0, band.name);
  }
  // Every other chromosome on a light background, under the grid and points.
  for (std::size_t b = 1; b < bands.size(); b += 2)
    document.rect(x(bands[b].offset), frame.top,
                  x(bands[b].offset + bands[b].width) - x(bands[b].offset), frame.height,
                  attr("fill", "#f4f4f4"));
  svg::draw_axes(document, frame, x, y, x_ticks, svg::labelled_ticks(0.0, axis_top, 6), x_title,
                 "-log10(P)");

  std::set<std::pair<long long, long long>> drawn[2];
  for (int colour = 0; colour < 2; ++colour) {
    document.open_group(attr("class", "manhattan-points") +
                        attr("fill", kChromosomeColours[colour]));
    for (const MarkerPValue& entry : table) {
      const std::size_t j = static_cast<std::size_t>(entry.marker);
      if (!map.placed[j]) continue;
      const MarkerPlace& place = map.places[j];
      if (static_cast<int>(band_of.at(place.chromosome) % 2) != colour) continue;
      const double px = x(axis_position(place)), py = y(minus_log10(entry.p_value, p_floor));
      if (!drawn[colour].insert(point_key(px, py)).second) continue;
      document.circle(px, py, 3.5, "");
    }
    document.close_group();
  }
  document.line(frame.left, y(-std::log10(threshold)), frame.right(), y(-std::log10(threshold)),
                attr("class", "threshold") + attr("stroke", kBonferroniColour) +
                    attr("stroke-dasharray", "6 4") + attr("stroke-width", "1.2"));
  if (results.from_table && line.drawn()) {
    const double py = y(-std::log10(line.p));
    document.line(frame.left, py, frame.right(), py,
                  attr("class", "family-wise") + attr("stroke", kFamilyWiseColour) +
                      attr("stroke-width", "1.5"));
    document.text(frame.right() - 4.0, py - 5.0, "EMP2 = 0.05",
                  attr("text-anchor", "end") + attr("font-size", "11") +
                      attr("fill", kFamilyWiseColour));
  }
  return panel_height(head);
}

}  // namespace strataperm::plot
