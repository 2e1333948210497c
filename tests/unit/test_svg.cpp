// The SVG writer of the plot report: escaping, coordinates and ticks.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "commands/plot/svg.hpp"

namespace {

using namespace strataperm;

TEST(SvgText, EscapesMarkupAndDropsWhatXmlCannotHold) {
  EXPECT_EQ(svg::escape_xml("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(svg::escape_xml("caf\xc3\xa9 \xe2\x88\x92"), "caf\xc3\xa9 \xe2\x88\x92");
  EXPECT_EQ(svg::escape_xml("bad\xff byte, cut \xc3"), "bad? byte, cut ?");
  EXPECT_EQ(svg::escape_xml(std::string("bell\x07 tab\t")), "bell? tab\t");
  EXPECT_EQ(svg::Document::attribute("id", "a\"b"), " id=\"a&quot;b\"");
}

TEST(SvgNumbers, CoordinatesAreRoundedToHundredths) {
  EXPECT_EQ(svg::format_coordinate(12.5), "12.5");
  EXPECT_EQ(svg::format_coordinate(3.0), "3");
  EXPECT_EQ(svg::format_coordinate(1.23456), "1.23");
  EXPECT_EQ(svg::format_coordinate(-0.25), "-0.25");
  EXPECT_EQ(svg::format_coordinate(-0.004), "0");
  EXPECT_EQ(svg::format_coordinate(99.996), "100");
  EXPECT_EQ(svg::format_coordinate(NAN), "0");
}

TEST(SvgNumbers, TicksAreRoundAndCoverTheRange) {
  struct Case {
    double low, high;
  };
  for (const Case c : {Case{0.0, 1.0}, Case{-0.013, 0.517}, Case{0.0, 1735.0}, Case{2.5, 2.5},
                       Case{0.0, 3.47e7}, Case{1e-5, 3e-5}}) {
    const std::vector<double> ticks = svg::nice_ticks(c.low, c.high, 6);
    ASSERT_GE(ticks.size(), 2u) << c.low << " " << c.high;
    EXPECT_LE(ticks.size(), 13u);
    const double step = ticks[1] - ticks[0];
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
    EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 ||
                std::fabs(mantissa - 5) < 1e-6)
        << step;
    const double low = c.low == c.high ? c.low - 0.5 : c.low;
    const double high = c.low == c.high ? c.high + 0.5 : c.high;
    EXPECT_GE(ticks.front(), low - 1e-12);
    EXPECT_LT(ticks.front(), low + step);
    EXPECT_LE(ticks.back(), high + 1e-12);
    EXPECT_GT(ticks.back(), high - step);
  }
  EXPECT_EQ(svg::tick_label(0.30000000000000004, 0.1), "0.3");
  EXPECT_EQ(svg::tick_label(-1e-17, 0.05), "0.00");
  EXPECT_EQ(svg::tick_label(1500, 500), "1500");
  EXPECT_EQ(svg::tick_label(2.5e7, 5e6), "2.5e+07");
}

}  // namespace
