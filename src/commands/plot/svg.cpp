#include "commands/plot/svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace strataperm::svg {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] that encodes a
// character XML allows, or 0 when there is none.
std::size_t valid_utf8_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  char32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) { length = 2; code = lead & 0x1F; }
  else if (lead >= 0xE0 && lead <= 0xEF) { length = 3; code = lead & 0x0F; }
  else if (lead >= 0xF0 && lead <= 0xF4) { length = 4; code = lead & 0x07; }
  else return 0;
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  const char32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
  if (code < smallest || code > 0x10FFFF) return 0;          // overlong or too large
  if (code >= 0xD800 && code <= 0xDFFF) return 0;            // surrogates
  if (code == 0xFFFE || code == 0xFFFF) return 0;            // not XML characters
  return length;
}

}  // namespace

std::string escape_xml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: {
        // Control characters other than tab and line breaks, and bytes that
        // are not UTF-8, have no place in an XML document: they become '?'.
        const std::size_t length = valid_utf8_length(text, i);
        if (length == 0 ||
            (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')) {
          out += '?';
          ++i;
        } else {
          out.append(text.substr(i, length));
          i += length;
        }
        continue;
      }
    }
    ++i;
  }
  return out;
}

std::string format_coordinate(double value) {
  if (!std::isfinite(value)) return "0";
  const double rounded = std::round(value * 100.0) / 100.0;
  if (std::fabs(rounded) < 0.005) return "0";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", rounded);
  std::string text = buffer;
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

std::vector<double> nice_ticks(double low, double high, int target) {
  if (!std::isfinite(low) || !std::isfinite(high)) return {};
  if (high < low) std::swap(low, high);
  if (high == low) {
    low -= 0.5;
    high += 0.5;
  }
  target = std::max(target, 2);
  const double raw = (high - low) / target;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double residual = raw / magnitude;
  const double step =
      (residual < 1.5 ? 1.0 : residual < 3.0 ? 2.0 : residual < 7.0 ? 5.0 : 10.0) * magnitude;
  const double tolerance = step * 1e-9;
  std::vector<double> ticks;
  for (double k = std::ceil(low / step - 1e-9);; k += 1.0) {
    double value = k * step;
    if (value > high + tolerance) break;
    if (std::fabs(value) < tolerance) value = 0.0;
    ticks.push_back(value);
  }
  return ticks;
}

std::string tick_label(double value, double step) {
  char buffer[64];
  step = std::fabs(step);
  if (step > 0.0 && std::fabs(value) < step * 1e-9) value = 0.0;
  if (std::fabs(value) >= 1e6) {
    std::snprintf(buffer, sizeof buffer, "%.3g", value);
    return buffer;
  }
  int decimals = 0;
  if (step > 0.0 && std::isfinite(step)) {
    for (double scaled = step; decimals < 12; ++decimals, scaled *= 10.0)
      if (std::fabs(scaled - std::nearbyint(scaled)) < 1e-6 * std::max(1.0, scaled)) break;
  }
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

double LinearScale::operator()(double value) const {
  if (domain_high == domain_low) return (range_low + range_high) / 2.0;
  return range_low + (value - domain_low) / (domain_high - domain_low) * (range_high - range_low);
}

Document::Document(double width, double height, std::string_view title)
    : width_(width), height_(height), title_(title) {}

std::string Document::attribute(std::string_view name, std::string_view value) {
  std::string text(" ");
  text.append(name);
  text.append("=\"");
  text.append(escape_xml(value));
  text.push_back('"');
  return text;
}

void Document::rect(double x, double y, double width, double height,
                    std::string_view attributes) {
  body_ += "<rect x=\"" + format_coordinate(x) + "\" y=\"" + format_coordinate(y) +
           "\" width=\"" + format_coordinate(std::max(width, 0.0)) + "\" height=\"" +
           format_coordinate(std::max(height, 0.0)) + "\"" + std::string(attributes) + "/>\n";
}

void Document::line(double x1, double y1, double x2, double y2, std::string_view attributes) {
  body_ += "<line x1=\"" + format_coordinate(x1) + "\" y1=\"" + format_coordinate(y1) +
           "\" x2=\"" + format_coordinate(x2) + "\" y2=\"" + format_coordinate(y2) + "\"" +
           std::string(attributes) + "/>\n";
}

void Document::circle(double cx, double cy, double r, std::string_view attributes) {
  body_ += "<circle cx=\"" + format_coordinate(cx) + "\" cy=\"" + format_coordinate(cy) +
           "\" r=\"" + format_coordinate(r) + "\"" + std::string(attributes) + "/>\n";
}

void Document::text(double x, double y, std::string_view text, std::string_view attributes) {
  body_ += "<text x=\"" + format_coordinate(x) + "\" y=\"" + format_coordinate(y) + "\"" +
           std::string(attributes) + ">" + escape_xml(text) + "</text>\n";
}

void Document::polyline(const std::vector<std::pair<double, double>>& points,
                        std::string_view attributes) {
  std::string data;
  bool in_run = false;
  bool after_move = false;
  for (const auto& [x, y] : points) {
    if (!std::isfinite(x) || !std::isfinite(y)) {
      in_run = false;
      continue;
    }
    const std::string pair = format_coordinate(x) + "," + format_coordinate(y);
    if (!in_run) {
      if (!data.empty()) data += ' ';
      data += "M" + pair;
      in_run = true;
      after_move = true;
    } else {
      data += after_move ? " L" : " ";
      data += pair;
      after_move = false;
    }
  }
  if (data.empty()) return;
  body_ += "<path d=\"" + data + "\" fill=\"none\"" + std::string(attributes) + "/>\n";
}

void Document::clip_rectangle(std::string_view id, const Frame& frame) {
  body_ += "<clipPath" + attribute("id", id) + ">";
  body_ += "<rect x=\"" + format_coordinate(frame.left) + "\" y=\"" +
           format_coordinate(frame.top) + "\" width=\"" + format_coordinate(frame.width) +
           "\" height=\"" + format_coordinate(frame.height) + "\"/></clipPath>\n";
}

void Document::open_group(std::string_view attributes) {
  body_ += "<g" + std::string(attributes) + ">\n";
}

void Document::close_group() { body_ += "</g>\n"; }

std::string Document::finish() const {
  const std::string w = format_coordinate(width_), h = format_coordinate(height_);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
         "\" viewBox=\"0 0 " + w + " " + h +
         "\" font-family=\"DejaVu Sans, Helvetica, Arial, sans-serif\" font-size=\"12\">\n"
         "<title>" + escape_xml(title_) + "</title>\n"
         "<rect x=\"0\" y=\"0\" width=\"" + w + "\" height=\"" + h + "\" fill=\"white\"/>\n" +
         body_ + "</svg>\n";
}

namespace {

// Rough width in pixels of a 12-pixel sans-serif label.
double label_width(std::string_view text) { return 7.0 * static_cast<double>(text.size()); }

bool within(double value, const LinearScale& scale) {
  const double low = std::min(scale.domain_low, scale.domain_high);
  const double high = std::max(scale.domain_low, scale.domain_high);
  const double slack = (high - low) * 1e-9;
  return value >= low - slack && value <= high + slack;
}

}  // namespace

void draw_axes(Document& document, const Frame& frame, const LinearScale& x,
               const LinearScale& y, const std::vector<Tick>& x_ticks,
               const std::vector<Tick>& y_ticks, std::string_view x_title,
               std::string_view y_title) {
  const std::string grid = Document::attribute("stroke", "#e3e3e3");
  const std::string ink = Document::attribute("stroke", "#333333");
  for (const auto& [value, label] : y_ticks) {
    if (!within(value, y)) continue;
    const double py = y(value);
    document.line(frame.left, py, frame.right(), py, grid);
    document.line(frame.left - 5.0, py, frame.left, py, ink);
    document.text(frame.left - 8.0, py + 4.0, label, Document::attribute("text-anchor", "end"));
  }
  double last_right = -1e300;
  for (const auto& [value, label] : x_ticks) {
    if (!within(value, x)) continue;
    const double px = x(value);
    document.line(px, frame.bottom(), px, frame.bottom() + 5.0, ink);
    const double half = label_width(label) / 2.0;
    if (px - half < last_right + 6.0) continue;
    document.text(px, frame.bottom() + 19.0, label, Document::attribute("text-anchor", "middle"));
    last_right = px + half;
  }
  document.line(frame.left, frame.bottom(), frame.right(), frame.bottom(), ink);
  document.line(frame.left, frame.top, frame.left, frame.bottom(), ink);
  document.text(frame.left + frame.width / 2.0, frame.bottom() + 40.0, x_title,
                Document::attribute("text-anchor", "middle"));
  const std::string rotation = "translate(" + format_coordinate(frame.left - 62.0) + "," +
                               format_coordinate(frame.top + frame.height / 2.0) + ") rotate(-90)";
  document.text(0.0, 0.0, y_title,
                Document::attribute("text-anchor", "middle") +
                    Document::attribute("transform", rotation));
}

std::vector<Tick> labelled_ticks(double low, double high, int target) {
  const std::vector<double> values = nice_ticks(low, high, target);
  const double step = values.size() >= 2 ? values[1] - values[0] : 1.0;
  std::vector<Tick> ticks;
  for (double v : values) ticks.emplace_back(v, tick_label(v, step));
  return ticks;
}

void draw_legend(Document& document, double x, double y, const std::vector<LegendEntry>& entries) {
  double row = y;
  for (const LegendEntry& entry : entries) {
    const double middle = row + 8.0;
    switch (entry.kind) {
      case LegendEntry::Kind::box:
        document.rect(x, middle - 5.0, 20.0, 10.0, entry.attributes);
        break;
      case LegendEntry::Kind::line:
        document.line(x, middle, x + 20.0, middle, entry.attributes);
        break;
      case LegendEntry::Kind::dot:
        document.circle(x + 10.0, middle, 3.5, entry.attributes);
        break;
    }
    document.text(x + 28.0, middle + 4.0, entry.label, "");
    row += 20.0;
  }
}

}  // namespace strataperm::svg
