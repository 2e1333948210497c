#include <algorithm>
#include <cmath>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

double draw_panel_head(Document& document, double top, const std::string& title,
                       const std::vector<std::string>& captions) {
  document.text(kFrameLeft - 60.0, top + 26.0, title,
                attr("font-size", "17") + attr("font-weight", "bold") +
                    attr("class", "panel-title"));
  double y = top + 48.0;
  bool first = true;
  for (const std::string& caption : captions) {
    if (caption.empty()) continue;
    document.text(kFrameLeft - 60.0, y, caption,
                  first ? attr("class", "caption")
                        : attr("class", "caption") + attr("font-size", "11") +
                              attr("fill", "#444444"));
    y += 18.0;
    first = false;
  }
  // Room for at least two caption lines, so frames line up.
  return std::max(82.0, y - top + 16.0);
}

Frame panel_frame(double top, double head, double right_margin) {
  Frame frame;
  frame.left = kFrameLeft;
  frame.top = top + head;
  frame.width = kPageWidth - kFrameLeft - right_margin;
  frame.height = kFrameHeight;
  return frame;
}

std::vector<std::string> join_notes(const std::vector<std::string>& notes, std::size_t width) {
  std::vector<std::string> lines;
  for (const std::string& note : notes) {
    if (note.empty()) continue;
    if (!lines.empty() && lines.back().size() + 2 + note.size() <= width)
      lines.back() += "; " + note;
    else
      lines.push_back(note);
  }
  return lines;
}

void draw_frame_message(Document& document, const Frame& frame, const std::string& message) {
  document.rect(frame.left, frame.top, frame.width, frame.height,
                attr("fill", "none") + attr("stroke", "#999999"));
  document.text(frame.left + frame.width / 2.0, frame.top + frame.height / 2.0, message,
                attr("text-anchor", "middle") + attr("fill", "#555555"));
}

double draw_note_panel(Document& document, double top, const std::string& note) {
  document.text(kFrameLeft - 60.0, top + 30.0, note,
                attr("class", "note") + attr("fill", "#444444"));
  return kNoteHeight;
}

double minus_log10(double p_value, double floor) {
  return -std::log10(p_value > 0.0 ? p_value : floor);
}

std::pair<long long, long long> point_key(double px, double py) {
  return {std::llround(px * 100.0), std::llround(py * 100.0)};
}

std::string emp1_floor_note(int n_permutations, double level, const std::string& what,
                            bool plus_one) {
  const double floor = plus_one ? 1.0 / (n_permutations + 1.0) : 1.0 / (2.0 * n_permutations);
  if (!(level < floor)) return "";
  return format("EMP1 cannot go below %s = %.3g: R = %d is too small to reach %s = %.3g",
                plus_one ? "1/(R+1)" : "1/(2R)", floor, n_permutations, what.c_str(), level);
}

std::string emp2_floor_note(int n_permutations, double level) {
  const double floor = 1.0 / (n_permutations + 1.0);
  if (!(level < floor)) return "";
  return format("EMP2 cannot go below 1/(R + 1) = %.3g: R = %d is too small to reach %.3g",
                floor, n_permutations, level);
}

std::string family_wise_caption(const FamilyWiseLine& line, int n_permutations) {
  if (line.drawn()) {
    return format("solid line: genome-wide significance, family-wise EMP2 = 0.05, at P = %.3g: "
                  "between the largest P with EMP2 <= 0.05 (%.3g) and the smallest above (%.3g)",
                  line.p, line.below, line.above);
  }
  const std::string floor = emp2_floor_note(n_permutations, 0.05);
  if (line.reaching == 0 && line.missing == 0)
    return "no genome-wide line: no marker has both P and EMP2";
  if (line.reaching == 0)
    return format("no genome-wide line: no marker reaches EMP2 <= 0.05 (smallest EMP2 %.3g)",
                  line.smallest_emp2) +
           (floor.empty() ? "" : "; " + floor);
  return "no genome-wide line: every marker reaches EMP2 <= 0.05";
}

}  // namespace strataperm::plot
