#include "analysis/adaptive_rule.hpp"

#include <cmath>

#include "numerics/distributions.hpp"

namespace strataperm {

std::int64_t AdaptiveRule::next_check(std::int64_t p) const {
  if (p <= 0) return min > 0 ? min : 1;
  const auto step = static_cast<std::int64_t>(std::floor(slope * static_cast<double>(p) + init));
  return p + (step > 0 ? step : 1);
}

double AdaptiveRule::z(long markers) const {
  return normal_quantile(1.0 - beta / (2.0 * static_cast<double>(markers)));
}

bool AdaptiveRule::stops(std::int64_t twice_count, std::int64_t p, double z) const {
  const double c = 0.5 * static_cast<double>(twice_count);
  const double pd = static_cast<double>(p);
  const double p_hat = (c + 1.0) / (pd + 1.0);
  const double half_width = z * std::sqrt(p_hat * (1.0 - p_hat) / pd);
  return p_hat - half_width > alpha || p_hat + half_width < alpha;
}

}  // namespace strataperm
