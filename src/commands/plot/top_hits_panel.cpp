#include <cmath>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

namespace {

// A real as the table shows it: "%.3g", or NA.
std::string real_cell(double value, const char* pattern = "%.3g") {
  return std::isnan(value) ? std::string("NA") : format(pattern, value);
}

// `text` cut to `width` characters, with "..." at the end when cut.
std::string fit_cell(const std::string& text, std::size_t width) {
  return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

std::string place_cell(const MarkerResult& m) {
  if (m.chromosome == "." && m.position == ".") return ".";
  return fit_cell(m.chromosome + ":" + m.position, 22);
}

}  // namespace

// Panel 4: the markers with the smallest P, one row each.
double draw_top_hits_panel(Document& document, double top, const MarkerResults& results,
                           std::size_t count) {
  const std::vector<std::size_t> order = top_markers(results, count);
  const std::string title =
      format("Top hits: the %zu marker%s with the smallest P", order.size(),
             order.size() == 1 ? "" : "s");
  const std::string caption =
      results.from_table
          ? "P: asymptotic F(2, N-3) P; EMP1: permutation P; EMP2: family-wise (max(T)) P; "
            "BETA_ADD, BETA_DOM: additive and dominance effects; ties by EMP1"
          : "P: the permutation P-value of the results file (run 'strataperm run' for the "
            "asymptotic P, EMP2 and the effects)";
  const double head = draw_panel_head(document, top, title, {caption});

  struct Column {
    const char* name;
    double x;  // left edge, or right edge when `right`
    bool right;
  };
  std::vector<Column> columns;
  if (results.from_table) {
    columns = {{"#", 58, true},        {"ID", 74, false},       {"CHROM:POS", 300, false},
               {"P", 530, true},       {"EMP1", 610, true},     {"EMP2", 690, true},
               {"BETA_ADD", 800, true}, {"BETA_DOM", 910, true}};
  } else {
    columns = {{"#", 58, true},         {"marker", 140, true}, {"ID", 170, false},
               {"CHROM:POS", 420, false}, {"P", 680, true}};
  }
  const double row_height = 18.0;
  const auto cell_attributes = [](const Column& c) {
    return c.right ? attr("text-anchor", "end") : std::string();
  };
  double y = top + head + 4.0;
  for (const Column& c : columns)
    document.text(c.x, y, c.name, cell_attributes(c) + attr("font-weight", "bold"));
  document.line(kFrameLeft - 60.0, y + 6.0, kPageWidth - 40.0, y + 6.0,
                attr("stroke", "#999999"));
  document.open_group(attr("class", "top-hits"));
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    const MarkerResult& m = results.markers[order[rank]];
    y += row_height;
    std::vector<std::string> cells;
    if (results.from_table) {
      cells = {std::to_string(rank + 1), fit_cell(m.id, 30), place_cell(m), real_cell(m.p),
               real_cell(m.emp1, "%.4g"), real_cell(m.emp2, "%.4g"), real_cell(m.beta_add, "%.4g"),
               real_cell(m.beta_dom, "%.4g")};
    } else {
      cells = {std::to_string(rank + 1), std::to_string(m.marker), fit_cell(m.id, 30),
               place_cell(m), real_cell(m.p, "%.5f")};
    }
    if (rank % 2 == 1)
      document.rect(kFrameLeft - 60.0, y - 13.0, kPageWidth - 40.0 - (kFrameLeft - 60.0),
                    row_height, attr("fill", "#f4f4f4"));
    for (std::size_t k = 0; k < columns.size(); ++k)
      document.text(columns[k].x, y, cells[k],
                    cell_attributes(columns[k]) + (std::string(columns[k].name) == "ID"
                                                       ? attr("class", "top-hit-id")
                                                       : std::string()));
  }
  document.close_group();
  return head + row_height * (static_cast<double>(order.size()) + 1.0) + 24.0;
}

}  // namespace strataperm::plot
