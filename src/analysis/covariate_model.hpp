// Covariates by the Freedman–Lane permutation: the trait and every marker's
// codes are replaced by their residuals from the least-squares fit on the
// reduced model Z, and the trait's residuals are then moved within the groups
// as the trait is without covariates.
//
// Z's columns, in this order: the intercept, the covariates in the order
// given, and, when the same-group lists partition the individuals, one 0/1
// indicator per group but the first (groups numbered by their first member).
// With overlapping lists Z is the intercept and the covariates, and the
// residualized codes are then adjusted by the list means as usual.
//
// Z is factored once by Householder reflections, columns left to right; the
// residual of a column v is v - Q (Q' v) with Q the thin orthonormal factor
// (N x p, p the number of Z's columns), in this order of operations:
//   c_j = sum over i ascending, from 0.0, of Q[i][j] * v[i]   (j = 0 .. p-1)
//   f_i = sum over j ascending, from 0.0, of Q[i][j] * c_j
//   v[i] = v[i] - f_i
// A column whose residual is only the rounding left of a column in Z's span
// becomes exact zeros: with before = sum over i ascending, from 0.0, of
// v[i]^2 (ahead of the residual) and after the same of the residual, when
// after <= 1e-18 * before.
// Each column on its own, so the result does not depend on how columns are
// grouped into blocks, threads or shards.
#pragma once

#include <string>
#include <vector>

#include "analysis/within_group_permutation.hpp"

namespace strataperm {

// The covariates of a run's individuals.
struct Covariates {
  std::vector<double> values;       // N x K, row-major: values[i * K + k]
  std::vector<std::string> names;   // K names (for the messages and the log)
  std::string source;               // the file they came from (for the messages)
  int count() const { return static_cast<int>(names.size()); }
};

class ReducedModel {
 public:
  // Builds Z for these lists and factors it. A column of Z that lies within
  // the span of those before it (its part outside them under 1e-9 of its
  // length) is degenerate data: the error names the covariate and the file.
  // Memory: 8 N p bytes for Z and again for Q.
  ReducedModel(const Covariates& covariates, const GroupLists& lists);

  int rank() const { return columns_; }      // p: Z has full column rank
  int covariate_count() const { return covariates_; }

  // Replaces each of the `count` first columns of a row-major N x `stride`
  // matrix by its residual (the order above): the columns are laid out in
  // panels of 8 as the replicate traits are, the coefficients are
  // permuted_sums of Q with them, and the fitted values go 8 columns a
  // vector. Memory: 8 N (count rounded up to 8) bytes a thread.
  void residualize(double* columns, int stride, int count) const;
  // The plain twin: one column at a time, the order above written out.
  void residualize_plain(double* columns, int stride, int count) const;

 private:
  int n_ = 0, columns_ = 0, covariates_ = 0;
  std::vector<double> q_;  // N x p, row-major
};

}  // namespace strataperm
