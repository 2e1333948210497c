#include "analysis/association.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/distributions.hpp"

namespace strataperm {

double association_delta(double sum_xx, double sum_zz, double sum_xz) {
  return sum_xx * sum_zz - sum_xz * sum_xz;
}

bool is_degenerate(double delta, double sum_xx, double sum_zz) {
  return delta <= 1e-9 * sum_xx * sum_zz;
}

AssociationSummary summarize_association(const MarkerStatistics& m, double sum_y2,
                                         int residual_df) {
  AssociationSummary s;
  s.delta = association_delta(m.sum_xx, m.sum_zz, m.sum_xz);
  s.degenerate = is_degenerate(s.delta, m.sum_xx, m.sum_zz);
  if (s.degenerate) return s;
  s.beta_add = (m.sum_zz * m.sum_xy - m.sum_xz * m.sum_zy) / s.delta;
  s.beta_dom = (m.sum_xx * m.sum_zy - m.sum_xz * m.sum_xy) / s.delta;
  s.ratio = m.t_observed / (s.delta * sum_y2);
  const double d = static_cast<double>(residual_df);
  const double sigma2 = (sum_y2 - m.t_observed / s.delta) / d;
  if (residual_df > 0 && sigma2 > 0.0) {
    s.has_error = true;
    s.se_add = std::sqrt(sigma2 * m.sum_zz / s.delta);
    s.se_dom = std::sqrt(sigma2 * m.sum_xx / s.delta);
    s.f_stat = m.t_observed / s.delta / 2.0 / sigma2;
    s.p = f_two_upper_tail(s.f_stat, d);
  }
  return s;
}

double family_wise_p_value(const std::vector<double>& sorted_maxima, double ratio) {
  if (std::isnan(ratio)) return std::numeric_limits<double>::quiet_NaN();
  const auto first_not_below = std::lower_bound(sorted_maxima.begin(), sorted_maxima.end(), ratio);
  const double at_least = static_cast<double>(sorted_maxima.end() - first_not_below);
  return (1.0 + at_least) / (static_cast<double>(sorted_maxima.size()) + 1.0);
}

}  // namespace strataperm
