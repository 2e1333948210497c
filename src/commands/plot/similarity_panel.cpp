#include <algorithm>
#include <cmath>

#include "commands/plot/plot_layout.hpp"

namespace strataperm::plot {

namespace {

const char* const kBarFill = "#c6dbef";
const char* const kBarStroke = "#6b9ac4";
const char* const kOneNormalColour = "#222222";
const char* const kHighComponentColour = "#d62728";
const char* const kLowComponentColour = "#2ca02c";
const char* const kMixtureColour = "#7b3fb5";

// The count axis: log10(1 + pairs), so empty bins sit on the baseline and a
// component with a small share of the pairs still rises decades above it.
double count_axis(double pairs) { return std::log10(1.0 + std::max(pairs, 0.0)); }

// Ticks of the count axis up to `top` pairs, labelled by the count: 0 and
// the powers of ten (1 left out when it would crowd 0), with 2 and 5 times
// them when there are few decades.
std::vector<svg::Tick> count_ticks(double top) {
  std::vector<double> counts = {0.0};
  int decades = 0;
  for (double c = 1.0; c <= top; c *= 10.0) ++decades;
  for (double c = 1.0; c <= top; c *= 10.0) {
    if (c > 1.0 || decades <= 3) counts.push_back(c);
    if (decades <= 3)
      for (double m : {2.0, 5.0})
        if (m * c <= top) counts.push_back(m * c);
  }
  std::sort(counts.begin(), counts.end());
  std::vector<svg::Tick> ticks;
  for (double c : counts) ticks.emplace_back(count_axis(c), svg::tick_label(c, 1.0));
  return ticks;
}

}  // namespace

double draw_similarity_panel(Document& document, double top, const Histogram& histogram,
                             const StructureFit& fit) {
  const std::string verdict = fit.structure ? "structure" : "no structure";
  const std::string bics = format("BIC(1) = %.6f (one normal),  BIC(2) = %.6f (two-component "
                                  "mixture);  verdict: %s",
                                  fit.bic_one, fit.bic_two, verdict.c_str());
  // The component with the larger mean is the one whose pairs are counted
  // as the same group.
  const bool first_high = !(fit.mean0 > fit.mean1);
  const double high_mean = first_high ? fit.mean1 : fit.mean0;
  const double high_variance = first_high ? fit.variance1 : fit.variance0;
  const double high_weight = first_high ? fit.weight1 : fit.weight0;
  const double low_mean = first_high ? fit.mean0 : fit.mean1;
  const double low_variance = first_high ? fit.variance0 : fit.variance1;
  const double low_weight = first_high ? fit.weight0 : fit.weight1;
  const std::string models = format(
      "one normal: mean %.4g, sd %.4g;   components: weight %.4g, mean %.4g, sd %.4g  and  "
      "weight %.4g, mean %.4g, sd %.4g",
      fit.mean, std::sqrt(fit.variance), high_weight, high_mean, std::sqrt(high_variance),
      low_weight, low_mean, std::sqrt(low_variance));
  const double head = draw_panel_head(
      document, top, "Pairwise similarities of the individuals at the background loci",
      {bics, models,
       "count axis on a log scale, log10(1 + pairs), so the smaller component shows beside the "
       "larger; curves: expected pairs per bin under each fit"});
  const Frame frame = panel_frame(top, head, kLegendWidth);
  if (histogram.empty()) {
    draw_frame_message(document, frame,
                       "No two individuals differ at the background loci: no similarity to plot.");
    return panel_height(head);
  }

  const double high_edge =
      histogram.low_edge + histogram.bin_width * static_cast<double>(histogram.counts.size());
  const double pad = 0.04 * (high_edge - histogram.low_edge);
  LinearScale x{histogram.low_edge - pad, high_edge + pad, frame.left, frame.right()};

  // Curves: expected pairs per bin under each model.
  const double to_counts = histogram.total * histogram.bin_width;
  constexpr int kSamples = 400;
  std::vector<Point> one(kSamples + 1), high(kSamples + 1), low(kSamples + 1), sum(kSamples + 1);
  double curve_peak = 0.0;
  for (int k = 0; k <= kSamples; ++k) {
    const double s = x.domain_low + (x.domain_high - x.domain_low) * k / kSamples;
    const double d_one = to_counts * normal_density(s, fit.mean, fit.variance);
    const double d_high = to_counts * high_weight * normal_density(s, high_mean, high_variance);
    const double d_low = to_counts * low_weight * normal_density(s, low_mean, low_variance);
    one[k] = {s, d_one};
    high[k] = {s, d_high};
    low[k] = {s, d_low};
    sum[k] = {s, d_high + d_low};
    for (double d : {d_one, d_high + d_low})
      if (std::isfinite(d)) curve_peak = std::max(curve_peak, d);
  }
  const double bar_peak = *std::max_element(histogram.counts.begin(), histogram.counts.end());
  // A curve far taller than the bars (a tiny variance) is cut at the top
  // rather than flattening the histogram.
  const double count_top = std::max(bar_peak, std::min(curve_peak, 1.6 * bar_peak));
  const double y_top = 1.04 * count_axis(count_top);
  LinearScale y{0.0, y_top, frame.bottom(), frame.top};

  svg::draw_axes(document, frame, x, y, svg::labelled_ticks(x.domain_low, x.domain_high, 8),
                 count_ticks(count_top), "similarity", "pairs of individuals per bin (log scale)");

  document.open_group(attr("class", "histogram") + attr("fill", kBarFill) +
                      attr("stroke", kBarStroke) + attr("stroke-width", "0.6"));
  for (std::size_t b = 0; b < histogram.counts.size(); ++b) {
    const double left = x(histogram.low_edge + histogram.bin_width * static_cast<double>(b));
    const double right = x(histogram.low_edge + histogram.bin_width * static_cast<double>(b + 1));
    const double height = frame.bottom() - y(count_axis(histogram.counts[b]));
    document.rect(left, frame.bottom() - height, right - left, height, attr("class", "bar"));
  }
  document.close_group();

  const auto to_page = [&](const std::vector<Point>& curve) {
    std::vector<Point> page;
    page.reserve(curve.size());
    for (const auto& [s, count] : curve) page.emplace_back(x(s), y(count_axis(count)));
    return page;
  };
  document.clip_rectangle("similarity-frame", frame);
  document.open_group(attr("clip-path", "url(#similarity-frame)") + attr("stroke-width", "2"));
  // The sum first, wide and light, so the components stay visible where
  // they coincide with it.
  document.polyline(to_page(sum), attr("class", "curve mixture") + attr("stroke", kMixtureColour) +
                                      attr("stroke-width", "6") + attr("stroke-opacity", "0.35"));
  document.polyline(to_page(one), attr("class", "curve one-normal") +
                                      attr("stroke", kOneNormalColour) +
                                      attr("stroke-dasharray", "6 4"));
  document.polyline(to_page(high), attr("class", "curve component-high") +
                                       attr("stroke", kHighComponentColour));
  document.polyline(to_page(low), attr("class", "curve component-low") +
                                      attr("stroke", kLowComponentColour));
  document.close_group();

  const std::string line = attr("stroke-width", "2.5");
  svg::draw_legend(
      document, frame.right() + 22.0, frame.top,
      {{LegendEntry::Kind::box, attr("fill", kBarFill) + attr("stroke", kBarStroke),
        format("pairs (%.0f in all)", histogram.total)},
       {LegendEntry::Kind::line,
        line + attr("stroke", kOneNormalColour) + attr("stroke-dasharray", "6 4"),
        "one normal"},
       {LegendEntry::Kind::line, line + attr("stroke", kHighComponentColour),
        "component, higher mean"},
       {LegendEntry::Kind::line, line + attr("stroke", kLowComponentColour),
        "component, lower mean"},
       {LegendEntry::Kind::line,
        attr("stroke-width", "6") + attr("stroke", kMixtureColour) + attr("stroke-opacity", "0.35"),
        "mixture (sum)"}});
  document.text(frame.right() + 22.0, frame.top + 118.0, "curves: expected pairs per bin",
                attr("font-size", "11") + attr("fill", "#444444"));
  document.text(frame.right() + 22.0, frame.top + 134.0, "(weight x density for components)",
                attr("font-size", "11") + attr("fill", "#444444"));
  return panel_height(head);
}

}  // namespace strataperm::plot
