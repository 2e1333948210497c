// What each marker's fit says beyond its permutation P-value: effect sizes,
// their standard errors, the F test and its asymptotic P-value, and the
// family-wise (max T) P-value.
//
// All of it is a function of the marker's observed sums after the group-mean
// adjustment (sum_zz, sum_xx, sum_xy, sum_zy, sum_xz, with y the centred
// trait), its statistic T_obs, the trait's sum of squares S and the residual
// degrees of freedom d, evaluated in the fixed order written below, so every
// printed digit is defined. With Delta = sum_xx*sum_zz - sum_xz*sum_xz,
// T_obs/Delta is the sum of squares the least-squares fit on x and z (no
// intercept) explains. With codes adjusted by the means of groups that
// partition the sample, S the trait's sum of squares within the groups and
// d = N - 2 - G, this is the fit with one intercept per group: F_STAT is the
// F test of the two genotype terms in it.
#pragma once

#include <cstdint>
#include <vector>

namespace strataperm {

// One marker's observed sums and what the engine counted.
struct MarkerStatistics {
  double sum_zz = 0.0, sum_xx = 0.0, sum_xy = 0.0, sum_zy = 0.0, sum_xz = 0.0;
  double t_observed = 0.0;
  double p_value = 0.0;     // the permutation P: c / R (adaptive: c / NP)
  double exceed = 0.0;      // c: replicates above T_obs, plus half those equal
  int called = 0;           // individuals with a call
  std::int64_t copies = 0;  // copies of the counted allele among them (2, 1, 0 by class)
};

// The real-valued statistics of a marker, in the order the files that carry
// them (a shard's marker_statistics.tsv) write them: one list for writer and
// reader.
struct MarkerStatisticsReal {
  const char* name;
  double MarkerStatistics::*field;
};
inline constexpr MarkerStatisticsReal kMarkerStatisticsReals[] = {
    {"sum_zz", &MarkerStatistics::sum_zz},         {"sum_xx", &MarkerStatistics::sum_xx},
    {"sum_xy", &MarkerStatistics::sum_xy},         {"sum_zy", &MarkerStatistics::sum_zy},
    {"sum_xz", &MarkerStatistics::sum_xz},         {"t_observed", &MarkerStatistics::t_observed},
    {"p_value", &MarkerStatistics::p_value},       {"exceed", &MarkerStatistics::exceed},
};

struct AssociationSummary {
  double delta = 0.0;       // sum_xx*sum_zz - sum_xz*sum_xz
  bool degenerate = false;  // delta <= (1e-9*sum_xx)*sum_zz
  // When not degenerate:
  double beta_add = 0.0;    // (sum_zz*sum_xy - sum_xz*sum_zy) / delta
  double beta_dom = 0.0;    // (sum_xx*sum_zy - sum_xz*sum_xy) / delta
  double ratio = 0.0;       // T_obs / (delta*S): compared with the replicate maxima
  // When not degenerate and sigma2 = (S - T_obs/delta) / d > 0 with d > 0:
  bool has_error = false;
  double se_add = 0.0;      // sqrt((sigma2*sum_zz)/delta)
  double se_dom = 0.0;      // sqrt((sigma2*sum_xx)/delta)
  double f_stat = 0.0;      // ((T_obs/delta)/2.0)/sigma2
  double p = 0.0;           // upper tail of F(2, d) at f_stat
};

// Delta and the degeneracy test alone (what the replicate loop needs).
double association_delta(double sum_xx, double sum_zz, double sum_xz);
bool is_degenerate(double delta, double sum_xx, double sum_zz);

// `residual_df` is d (N - 2 - G, or N - 3 for the sequential adjustment).
AssociationSummary summarize_association(const MarkerStatistics& marker, double sum_y2,
                                         int residual_df);

// The family-wise P-value of a marker whose ratio is `ratio`, given the
// replicates' maxima in ascending order: (1 + the number of maxima >= ratio)
// / (R + 1). A ratio that is not a number has no family-wise P (NaN).
double family_wise_p_value(const std::vector<double>& sorted_maxima, double ratio);

}  // namespace strataperm
