#include <algorithm>
#include <cmath>
#include <set>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

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

}  // namespace strataperm::plot
