#include "analysis/covariate_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "analysis/kernels.hpp"
#include "analysis/vector_lanes.hpp"
#include "core/errors.hpp"

namespace strataperm {

namespace {

// A residual whose sum of squares is at most this share of its column's
// (|M_Z v| <= 1e-9 |v|) is the rounding left of a column that lies in Z's
// span (a marker constant within each group, a covariate equal to a
// marker's allele count, a trait the covariates explain): it becomes exact
// zeros, so the marker is degenerate, or S is 0, as they are in exact
// arithmetic.
constexpr double kInSpan = 1e-18;

// The second half of the fast residual, on `v` in panels of 8 columns
// (column t of row i at replicate_index(i, t, n)) with the coefficients
// c[j * width + t] = (Q' v)[j][t] formed: each row's fitted values over Q's
// columns ascending, subtracted, and the sums of squares of each column
// before and after (rows ascending, from 0.0), 8 columns at a time in lanes.
__attribute__((target_clones("avx2", "default"))) void subtract_fitted(
    const double* q, int n, int p, const double* c, int width, double* v, double* before,
    double* after) {
  const std::size_t rows = static_cast<std::size_t>(n), columns = static_cast<std::size_t>(p);
  const Lanes4 zero = {0.0, 0.0, 0.0, 0.0};
  for (int t = 0; t < width; t += 8) {
    double* panel = v + static_cast<std::size_t>(t) * rows;
    Lanes4 b0 = zero, b1 = zero, a0 = zero, a1 = zero;
    for (std::size_t i = 0; i < rows; ++i) {
      double* row = panel + i * 8;
      const double* qi = q + i * columns;
      const Lanes4 v0 = LOAD4(row), v1 = LOAD4(row + 4);
      b0 += v0 * v0;
      b1 += v1 * v1;
      Lanes4 f0 = zero, f1 = zero;
      for (std::size_t j = 0; j < columns; ++j) {
        const Lanes4 x = {qi[j], qi[j], qi[j], qi[j]};
        const double* cj = c + j * static_cast<std::size_t>(width) + static_cast<std::size_t>(t);
        f0 += x * LOAD4(cj);
        f1 += x * LOAD4(cj + 4);
      }
      const Lanes4 r0 = v0 - f0, r1 = v1 - f1;
      STORE4(row, r0);
      STORE4(row + 4, r1);
      a0 += r0 * r0;
      a1 += r1 * r1;
    }
    STORE4(before + t, b0);
    STORE4(before + t + 4, b1);
    STORE4(after + t, a0);
    STORE4(after + t + 4, a1);
  }
}

// Householder reflections of the n x p column-major matrix `a`, columns
// left to right: the vectors are left in a's columns from the diagonal
// down, their squared lengths in `lengths`. Returns the first column whose
// part outside the span of the columns before it is under 1e-9 of its
// length, or -1 when Z has full column rank.
int householder(std::vector<double>& a, std::size_t n, int p, std::vector<double>& lengths) {
  std::vector<double> original(static_cast<std::size_t>(p));
  for (int j = 0; j < p; ++j) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) s += a[j * n + i] * a[j * n + i];
    original[static_cast<std::size_t>(j)] = std::sqrt(s);
  }
  lengths.assign(static_cast<std::size_t>(p), 0.0);
  for (int j = 0; j < p; ++j) {
    const std::size_t jj = static_cast<std::size_t>(j);
    double* v = &a[jj * n];
    double s = 0.0;
    for (std::size_t i = jj; i < n; ++i) s += v[i] * v[i];
    const double norm = std::sqrt(s);
    if (jj >= n || !(norm > 1e-9 * original[jj])) return j;
    const double alpha = v[jj] > 0.0 ? -norm : norm;
    v[jj] = v[jj] - alpha;
    double length = 0.0;
    for (std::size_t i = jj; i < n; ++i) length += v[i] * v[i];
    lengths[jj] = length;
    for (int c = j + 1; c < p; ++c) {
      double* w = &a[static_cast<std::size_t>(c) * n];
      double dot = 0.0;
      for (std::size_t i = jj; i < n; ++i) dot += v[i] * w[i];
      const double t = 2.0 * dot / length;
      for (std::size_t i = jj; i < n; ++i) w[i] = w[i] - t * v[i];
    }
  }
  return -1;
}

