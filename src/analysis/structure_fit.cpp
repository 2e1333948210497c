#include "analysis/structure_fit.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace strataperm {

// Kept out of line so that every caller evaluates it by the same instructions,
// down to the sign of a NaN it may produce.
__attribute__((noinline)) double normal_density(double x, double mean, double variance) {
  const double factor = 1.0 / std::sqrt(2.0 * 3.1415926535 * variance);
  const double exponent = -(x - mean) * (x - mean) / 2.0 / variance;
  return std::exp(exponent) * factor;
}

double parameter_change(const Mixture& now, const Mixture& before) {
  return std::fabs(now.mean1 - before.mean1) + std::fabs(now.mean0 - before.mean0) +
         std::fabs(now.variance1 - before.variance1) +
         std::fabs(now.variance0 - before.variance0) + std::fabs(now.weight1 - before.weight1) +
         std::fabs(now.weight0 - before.weight0);
}

StructureFit summarize_fit(double mean, double variance, const Mixture& mixture, double bic_one,
                           double bic_two, int passes) {
  StructureFit fit;
  fit.mean = mean;
  fit.variance = variance;
  fit.mean1 = mixture.mean1;
  fit.variance1 = mixture.variance1;
  fit.weight1 = mixture.weight1;
  fit.mean0 = mixture.mean0;
  fit.variance0 = mixture.variance0;
  fit.weight0 = mixture.weight0;
  fit.bic_one = bic_one;
  fit.bic_two = bic_two;
  fit.passes = passes;
  const StructureDecision decision = decide_structure(bic_one, bic_two);
  fit.structure = decision.structure;
  fit.one_group = decision.one_group;
  return fit;
}

StructureDecision decide_structure(double bic_one, double bic_two) {
  return StructureDecision{bic_one > bic_two, !(bic_one >= bic_two)};
}

namespace {

// Calls visit(i, lower, upper) for each row i of the ordered pairs in turn:
// lower[j], j < i, and upper[j - i - 1], j > i, are the indexes of d(i, j).
// The upper part is the triangle's own row; the lower part, a column of the
// triangle, is gathered for a block of rows at a time from the rows above,
// each of which holds the block's entries side by side.
template <typename Index, typename Visit>
void visit_rows(const DistanceTable& table, const std::vector<Index>& index, Visit visit) {
  constexpr std::size_t kBlock = 128;
  const std::size_t n = static_cast<std::size_t>(table.n);
  std::vector<Index> lower;
  for (std::size_t i0 = 0; i0 < n; i0 += kBlock) {
    const std::size_t i1 = std::min(n, i0 + kBlock);
    lower.resize((i1 - i0) * i1);
    for (std::size_t j = 0; j + 1 < i1; ++j) {
      const Index* row = index.data() + DistanceTable::row_start(j, n);  // d(j, j + 1 + k) at row[k]
      for (std::size_t i = std::max(i0, j + 1); i < i1; ++i) lower[(i - i0) * i1 + j] = row[i - j - 1];
    }
    for (std::size_t i = i0; i < i1; ++i)
      visit(i, lower.data() + (i - i0) * i1, index.data() + DistanceTable::row_start(i, n));
  }
}

template <typename Visit>
void visit_rows(const DistanceTable& table, Visit visit) {
  if (table.index16.empty()) {
    visit_rows(table, table.index32, visit);
  } else {
    visit_rows(table, table.index16, visit);
  }
}

// Sums per_distance[index of d(i, j)] over the ordered off-diagonal pairs,
// row by row, in one sequential chain from 0.0.
double sum_over_pairs(const DistanceTable& table, const std::vector<double>& per_distance) {
  const std::size_t n = static_cast<std::size_t>(table.n);
  const double* values = per_distance.data();
  double sum = 0.0;
  visit_rows(table, [&](std::size_t i, const auto* lower, const auto* upper) {
    for (std::size_t j = 0; j < i; ++j) sum += values[lower[j]];
    for (std::size_t k = 0; k + i + 1 < n; ++k) sum += values[upper[k]];
  });
  return sum;
}

// Two such sums in one sweep over the pairs, each its own chain.
void sum_two_over_pairs(const DistanceTable& table, const std::vector<double>& a,
                        const std::vector<double>& b, double& sum_a, double& sum_b) {
  const std::size_t n = static_cast<std::size_t>(table.n);
  double sa = 0.0, sb = 0.0;
  visit_rows(table, [&](std::size_t i, const auto* lower, const auto* upper) {
    for (std::size_t j = 0; j < i; ++j) {
      sa += a[lower[j]];
      sb += b[lower[j]];
    }
    for (std::size_t k = 0; k + i + 1 < n; ++k) {
      sa += a[upper[k]];
      sb += b[upper[k]];
    }
  });
  sum_a = sa;
  sum_b = sb;
}

}  // namespace

