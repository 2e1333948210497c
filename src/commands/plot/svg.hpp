// A small writer of self-contained SVG documents: escaped text, coordinates
// rounded to hundredths, linear scales, "nice" axis ticks and framed axes.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace strataperm::svg {

// `text` with the five XML special characters (& < > " ') replaced by
// entities, so it may stand in character data or a quoted attribute value.
// Bytes that are not well-formed UTF-8 and control characters other than tab
// and line breaks, which no XML document may hold, become '?'.
std::string escape_xml(std::string_view text);

// `value` rounded to 0.01 and written without trailing zeros ("12.5", "3",
// "-0.25"); a value that rounds to zero is written "0". Non-finite values are
// written "0" (callers skip them before drawing).
std::string format_coordinate(double value);

// Round tick values covering [low, high]: multiples of 1, 2 or 5 times a power
// of ten, about `target` of them (at least two), all within [low, high] up to
// rounding. `low` == `high` is widened to a unit interval around the value.
std::vector<double> nice_ticks(double low, double high, int target);

// A tick label for `value` on an axis whose ticks are `step` apart: as many
// decimals as the step needs ("0.25", "3", "1500"), or three significant
// digits in exponent form for magnitudes of a million and more ("2.5e+06").
std::string tick_label(double value, double step);

// Maps [domain_low, domain_high] linearly onto [range_low, range_high] (a
// degenerate domain maps everything to the middle of the range).
struct LinearScale {
  double domain_low = 0.0, domain_high = 1.0;
  double range_low = 0.0, range_high = 1.0;
  double operator()(double value) const;
};

// The rectangle of a plot's data area, in document coordinates.
struct Frame {
  double left = 0.0, top = 0.0, width = 0.0, height = 0.0;
  double right() const { return left + width; }
  double bottom() const { return top + height; }
};

// A tick: its data value and its label.
using Tick = std::pair<double, std::string>;

// An SVG document built element by element. Attribute strings passed in
// (`attributes`) are inserted verbatim after the geometry and must already be
// well formed (use attribute() to build them); text is escaped here.
class Document {
 public:
  Document(double width, double height, std::string_view title);

  // ` name="value"` with the value escaped.
  static std::string attribute(std::string_view name, std::string_view value);

  void rect(double x, double y, double width, double height, std::string_view attributes);
  void line(double x1, double y1, double x2, double y2, std::string_view attributes);
  void circle(double cx, double cy, double r, std::string_view attributes);
  // A text element at (x, y) holding `text` (escaped).
  void text(double x, double y, std::string_view text, std::string_view attributes);
  // A <path> through the points, in order; a non-finite coordinate ends the
  // current run of points and the next finite point starts a new one (so a
  // curve with gaps stays one element). Nothing is written without points.
  void polyline(const std::vector<std::pair<double, double>>& points,
                std::string_view attributes);
  // A clipPath named `id` holding the frame's rectangle, for clip-path="url(#id)".
  void clip_rectangle(std::string_view id, const Frame& frame);
  // Opens a <g> with the given attributes; close_group() ends it.
  void open_group(std::string_view attributes);
  void close_group();

  // Sets the page height, for a page whose height is known only once it is drawn.
  void set_height(double height) { height_ = height; }

  // The complete document text, with the XML declaration.
  std::string finish() const;

 private:
  std::string body_;
  double width_, height_;
  std::string title_;
};

// Draws a frame's axes: the bottom and left axis lines, tick marks and
// labels at the given data values (those outside the scales' domains are
// skipped), light grid lines across the frame for the y ticks, and the axis
// titles below and to the left (rotated). x labels that would overlap the
// previous drawn label are left out.
void draw_axes(Document& document, const Frame& frame, const LinearScale& x,
               const LinearScale& y, const std::vector<Tick>& x_ticks,
               const std::vector<Tick>& y_ticks, std::string_view x_title,
               std::string_view y_title);

// Ticks from nice_ticks() labelled by tick_label().
std::vector<Tick> labelled_ticks(double low, double high, int target);

// A legend entry: a swatch described by its SVG attributes and a label.
struct LegendEntry {
  enum class Kind { box, line, dot } kind;
  std::string attributes;  // fill / stroke attributes of the swatch
  std::string label;
};

// Draws the entries one per line downwards from (x, y), the top-left corner.
void draw_legend(Document& document, double x, double y, const std::vector<LegendEntry>& entries);

}  // namespace strataperm::svg
