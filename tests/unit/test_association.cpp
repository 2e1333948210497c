// Effect sizes, the F test and the family-wise P-value of a marker.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "analysis/association.hpp"
#include "numerics/distributions.hpp"

namespace strataperm {
namespace {

TEST(FTwoUpperTail, IsTheClosedFormAndKeepsItsAccuracyFarOutInTheTail) {
  struct Case {
    double f, d;
  };
  for (const Case c : {Case{0.5, 10}, Case{3.0, 97}, Case{1e3, 100}, Case{1e30, 20},
                       Case{50.0, 1997}, Case{1e-12, 1997}}) {
    const long double exact = std::pow(1.0L + 2.0L * c.f / c.d, -c.d / 2.0L);
    const double p = f_two_upper_tail(c.f, c.d);
    ASSERT_GT(p, 0.0) << c.f << " " << c.d;
    EXPECT_LT(std::fabs((p - exact) / exact), 1e-11L) << c.f << " " << c.d << " " << p;
  }
  // The smallest values come out as what they are, not as 0 or NaN.
  EXPECT_GT(f_two_upper_tail(1e150, 4.0), 0.0);
  EXPECT_LT(f_two_upper_tail(1e150, 4.0), 1e-290);
  // Only a true underflow gives 0.
  EXPECT_EQ(f_two_upper_tail(1e300, 1997.0), 0.0);
  EXPECT_EQ(f_two_upper_tail(0.0, 10.0), 1.0);
  EXPECT_EQ(f_two_upper_tail(-1e-17, 10.0), 1.0);
}

MarkerStatistics marker(double zz, double xx, double xy, double zy, double xz) {
  MarkerStatistics m;
  m.sum_zz = zz;
  m.sum_xx = xx;
  m.sum_xy = xy;
  m.sum_zy = zy;
  m.sum_xz = xz;
  m.t_observed = zz * xy * xy + xx * zy * zy - 2 * xz * zy * xy;
  return m;
}

TEST(SummarizeAssociation, LeastSquaresWithoutInterceptOnTheAdjustedCodes) {
  // x and z orthogonal: each beta is its own regression.
  const MarkerStatistics m = marker(/*zz*/ 4.0, /*xx*/ 2.0, /*xy*/ 3.0, /*zy*/ -2.0, /*xz*/ 0.0);
  const double s = 20.0;
  const AssociationSummary a = summarize_association(m, s, 10);
  ASSERT_FALSE(a.degenerate);
  EXPECT_DOUBLE_EQ(a.delta, 8.0);
  EXPECT_DOUBLE_EQ(a.beta_add, 1.5);
  EXPECT_DOUBLE_EQ(a.beta_dom, -0.5);
  const double explained = m.t_observed / a.delta;  // 1.5*3 + 0.5*2 = 5.5
  EXPECT_DOUBLE_EQ(explained, 5.5);
  const double sigma2 = (s - explained) / 10.0;
  ASSERT_TRUE(a.has_error);
  EXPECT_DOUBLE_EQ(a.se_add, std::sqrt(sigma2 / 2.0));
  EXPECT_DOUBLE_EQ(a.se_dom, std::sqrt(sigma2 / 4.0));
  EXPECT_DOUBLE_EQ(a.f_stat, explained / 2.0 / sigma2);
  EXPECT_DOUBLE_EQ(a.p, std::pow(1.0 + 2.0 * a.f_stat / 10.0, -5.0));
  EXPECT_DOUBLE_EQ(a.ratio, explained / s);
}

TEST(SummarizeAssociation, DegenerateMarkersAndMissingErrorVarianceAreNotFitted) {
  // One genotype only: z all zero after adjustment.
  EXPECT_TRUE(summarize_association(marker(0.0, 3.0, 1.0, 0.0, 0.0), 10.0, 17).degenerate);
  // x a multiple of z.
  EXPECT_TRUE(summarize_association(marker(1.0, 4.0, 1.0, 0.5, 2.0), 10.0, 17).degenerate);
  // Nearly collinear within 1e-9 of the product.
  EXPECT_TRUE(summarize_association(marker(1.0, 1.0, 1.0, 1.0, 1.0 - 1e-12), 10.0, 17).degenerate);
  EXPECT_FALSE(summarize_association(marker(1.0, 1.0, 1.0, 1.0, 0.9), 10.0, 17).degenerate);
  // A perfect fit leaves no error variance; no residual degree of freedom, no error.
  const MarkerStatistics exact = marker(1.0, 1.0, 2.0, 0.0, 0.0);
  EXPECT_FALSE(summarize_association(exact, 4.0, 17).has_error);
  EXPECT_FALSE(summarize_association(exact, 9.0, 0).has_error);
  EXPECT_FALSE(summarize_association(exact, 9.0, -1).has_error);
  EXPECT_TRUE(summarize_association(exact, 9.0, 1).has_error);
}

TEST(FamilyWisePValue, CountsTheReplicateMaximaThatReachTheRatio) {
  const std::vector<double> maxima = {-std::numeric_limits<double>::infinity(), 0.1, 0.2, 0.2, 0.5};
  EXPECT_DOUBLE_EQ(family_wise_p_value(maxima, 0.2), 4.0 / 6.0);  // 1 + three (0.2, 0.2, 0.5)
  EXPECT_DOUBLE_EQ(family_wise_p_value(maxima, 0.6), 1.0 / 6.0);
  EXPECT_DOUBLE_EQ(family_wise_p_value(maxima, -1.0), 5.0 / 6.0);  // -inf never reaches
  EXPECT_DOUBLE_EQ(family_wise_p_value(maxima, 0.0), 5.0 / 6.0);
  EXPECT_TRUE(std::isnan(family_wise_p_value(maxima, std::nan(""))));
}

}  // namespace
}  // namespace strataperm