// Z's columns in the given order (indices into intercept, covariates,
// indicators: 0, 1..K, K+1..), column-major.
std::vector<double> model_columns(const Covariates& covariates, const GroupLists& lists,
                                  const std::vector<int>& order) {
  const std::size_t n = lists.owner.size();
  const int k = covariates.count();
  std::vector<double> z(order.size() * n);
  for (std::size_t c = 0; c < order.size(); ++c) {
    const int column = order[c];
    for (std::size_t i = 0; i < n; ++i) {
      double value = 1.0;
      if (column >= 1 && column <= k) {
        value = covariates.values[i * static_cast<std::size_t>(k) + static_cast<std::size_t>(column - 1)];
      } else if (column > k) {
        value = lists.group[i] == column - k ? 1.0 : 0.0;
      }
      z[c * n + i] = value;
    }
  }
  return z;
}

}  // namespace

ReducedModel::ReducedModel(const Covariates& covariates, const GroupLists& lists) {
  const std::size_t n = lists.owner.size();
  n_ = static_cast<int>(n);
  covariates_ = covariates.count();
  const int indicators = lists.partitions() ? lists.groups - 1 : 0;
  const int p = 1 + covariates_ + indicators;
  const std::string where = covariates.source + ": ";
  if (static_cast<std::size_t>(p) >= n) {
    throw InputError(Error::Category::degenerate_data,
                     where + std::to_string(n) + " individuals are too few for a model of the intercept, " +
                         std::to_string(covariates_) + " covariates and " +
                         std::to_string(indicators) + " group indicators");
  }
  for (int k = 0; k < covariates_; ++k) {
    const std::size_t kk = static_cast<std::size_t>(covariates_), column = static_cast<std::size_t>(k);
    bool constant = true;
    for (std::size_t i = 1; i < n && constant; ++i)
      constant = covariates.values[i * kk + column] == covariates.values[column];
    if (constant) {
      throw InputError(Error::Category::degenerate_data,
                       where + "covariate '" + covariates.names[column] +
                           "' is constant over the individuals analysed; leave it out (--covar-name)");
    }
  }
  std::vector<int> order(static_cast<std::size_t>(p));
  for (int c = 0; c < p; ++c) order[static_cast<std::size_t>(c)] = c;
  std::vector<double> a = model_columns(covariates, lists, order);
  std::vector<double> lengths;
  const int dependent = householder(a, n, p, lengths);
  if (dependent >= 0) {
    if (dependent <= covariates_) {
      const std::string name = covariates.names[static_cast<std::size_t>(dependent - 1)];
      throw InputError(Error::Category::degenerate_data,
                       where + "covariate '" + name +
                           "' is a linear combination of the intercept and the covariates before "
                           "it; leave it out (--covar-name)");
    }
    // An indicator that the covariates explain: name the first covariate
    // that the intercept and the indicators (with the covariates before it)
    // explain.
    std::vector<int> groups_first = {0};
    for (int g = 1; g <= indicators; ++g) groups_first.push_back(covariates_ + g);
    for (int c = 1; c <= covariates_; ++c) groups_first.push_back(c);
    std::vector<double> b = model_columns(covariates, lists, groups_first);
    std::vector<double> unused;
    const int found = householder(b, n, p, unused);
    const std::string name =
        found > indicators ? "'" + covariates.names[static_cast<std::size_t>(found - indicators - 1)] + "' "
                           : std::string();
    throw InputError(Error::Category::degenerate_data,
                     where + "covariate " + name + "is a linear combination of the intercept, " +
                         "the group indicators (" + std::to_string(lists.groups) +
                         " groups) and the covariates before it; leave it out (--covar-name)");
  }
  columns_ = p;
  // Q's column c: the reflections applied to the unit vector e_c, last first.
  q_.assign(n * static_cast<std::size_t>(p), 0.0);
  std::vector<double> e(n);
  for (int c = 0; c < p; ++c) {
    std::fill(e.begin(), e.end(), 0.0);
    e[static_cast<std::size_t>(c)] = 1.0;
    for (int j = p - 1; j >= 0; --j) {
      const std::size_t jj = static_cast<std::size_t>(j);
      const double* v = &a[jj * n];
      double dot = 0.0;
      for (std::size_t i = jj; i < n; ++i) dot += v[i] * e[i];
      const double t = 2.0 * dot / lengths[jj];
      for (std::size_t i = jj; i < n; ++i) e[i] = e[i] - t * v[i];
    }
    for (std::size_t i = 0; i < n; ++i) q_[i * static_cast<std::size_t>(p) + static_cast<std::size_t>(c)] = e[i];
  }
}

