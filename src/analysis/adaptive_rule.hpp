// When a marker stops taking replicates in an adaptive run.
//
// After p replicates with c the marker's count (above plus half the ties),
// p_hat = (c + 1) / (p + 1); the marker stops when the interval
// p_hat +- z * sqrt(p_hat (1 - p_hat) / p) excludes alpha, z the standard
// normal quantile at 1 - beta / (2M) for M markers. The first check comes
// after `min` replicates and each next one floor(slope * p + init)
// replicates after the check at p. So the replicate counts at which a marker
// may stop are fixed by the rule alone, whatever the threads, blocks or
// shards.
#pragma once

#include <cstdint>

namespace strataperm {

struct AdaptiveRule {
  std::int64_t min = 6;
  double alpha = 0.0;
  double beta = 1e-4;
  double init = 1.0;
  double slope = 0.001;
  std::int64_t max = 1000000;  // replicates at most

  // The replicate count of the check after the one at p (min for p = 0);
  // never less than p + 1.
  std::int64_t next_check(std::int64_t p) const;
  // z for M markers.
  double z(long markers) const;
  // Whether a marker with 2c = `twice_count` after p replicates stops.
  bool stops(std::int64_t twice_count, std::int64_t p, double z) const;
};

}  // namespace strataperm
