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

// Page layout, in SVG pixels. A panel is its head (title and caption
// lines), its frame and the axis labels below the frame.
inline constexpr double kPageWidth = 1000.0;
inline constexpr double kHeaderHeight = 82.0;
inline constexpr double kNoteHeight = 56.0;
inline constexpr double kFrameLeft = 92.0;
inline constexpr double kFrameHeight = 326.0;
inline constexpr double kFrameBottomMargin = 62.0;  // tick labels and axis title
inline constexpr double kLegendWidth = 250.0;       // right of the first two frames

inline std::string attr(std::string_view name, std::string_view value) {
  return Document::attribute(name, value);
}

// printf-style formatting into a std::string.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[512];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

// The title and caption lines at the top of a panel; returns the height
// they take (the frame starts that far below `top`). Captions after the
// first are smaller and grey.
double draw_panel_head(Document& document, double top, const std::string& title,
                       const std::vector<std::string>& captions);
// The frame of a panel whose head ends `head` below `top`, `right_margin`
// from the page edge.
Frame panel_frame(double top, double head, double right_margin);
// Height of a whole panel with a head of `head`.
inline double panel_height(double head) { return head + kFrameHeight + kFrameBottomMargin; }
// The notes joined by "; " into caption lines of at most `width` characters
// (a longer note stands alone on its line); empty notes are skipped.
std::vector<std::string> join_notes(const std::vector<std::string>& notes, std::size_t width);
// A sentence in the middle of a frame that has nothing to show.
void draw_frame_message(Document& document, const Frame& frame, const std::string& message);
// A short panel holding one sentence in place of a plot; returns its height.
double draw_note_panel(Document& document, double top, const std::string& note);

// -log10 of a P-value, with zero replaced by `floor`.
double minus_log10(double p_value, double floor);
// Key of a point rounded as it is written, to skip exact visual duplicates.
std::pair<long long, long long> point_key(double px, double py);
// The note for a significance level below what EMP1 can show: "EMP1 cannot
// go below 1/(2R) = ...: R = ... is too small to reach WHAT = ...", or ""
// when `level` is at least 1/(2R); with `plus_one` (EMP1 = (c + 1)/(R + 1))
// the floor is 1/(R+1).
std::string emp1_floor_note(int n_permutations, double level, const std::string& what,
                            bool plus_one = false);
// The same for EMP2, whose smallest value is 1/(R + 1).
std::string emp2_floor_note(int n_permutations, double level);
// The caption sentence for the family-wise line (where it is drawn, or why
// there is none).
std::string family_wise_caption(const FamilyWiseLine& line, int n_permutations);

// The style of the family-wise line and of the Bonferroni line.
inline constexpr const char* kFamilyWiseColour = "#6a1b9a";
inline constexpr const char* kBonferroniColour = "#c0392b";

// What the panels draw besides the data.
struct PanelContext {
  int n_permutations = 0;
  bool emp1_plus_one = false;  // RESULTS.tsv's EMP1 is (c + 1)/(R + 1)
  FamilyWiseLine family_wise;  // from RESULTS.tsv only
};

// Panel 1: the similarity histogram on a log count axis with the fitted
// densities, scaled to counts per bin, and both BIC values with the verdict
// in the captions. Returns the panel's height.
double draw_similarity_panel(Document& document, double top, const Histogram& histogram,
                             const StructureFit& fit);
// Panel 2: observed against expected -log10 P under the uniform
// distribution, with EMP1 beside P when the results come from RESULTS.tsv.
double draw_qq_panel(Document& document, double top, const MarkerResults& results,
                     const PanelContext& context);
// Panel 3: -log10 P against genomic position, chromosomes side by side, or
// positions in Mb along a single chromosome.
double draw_manhattan_panel(Document& document, double top, const MarkerMap& map,
                            const MarkerResults& results, const PanelContext& context);
// Panel 4: the markers with the smallest P in a table.
double draw_top_hits_panel(Document& document, double top, const MarkerResults& results,
                           std::size_t count);

}  // namespace strataperm::plot
