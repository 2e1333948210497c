// The analysis driver and the within-group permutation test of each marker.
#pragma once

#include <cstdio>

#include "analysis/structure_test.hpp"
#include "driver/run_context.hpp"
#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// Codes one genotype (the sum of its two allele codes) as the additive and the
// dominance covariate: 2 -> (1, 0), 0 -> (-1, 0), anything else -> (0, 1).
void code_genotype(long long allele_sum, double& additive, double& dominance);

// Centres column[1..n] on its mean (summed in ascending order from 0.0).
void centre_trait(DoubleVector column, int n);

// Adjusts column[1..n] in place by the group means of `classification`, rows in
// ascending order: row i has the mean of its group's entries subtracted, where
// rows already adjusted enter the later rows' means with their new values.
void adjust_by_group_means(DoubleVector column, DoubleMatrix classification, int n);

// The association statistic from the five sums of products, in its fixed
// order of evaluation.
double association_statistic(double sum_zz, double sum_xx, double sum_xy, double sum_zy,
                             double sum_xz);

// Each individual's same-group list: row i of `members` holds its size at
// element 1 and the members' numbers ascending from element 2. Only entries
// exactly 1.0 make a member.
void build_group_members(DoubleMatrix classification, int n, IntMatrix members);

// One replicate's donor assignment: individuals are served in visit_order[1..n];
// each takes a uniformly drawn donor among the members of its list not yet
// taken in this replicate (one draw), or keeps its own value when none is left
// (no draw). donor[i] receives the chosen donor (or i itself when it kept its
// own value). taken[1..n] is scratch.
void assign_donors(IntVector visit_order, IntMatrix members, int n, IntVector candidates,
                   ByteVector taken, IntVector donor, RandomStream& stream);

// Runs similarity, structure test and permutation test for the whole study.
// Writes the verdict block to `results` and standard output, leaves each
// marker's empirical P-value in p_values[1..M], and centres data.trait.
// Draws, per replicate: N for the visit order, then one per served position
// with a candidate.
StructureFit run_analysis(const Parameters& parameters, SampleData& data, DoubleVector p_values,
                          std::FILE* results, RandomStream& stream);

}  // namespace strataperm