StructureFit test_population_structure(const DistanceTable& table, SameGroup& same_group) {
  const int rows = table.n;
  const std::size_t distinct = table.distance.size();
  const std::int64_t pairs = static_cast<std::int64_t>(rows) * rows - rows;
  const double K = static_cast<double>(pairs);

  std::vector<double> x(distinct);
  for (std::size_t v = 0; v < distinct; ++v) x[v] = table.similarity(v);

  // One-group fit, divisor K.
  const double mu = sum_over_pairs(table, x) / K;
  std::vector<double> work(distinct);
  for (std::size_t v = 0; v < distinct; ++v) work[v] = (x[v] - mu) * (x[v] - mu);
  const double sigma2 = sum_over_pairs(table, work) / K;
  for (std::size_t v = 0; v < distinct; ++v) work[v] = std::log(normal_density(x[v], mu, sigma2));
  const double bic_one = 2.0 * std::log(K) - 2.0 * sum_over_pairs(table, work);

  // Two-component mixture with hard labels, one label per distinct distance.
  Mixture cur{mu + 0.1, mu - 0.1, 1.0, 1.0, 0.5, 0.5};
  Mixture prev{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::vector<std::uint8_t> label(distinct);
  std::vector<double> x_if_one(distinct), square_if_one(distinct), square_if_zero(distinct);
  int passes = 0;
  for (;;) {
    ++passes;
    for (std::size_t v = 0; v < distinct; ++v) {
      const double a = cur.weight1 * normal_density(x[v], cur.mean1, cur.variance1);
      const double b = cur.weight0 * normal_density(x[v], cur.mean0, cur.variance0);
      const double posterior = a / (a + b);
      label[v] = posterior > 0.5 ? 1 : 0;
    }
    const double delta = parameter_change(cur, prev);
    if (!(delta > 1e-7)) break;
    prev = cur;

    // Pairs of the other label add exactly 0.0, which leaves these sums
    // unchanged: they start at +0.0 and their terms are never negative.
    std::int64_t size1 = 0;
    for (std::size_t v = 0; v < distinct; ++v) {
      if (label[v]) size1 += table.pairs[v];
      x_if_one[v] = label[v] ? x[v] : 0.0;
    }
    const double sum1 = sum_over_pairs(table, x_if_one);
    const std::int64_t size0 = pairs - size1;
    cur.mean1 = size1 == 0 ? 0.0 : sum1 / static_cast<double>(size1);
    cur.mean0 = size0 == 0 ? 0.0 : (K * mu - sum1) / static_cast<double>(size0);
    cur.weight1 = static_cast<double>(size1) / K;
    cur.weight0 = 1.0 - cur.weight1;
    for (std::size_t v = 0; v < distinct; ++v) {
      square_if_one[v] = label[v] ? (x[v] - cur.mean1) * (x[v] - cur.mean1) : 0.0;
      square_if_zero[v] = label[v] ? 0.0 : (x[v] - cur.mean0) * (x[v] - cur.mean0);
    }
    double squares1 = 0.0, squares0 = 0.0;
    sum_two_over_pairs(table, square_if_one, square_if_zero, squares1, squares0);
    cur.variance1 = size1 == 0 ? 1.0 : squares1 / static_cast<double>(size1);
    cur.variance0 = size0 == 0 ? 1.0 : squares0 / static_cast<double>(size0);
  }

  for (std::size_t v = 0; v < distinct; ++v)
    work[v] = std::log(cur.weight0 * normal_density(x[v], cur.mean0, cur.variance0) +
                       cur.weight1 * normal_density(x[v], cur.mean1, cur.variance1));
  const double bic_two = 5.0 * std::log(K) - 2.0 * sum_over_pairs(table, work);

  StructureFit fit = summarize_fit(mu, sigma2, cur, bic_one, bic_two, passes);
  fit.separated = table.max_distance > 0.0;

  // 1 marks the component with the larger final mean; component 0 when the
  // means are equal or cannot be ordered.
  same_group = SameGroup(rows, fit.one_group);
  if (!fit.one_group) {
    const std::uint8_t same_label = cur.mean1 > cur.mean0 ? 1 : 0;
    for (int i = 0; i < rows; ++i) {
      same_group.set(i, i);
      for (int j = i + 1; j < rows; ++j)
        if (label[table.at(i, j)] == same_label) {
          same_group.set(i, j);
          same_group.set(j, i);
        }
    }
  }
  return fit;
}

}  // namespace strataperm
