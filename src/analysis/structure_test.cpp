#include "analysis/structure_test.hpp"

#include <cmath>
#include <cstdint>

namespace strataperm {

double normal_density(double x, double mean, double variance) {
  const double factor = 1.0 / std::sqrt(2.0 * 3.1415926535 * variance);
  const double exponent = -(x - mean) * (x - mean) / 2.0 / variance;
  return std::exp(exponent) * factor;
}

namespace {

struct Mixture {
  double mean1, mean0, variance1, variance0, weight1, weight0;
};

double parameter_change(const Mixture& now, const Mixture& before) {
  return std::fabs(now.mean1 - before.mean1) + std::fabs(now.mean0 - before.mean0) +
         std::fabs(now.variance1 - before.variance1) +
         std::fabs(now.variance0 - before.variance0) + std::fabs(now.weight1 - before.weight1) +
         std::fabs(now.weight0 - before.weight0);
}

}  // namespace

StructureDecision decide_structure(double bic_one, double bic_two) {
  return StructureDecision{bic_one > bic_two, !(bic_one >= bic_two)};
}

StructureFit test_population_structure(DoubleMatrix similarity, int rows, int columns,
                                        std::FILE* results) {
  IntMatrix labels = imatrix(1, rows, 1, columns);
  DoubleMatrix posteriors = dmatrix(1, rows, 1, columns);
  const std::int64_t pairs = static_cast<std::int64_t>(rows) * columns - rows;
  const double K = static_cast<double>(pairs);

  // One-group fit, divisor K.
  double sum = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) sum += similarity[i][j];
  const double mu = sum / K;
  double squares = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) squares += (similarity[i][j] - mu) * (similarity[i][j] - mu);
  const double sigma2 = squares / K;

  double log_likelihood_one = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j)
      if (i != j) log_likelihood_one += std::log(normal_density(similarity[i][j], mu, sigma2));
  const double bic_one = 2.0 * std::log(K) - 2.0 * log_likelihood_one;

  // Two-component mixture with hard labels.
  Mixture cur{mu + 0.1, mu - 0.1, 1.0, 1.0, 0.5, 0.5};
  Mixture prev{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  int passes = 0;
  for (;;) {
    ++passes;
    for (int i = 1; i <= rows; ++i) {
      for (int j = 1; j <= columns; ++j) {
        if (i == j) continue;
        const double x = similarity[i][j];
        const double a = cur.weight1 * normal_density(x, cur.mean1, cur.variance1);
        const double b = cur.weight0 * normal_density(x, cur.mean0, cur.variance0);
        const double posterior = a / (a + b);
        posteriors[i][j] = posterior;
        labels[i][j] = posterior > 0.5 ? 1 : 0;
      }
    }
    const double delta = parameter_change(cur, prev);
    if (!(delta > 1e-7)) break;
    prev = cur;

    std::int64_t size1 = 0;
    double sum1 = 0.0;
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j)
        if (i != j && labels[i][j] == 1) {
          ++size1;
          sum1 += similarity[i][j];
        }
    const std::int64_t size0 = pairs - size1;
    cur.mean1 = size1 == 0 ? 0.0 : sum1 / static_cast<double>(size1);
    cur.mean0 = size0 == 0 ? 0.0 : (K * mu - sum1) / static_cast<double>(size0);
    cur.weight1 = static_cast<double>(size1) / K;
    cur.weight0 = 1.0 - cur.weight1;
    double squares1 = 0.0;
    double squares0 = 0.0;
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j) {
        if (i == j) continue;
        const double x = similarity[i][j];
        if (labels[i][j] == 1)
          squares1 += (x - cur.mean1) * (x - cur.mean1);
        else
          squares0 += (x - cur.mean0) * (x - cur.mean0);
      }
    cur.variance1 = size1 == 0 ? 1.0 : squares1 / static_cast<double>(size1);
    cur.variance0 = size0 == 0 ? 1.0 : squares0 / static_cast<double>(size0);
  }

  double log_likelihood_two = 0.0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j) {
      if (i == j) continue;
      const double x = similarity[i][j];
      log_likelihood_two += std::log(cur.weight0 * normal_density(x, cur.mean0, cur.variance0) +
                                     cur.weight1 * normal_density(x, cur.mean1, cur.variance1));
    }
  const double bic_two = 5.0 * std::log(K) - 2.0 * log_likelihood_two;

  // Two-group classification: 1.0 marks the component with the larger mean.
  const bool component1_higher = cur.mean1 > cur.mean0;
  for (int i = 1; i <= rows; ++i)
    for (int j = 1; j <= columns; ++j) {
      if (i == j) continue;
      const int label = labels[i][j];
      similarity[i][j] = component1_higher ? static_cast<double>(label)
                                           : static_cast<double>(1 - label);
    }

  StructureFit fit;
  fit.mean = mu;
  fit.variance = sigma2;
  fit.mean1 = cur.mean1;
  fit.variance1 = cur.variance1;
  fit.weight1 = cur.weight1;
  fit.mean0 = cur.mean0;
  fit.variance0 = cur.variance0;
  fit.weight0 = cur.weight0;
  fit.bic_one = bic_one;
  fit.bic_two = bic_two;
  fit.passes = passes;
  const StructureDecision decision = decide_structure(bic_one, bic_two);
  fit.structure = decision.structure;
  fit.one_group = decision.one_group;
  if (fit.one_group) {
    for (int i = 1; i <= rows; ++i)
      for (int j = 1; j <= columns; ++j) similarity[i][j] = 1.0;
  }

  write_verdict(results, fit);

  free_dmatrix(posteriors, 1, rows, 1, columns);
  free_imatrix(labels, 1, rows, 1, columns);
  return fit;
}

void write_verdict(std::FILE* results, const StructureFit& fit) {
  static const char* const kSecondLine =
      "The BIC corresponding to one group and two groups of the similarities are\n";
  if (fit.structure) {
    std::fprintf(results, "There exists population structure.\n%s", kSecondLine);
  } else {
    std::fprintf(results, "There does not exist population structure.\n%s", kSecondLine);
  }
  std::fprintf(results, "BIC(1)=%f  BIC(2)=%f.\n\n", fit.bic_one, fit.bic_two);
  if (fit.structure) {
    std::printf("There exists population structure.\n%s", kSecondLine);
  } else {
    std::printf("There does not exist population structure\n%s", kSecondLine);
  }
  std::printf("BIC(1)=%f  BIC(2)=%f\n\n", fit.bic_one, fit.bic_two);
}

}  // namespace strataperm