void ReducedModel::residualize_plain(double* columns, int stride, int count) const {
  const std::size_t n = static_cast<std::size_t>(n_), p = static_cast<std::size_t>(columns_);
  std::vector<double> coefficient(p);
  for (int col = 0; col < count; ++col) {
    double before = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = columns[i * static_cast<std::size_t>(stride) + static_cast<std::size_t>(col)];
      before += v * v;
    }
    for (std::size_t j = 0; j < p; ++j) {
      double c = 0.0;
      for (std::size_t i = 0; i < n; ++i) c += q_[i * p + j] * columns[i * static_cast<std::size_t>(stride) + static_cast<std::size_t>(col)];
      coefficient[j] = c;
    }
    for (std::size_t i = 0; i < n; ++i) {
      double f = 0.0;
      for (std::size_t j = 0; j < p; ++j) f += q_[i * p + j] * coefficient[j];
      double& v = columns[i * static_cast<std::size_t>(stride) + static_cast<std::size_t>(col)];
      v = v - f;
    }
    double after = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = columns[i * static_cast<std::size_t>(stride) + static_cast<std::size_t>(col)];
      after += v * v;
    }
    if (after <= kInSpan * before)
      for (std::size_t i = 0; i < n; ++i)
        columns[i * static_cast<std::size_t>(stride) + static_cast<std::size_t>(col)] = 0.0;
  }
}

void ReducedModel::residualize(double* columns, int stride, int count) const {
  // The columns in panels of 8, as the replicate traits lie, so that the
  // coefficients Q' v are the permuted sums' product of Q with them.
  const int width = (count + 7) / 8 * 8;
  const std::size_t rows = static_cast<std::size_t>(n_), w = static_cast<std::size_t>(stride);
  thread_local std::vector<double> panels, coefficients, before, after;
  panels.assign(rows * static_cast<std::size_t>(width), 0.0);
  // Panel k holds columns 8k .. 8k + 7, row after row.
  for (int k = 0; k < width / 8; ++k) {
    const int lanes = std::min(8, count - 8 * k);
    double* panel = panels.data() + static_cast<std::size_t>(k) * rows * 8;
    for (std::size_t i = 0; i < rows; ++i)
      std::copy_n(columns + i * w + static_cast<std::size_t>(8 * k), lanes, panel + i * 8);
  }
  coefficients.resize(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(width));
  permuted_sums(q_.data(), panels.data(), n_, columns_, width, coefficients.data());
  before.resize(static_cast<std::size_t>(width));
  after.resize(static_cast<std::size_t>(width));
  subtract_fitted(q_.data(), n_, columns_, coefficients.data(), width, panels.data(), before.data(),
                  after.data());
  for (int t = 0; t < count; ++t) {
    if (!(after[static_cast<std::size_t>(t)] <= kInSpan * before[static_cast<std::size_t>(t)])) continue;
    double* panel = panels.data() + static_cast<std::size_t>(t / 8) * rows * 8;
    for (std::size_t i = 0; i < rows; ++i) panel[i * 8 + static_cast<std::size_t>(t % 8)] = 0.0;
  }
  for (int k = 0; k < width / 8; ++k) {
    const int lanes = std::min(8, count - 8 * k);
    const double* panel = panels.data() + static_cast<std::size_t>(k) * rows * 8;
    for (std::size_t i = 0; i < rows; ++i)
      std::copy_n(panel + i * 8, lanes, columns + i * w + static_cast<std::size_t>(8 * k));
  }
}

}  // namespace strataperm
