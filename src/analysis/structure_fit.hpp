// One population or two: BIC of a single normal against a two-component
// normal mixture fitted to the off-diagonal similarities.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/distance_table.hpp"
#include "analysis/same_group.hpp"

namespace strataperm {

// Density of N(mean, variance) at x: exp(-(x - mean)^2 / 2 / variance) times
// 1 / sqrt(2 * 3.1415926535 * variance), evaluated in that order. A variance of
// 0 gives NaN for every x.
double normal_density(double x, double mean, double variance);

// The six parameters of the two-component mixture.
struct Mixture {
  double mean1, mean0, variance1, variance0, weight1, weight0;
};

// The convergence measure: the absolute changes of the six parameters, added
// in the order mean1, mean0, variance1, variance0, weight1, weight0.
double parameter_change(const Mixture& now, const Mixture& before);

// The fitted models and the decision, kept for reporting.
struct StructureFit {
  double mean = 0.0;       // one-group mean
  double variance = 0.0;   // one-group variance (divisor K)
  double mean1 = 0.0, variance1 = 0.0, weight1 = 0.0;  // mixture component 1
  double mean0 = 0.0, variance0 = 0.0, weight0 = 0.0;  // mixture component 0
  double bic_one = 0.0;
  double bic_two = 0.0;
  int passes = 0;            // assignments made
  bool structure = false;    // BIC(1) > BIC(2): the structure verdict
  bool one_group = false;    // the matrix was overridden with all ones
  bool separated = true;     // some two individuals differ at the background loci
};

// The fit's summary from the final values, with both decisions taken.
StructureFit summarize_fit(double mean, double variance, const Mixture& mixture, double bic_one,
                           double bic_two, int passes);

// The two decisions taken from the BIC values, which differ only at equality:
// the structure verdict needs BIC(1) > BIC(2); the two-group classification is
// kept when BIC(1) >= BIC(2). A NaN on either side gives the no-structure
// verdict and the one-group matrix.
struct StructureDecision {
  bool structure;
  bool one_group;
};
StructureDecision decide_structure(double bic_one, double bic_two);

// Fits both models to the similarities of the ordered pairs (i, j), i != j,
// visited row by row, classifies each pair by hard labels, and sets the bit
// of (i, j) (0-based) in same_group for pairs in the component with the
// larger final mean, or every bit when the one-group model has the lower BIC
// or the two cannot be ordered. The diagonal is always set.
// It prints nothing: the verdict block is the report's (write_verdict).
//
// Every density, label and squared deviation is a function of the pair's
// distance, so each pass evaluates them once per distinct distance; only the
// sums run over the pairs, in the pairs' order.
// Memory: the n x n bits of the output, a block of 128 rows' gathered
// indexes, and a few tables of the distinct distances.
StructureFit test_population_structure(const DistanceTable& table, SameGroup& same_group);

}  // namespace strataperm
