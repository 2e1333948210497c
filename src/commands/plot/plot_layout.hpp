// The page of the plot report: its layout, colours and the pieces every
// panel shares. Each panel is drawn by its own function below.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "commands/plot/report_data.hpp"
#include "commands/plot/svg.hpp"

namespace strataperm::plot {

using svg::Document;
using svg::Frame;
using svg::LegendEntry;
using svg::LinearScale;
using Point = std::pair<double, double>;

// Page layout, in SVG pixels.
inline constexpr double kPageWidth = 1000.0;
inline constexpr double kHeaderHeight = 64.0;
inline constexpr double kPanelHeight = 470.0;
inline constexpr double kNoteHeight = 56.0;
inline constexpr double kPanelHeadHeight = 82.0;  // title and captions above a frame
inline constexpr double kFrameLeft = 92.0;
inline constexpr double kFrameBottomMargin = 62.0;  // tick labels and axis title
inline constexpr double kLegendWidth = 250.0;       // right of the first two frames

inline std::string attr(std::string_view name, std::string_view value) {
  return Document::attribute(name, value);
}

// printf-style formatting into a std::string.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

// The title and up to two caption lines at the top of a panel.
void draw_panel_head(Document& document, double top, const std::string& title,
                     const std::string& caption, const std::string& second_caption);
// The frame of a panel starting at `top`, `right_margin` from the page edge.
Frame panel_frame(double top, double right_margin);
// A sentence in the middle of a frame that has nothing to show.
void draw_frame_message(Document& document, const Frame& frame, const std::string& message);
// A short panel holding one sentence in place of a plot.
void draw_note_panel(Document& document, double top, const std::string& note);

// -log10 of a P-value, with zero replaced by `floor`.
double minus_log10(double p_value, double floor);
// Key of a point rounded as it is written, to skip exact visual duplicates.
std::pair<long long, long long> point_key(double px, double py);

// Panel 1: the similarity histogram with the fitted densities, scaled to
// counts per bin, and both BIC values with the verdict in the captions.
void draw_similarity_panel(Document& document, double top, const Histogram& histogram,
                           const StructureFit& fit);
// Panel 2: observed against expected -log10 P under the uniform distribution.
void draw_qq_panel(Document& document, double top, const std::vector<MarkerPValue>& table,
                   int n_permutations, double floor, int zeros);
// Panel 3: -log10 P against genomic position, chromosomes side by side.
void draw_manhattan_panel(Document& document, double top, const MarkerMap& map,
                          const std::vector<MarkerPValue>& table, double floor);

}  // namespace strataperm::plot
