#include <algorithm>
#include <cmath>
#include <set>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

namespace {

const char* const kPColour = "#1f4e8c";
const char* const kEmp1Colour = "#f0a04b";

// Expected against observed -log10 of the sorted `values`, zeros at `floor`.
std::vector<Point> qq_points(std::vector<double> values, double floor) {
  std::sort(values.begin(), values.end());
  const double m = static_cast<double>(values.size());
  std::vector<Point> points;
  points.reserve(values.size());
  for (std::size_t k = 0; k < values.size(); ++k)
    points.emplace_back(-std::log10((static_cast<double>(k) + 0.5) / m),
                        minus_log10(values[k], floor));
  return points;
}

}  // namespace

// Panel 2: observed against expected -log10 P under the uniform
// distribution, with the diagonal. From RESULTS.tsv, P is the asymptotic P
// and EMP1 a second, lighter series; from the results file, P is the
// permutation P.
double draw_qq_panel(Document& document, double top, const MarkerResults& results,
                     const PanelContext& context) {
  const int r = context.n_permutations;
  // The smallest nonzero permutation P of the results file, and the floor of
  // the table's EMP1 (the same, or 1/(R + 1) when EMP1 counts the observed).
  const double permutation_floor = 1.0 / (2.0 * r);
  const double emp1_floor = context.emp1_plus_one ? 1.0 / (r + 1.0) : permutation_floor;
  std::vector<double> p_values, emp1;
  int zeros = 0, emp1_zeros = 0, undefined = 0;
  double smallest_positive = 0.0;
  for (const MarkerResult& m : results.markers) {
    if (std::isnan(m.p)) {
      ++undefined;
    } else {
      p_values.push_back(m.p);
      zeros += m.p == 0.0 ? 1 : 0;
      if (m.p > 0.0 && (smallest_positive == 0.0 || m.p < smallest_positive))
        smallest_positive = m.p;
    }
    if (results.from_table) {
      emp1.push_back(m.emp1);
      emp1_zeros += m.emp1 == 0.0 ? 1 : 0;
    }
  }
  // A P of 0 from the results file is a permutation P below 1/(2R); from the
  // table it is an asymptotic P below the range of doubles.
  const double p_floor = results.from_table
                             ? (smallest_positive > 0.0 ? smallest_positive : 1e-300)
                             : permutation_floor;
  const std::vector<Point> points = qq_points(p_values, p_floor);
  const std::vector<Point> emp1_points = qq_points(emp1, emp1_floor);
  const double lambda = genomic_inflation(p_values);
  const double m = static_cast<double>(results.markers.size());
  const FamilyWiseLine& line = context.family_wise;

  std::vector<std::string> captions;
  if (results.from_table) {
    captions.push_back(format("%zu markers, R = %d permutations; dark: asymptotic F(2, N-3) P; "
                              "light: permutation P (EMP1); expected P of the k-th smallest of n: "
                              "(k - 0.5) / n",
                              results.markers.size(), r));
  } else {
    captions.push_back(format("%zu markers, R = %d permutations; expected P of the k-th "
                              "smallest of M: (k - 0.5) / M",
                              results.markers.size(), r));
  }
  captions.push_back(
      format("genomic inflation \xce\xbb = median(\xcf\x87\xc2\xb2) / (2 ln 2) = %.3f, where "
             "\xcf\x87\xc2\xb2 = -2 ln P is the 2-df chi-square of each of the %zu %s "
             "(1 when P is uniform)",
             lambda, p_values.size(), results.from_table ? "asymptotic P-values" : "P-values"));
  if (results.from_table) captions.push_back(family_wise_caption(line, r));
  std::vector<std::string> notes;
  if (!results.from_table && zeros > 0)
    notes.push_back(format("%d P-value%s of 0 plotted at 1/(2R) = %.6g (the smallest nonzero P a "
                           "run can give)",
                           zeros, zeros == 1 ? "" : "s", permutation_floor));
  if (results.from_table) {
    if (undefined > 0)
      notes.push_back(format("%d marker%s without P (NA) left out of the dark series", undefined,
                             undefined == 1 ? "" : "s"));
    if (zeros > 0) notes.push_back(format("%d P of 0 plotted at the smallest nonzero P", zeros));
    if (emp1_zeros > 0)
      notes.push_back(format("%d EMP1 of 0 plotted at 1/(2R) = %.3g", emp1_zeros, emp1_floor));
    notes.push_back(emp1_floor_note(r, 0.05 / m, "0.05/M", context.emp1_plus_one));
  }
  for (const std::string& line : join_notes(notes, 140)) captions.push_back(line);
  const double head = draw_panel_head(
      document, top, "QQ plot of the marker P-values against the uniform distribution", captions);
  const Frame frame = panel_frame(top, head, kLegendWidth);

  double peak = 0.5;
  for (const auto* series : {&points, &emp1_points})
    for (const auto& [expected, seen] : *series) peak = std::max({peak, expected, seen});
  if (results.from_table && line.drawn()) peak = std::max(peak, -std::log10(line.p));
  const double axis_top = peak * 1.06;
  LinearScale x{0.0, axis_top, frame.left, frame.right()};
  LinearScale y{0.0, axis_top, frame.bottom(), frame.top};
  svg::draw_axes(document, frame, x, y, svg::labelled_ticks(0.0, axis_top, 8),
                 svg::labelled_ticks(0.0, axis_top, 6), "expected -log10(P)",
                 "observed -log10(P)");
  document.line(x(0.0), y(0.0), x(axis_top), y(axis_top),
                attr("class", "diagonal") + attr("stroke", "#888888") +
                    attr("stroke-width", "1.5") +
                    attr("stroke-dasharray", "5 4"));
  std::vector<LegendEntry> legend;
  const double floor_y = y(-std::log10(emp1_floor));
  const bool floor_shown = results.from_table && floor_y >= frame.top;
  if (results.from_table) {
    if (floor_shown)
      document.line(frame.left, floor_y, frame.right(), floor_y,
                    attr("class", "emp1-floor") + attr("stroke", kEmp1Colour) +
                        attr("stroke-width", "1") + attr("stroke-dasharray", "2 3"));
    if (line.drawn()) {
      const double py = y(-std::log10(line.p));
      document.line(frame.left, py, frame.right(), py,
                    attr("class", "family-wise") + attr("stroke", kFamilyWiseColour) +
                        attr("stroke-width", "1.5"));
    }
    document.open_group(attr("class", "qq-points-emp1") + attr("fill", kEmp1Colour) +
                        attr("fill-opacity", "0.55"));
    std::set<std::pair<long long, long long>> drawn;
    for (const auto& [expected, seen] : emp1_points) {
      const double px = x(expected), py = y(seen);
      if (!drawn.insert(point_key(px, py)).second) continue;
      document.circle(px, py, 3.0, "");
    }
    document.close_group();
  }
  document.open_group(attr("class", "qq-points") + attr("fill", kPColour) +
                      attr("fill-opacity", "0.75"));
  std::set<std::pair<long long, long long>> drawn;
  for (const auto& [expected, seen] : points) {
    const double px = x(expected), py = y(seen);
    if (!drawn.insert(point_key(px, py)).second) continue;
    document.circle(px, py, 3.5, "");
  }
  document.close_group();

  const std::string diagonal = attr("stroke", "#888888") + attr("stroke-width", "1.5") +
                               attr("stroke-dasharray", "5 4");
  if (results.from_table) {
    legend = {{LegendEntry::Kind::dot, attr("fill", kPColour), "P (asymptotic)"},
              {LegendEntry::Kind::dot, attr("fill", kEmp1Colour), "EMP1 (permutation)"},
              {LegendEntry::Kind::line, diagonal, "y = x (uniform P-values)"}};
    if (floor_shown)
      legend.push_back({LegendEntry::Kind::line,
                        attr("stroke", kEmp1Colour) + attr("stroke-dasharray", "2 3"),
                        context.emp1_plus_one ? "EMP1 floor 1/(R+1)" : "EMP1 floor 1/(2R)"});
    if (line.drawn())
      legend.push_back({LegendEntry::Kind::line,
                        attr("stroke", kFamilyWiseColour) + attr("stroke-width", "1.5"),
                        "EMP2 = 0.05 (genome-wide)"});
  } else {
    legend = {{LegendEntry::Kind::dot, attr("fill", kPColour), "marker P-values"},
              {LegendEntry::Kind::line, diagonal, "y = x (uniform P-values)"}};
  }
  svg::draw_legend(document, frame.right() + 22.0, frame.top, legend);
  return panel_height(head);
}

}  // namespace strataperm::plot
