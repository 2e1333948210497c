#include <cmath>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

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

// A short panel holding one sentence in place of a plot.
void draw_note_panel(Document& document, double top, const std::string& note) {
  document.text(kFrameLeft - 60.0, top + 30.0, note,
                attr("class", "note") + attr("fill", "#444444"));
}

// -log10 of a P-value, with zero replaced by `floor`.
double minus_log10(double p_value, double floor) {
  return -std::log10(p_value > 0.0 ? p_value : floor);
}

// Key of a point rounded as it is written, to skip exact visual duplicates.
std::pair<long long, long long> point_key(double px, double py) {
  return {std::llround(px * 100.0), std::llround(py * 100.0)};
}

}  // namespace strataperm::plot
