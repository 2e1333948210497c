#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "io/results_file.hpp"
#include "literal_engine.hpp"
#include "numerics/random.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using testing_support::read_all;

struct Outcome {
  StructureFit fit;
  std::vector<std::vector<double>> matrix;
  std::string file_text;
  std::string console_text;
};

Outcome run_test(const std::vector<std::vector<double>>& similarity) {
  const int n = static_cast<int>(similarity.size());
  DoubleMatrix s = dmatrix(1, n, 1, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) s[i][j] = similarity[i - 1][j - 1];
  std::FILE* file = std::tmpfile();
  ::testing::internal::CaptureStdout();
  Outcome out;
  out.fit = literal::test_population_structure(s, n, n);
  write_verdict_block(file, out.fit);
  print_verdict_block(out.fit);
  std::fflush(stdout);
  out.console_text = ::testing::internal::GetCapturedStdout();
  out.file_text = read_all(file);
  std::fclose(file);
  out.matrix.assign(n, std::vector<double>(n));
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) out.matrix[i - 1][j - 1] = s[i][j];
  free_dmatrix(s, 1, n, 1, n);
  return out;
}

// Symmetric matrix with unit diagonal: `within` inside the blocks given by
// group[i], `between` across, plus a small deterministic jitter.
std::vector<std::vector<double>> block_similarity(const std::vector<int>& group, double within,
                                                  double between, double jitter) {
  const int n = static_cast<int>(group.size());
  std::vector<std::vector<double>> s(n, std::vector<double>(n, 1.0));
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j) {
      const double wobble = jitter * std::sin(1.7 * i + 3.1 * j);
      s[i][j] = s[j][i] = (group[i] == group[j] ? within : between) + wobble;
    }
  return s;
}

const char* const kSecondLine =
    "The BIC corresponding to one group and two groups of the similarities are\n";

TEST(NormalDensity, UsesTheTenDecimalPi) {
  EXPECT_EQ(normal_density(0.0, 0.0, 1.0), std::exp(-0.0) * (1.0 / std::sqrt(2.0 * 3.1415926535)));
  EXPECT_NE(normal_density(0.0, 0.0, 1.0), 1.0 / std::sqrt(2.0 * M_PI));
  EXPECT_EQ(normal_density(1.5, 0.5, 4.0),
            std::exp(-1.0 * 1.0 / 2.0 / 4.0) * (1.0 / std::sqrt(2.0 * 3.1415926535 * 4.0)));
}

TEST(NormalDensity, ZeroVarianceIsNotANumber) {
  EXPECT_TRUE(std::isnan(normal_density(0.3, 0.3, 0.0)));
  EXPECT_TRUE(std::isnan(normal_density(0.7, 0.3, 0.0)));
}

TEST(StructureDecision, SeparateComparisonsForVerdictAndMatrix) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(decide_structure(2.0, 1.0).structure);
  EXPECT_FALSE(decide_structure(2.0, 1.0).one_group);
  // Equality: no-structure verdict, but the two-group matrix is kept.
  EXPECT_FALSE(decide_structure(1.0, 1.0).structure);
  EXPECT_FALSE(decide_structure(1.0, 1.0).one_group);
  EXPECT_FALSE(decide_structure(1.0, 2.0).structure);
  EXPECT_TRUE(decide_structure(1.0, 2.0).one_group);
  EXPECT_FALSE(decide_structure(nan, 2.0).structure);
  EXPECT_TRUE(decide_structure(nan, 2.0).one_group);
  EXPECT_TRUE(decide_structure(2.0, nan).one_group);
}

TEST(StructureTest, TwoClearGroupsGiveTheStructureVerdictAndABlockMatrix) {
  const std::vector<int> group = {0, 1, 0, 0, 1, 1, 0, 1, 1, 0};
  const Outcome out = run_test(block_similarity(group, 0.8, 0.2, 0.03));
  EXPECT_TRUE(out.fit.structure);
  EXPECT_FALSE(out.fit.one_group);
  EXPECT_GT(out.fit.bic_one, out.fit.bic_two);
  for (std::size_t i = 0; i < group.size(); ++i)
    for (std::size_t j = 0; j < group.size(); ++j)
      EXPECT_EQ(out.matrix[i][j], group[i] == group[j] ? 1.0 : 0.0) << i << "," << j;

  char bic[200];
  std::snprintf(bic, sizeof bic, "BIC(1)=%f  BIC(2)=%f", out.fit.bic_one, out.fit.bic_two);
  EXPECT_EQ(out.file_text,
            std::string("There exists population structure.\n") + kSecondLine + bic + ".\n\n");
  EXPECT_EQ(out.console_text,
            std::string("There exists population structure.\n") + kSecondLine + bic + "\n\n");
}

TEST(StructureTest, AllEqualSimilaritiesGiveOneGroupWithNaNBic) {
  for (int n : {2, 5}) {
    std::vector<std::vector<double>> s(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) s[i][i] = 1.0;
    const Outcome out = run_test(s);
    EXPECT_TRUE(std::isnan(out.fit.bic_one));
    EXPECT_FALSE(out.fit.structure);
    EXPECT_TRUE(out.fit.one_group);
    EXPECT_EQ(out.fit.passes, 3);
    EXPECT_EQ(out.fit.weight1, 0.0);
    EXPECT_EQ(out.fit.mean1, 0.0);
    EXPECT_EQ(out.fit.variance1, 1.0);
    for (const auto& row : out.matrix)
      for (double v : row) EXPECT_EQ(v, 1.0);
    EXPECT_EQ(out.file_text.rfind("There does not exist population structure.\n", 0), 0u);
    EXPECT_EQ(out.console_text.rfind("There does not exist population structure\n", 0), 0u);
  }
}

TEST(StructureTest, UnimodalSimilaritiesGiveOneGroupAndTheNoStructureVerdict) {
  // Pair similarities at scrambled quantiles of one normal distribution.
  const int n = 8;
  const int pairs = n * (n - 1) / 2;
  std::vector<std::vector<double>> s(n, std::vector<double>(n, 1.0));
  int k = 0;
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j, ++k) {
      const double q = ((k * 37) % pairs + 0.5) / pairs;
      double lo = -10, hi = 10;  // normal quantile of q by bisection
      for (int it = 0; it < 100; ++it) {
        const double mid = (lo + hi) / 2;
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < q ? lo : hi) = mid;
      }
      s[i][j] = s[j][i] = 0.5 + 0.01 * lo;
    }
  const Outcome out = run_test(s);
  ASSERT_LT(out.fit.bic_one, out.fit.bic_two);
  EXPECT_FALSE(out.fit.structure);
  for (const auto& row : out.matrix)
    for (double v : row) EXPECT_EQ(v, 1.0);
  char file_bic[200], console_bic[200];
  std::snprintf(file_bic, sizeof file_bic, "BIC(1)=%f  BIC(2)=%f.\n\n", out.fit.bic_one,
                out.fit.bic_two);
  std::snprintf(console_bic, sizeof console_bic, "BIC(1)=%f  BIC(2)=%f\n\n", out.fit.bic_one,
                out.fit.bic_two);
  EXPECT_EQ(out.file_text,
            std::string("There does not exist population structure.\n") + kSecondLine + file_bic);
  EXPECT_EQ(out.console_text,
            std::string("There does not exist population structure\n") + kSecondLine + console_bic);
}

TEST(StructureTest, IterationStopsOnceTheParametersRepeat) {
  const std::vector<int> group = {0, 1, 0, 1, 0, 1};
  const Outcome out = run_test(block_similarity(group, 0.7, 0.3, 0.05));
  // At least two assignments always run; a well separated sample settles fast.
  EXPECT_GE(out.fit.passes, 3);
  EXPECT_LT(out.fit.passes, 10);
  EXPECT_DOUBLE_EQ(out.fit.weight0 + out.fit.weight1, 1.0);
}

// The fast test on the distance table against the literal test on the full
// similarity matrix: same fit to the bit, same classification, same text.
void expect_fast_matches_literal(const std::vector<std::int64_t>& plain, int n, int loci) {
  const LocusCounts counts = make_locus_counts(plain);
  DoubleMatrix s = dmatrix(1, n, 1, n);
  literal::compute_similarity(counts, n, loci, s);
  std::FILE* literal_file = std::tmpfile();
  ::testing::internal::CaptureStdout();
  const StructureFit expected = literal::test_population_structure(s, n, n);
  write_verdict_block(literal_file, expected);
  print_verdict_block(expected);
  const std::string literal_console = ::testing::internal::GetCapturedStdout();

  const DistanceTable table = compute_distances(counts, n, loci, 1);
  SameGroup same_group;
  std::FILE* fast_file = std::tmpfile();
  ::testing::internal::CaptureStdout();
  const StructureFit fit = test_population_structure(table, same_group);
  write_verdict_block(fast_file, fit);
  print_verdict_block(fit);
  const std::string fast_console = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(fast_console, literal_console);
  EXPECT_EQ(read_all(fast_file), read_all(literal_file));
  std::fclose(fast_file);
  std::fclose(literal_file);
  auto same_bits = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  EXPECT_TRUE(same_bits(fit.bic_one, expected.bic_one)) << fit.bic_one << " " << expected.bic_one;
  EXPECT_TRUE(same_bits(fit.bic_two, expected.bic_two)) << fit.bic_two << " " << expected.bic_two;
  EXPECT_TRUE(same_bits(fit.mean1, expected.mean1));
  EXPECT_TRUE(same_bits(fit.variance0, expected.variance0));
  EXPECT_EQ(fit.passes, expected.passes);
  EXPECT_EQ(fit.one_group, expected.one_group);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j)
      ASSERT_EQ(same_group.test(i - 1, j - 1) ? 1.0 : 0.0, s[i][j])
          << i << "," << j;
  free_dmatrix(s, 1, n, 1, n);
}

TEST(FastStructureTest, MatchesTheLiteralTestOnRandomSamples) {
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 120; ++trial) {
    const int n = 2 + static_cast<int>(uniform_random(stream) * 40);
    const int loci = 1 + static_cast<int>(uniform_random(stream) * 60);
    const int populations = 1 + trial % 3;  // one, two, or three clusters
    std::vector<std::vector<double>> frequency(populations);
    for (auto& f : frequency)
      for (int l = 0; l < loci; ++l) f.push_back(uniform_random(stream));
    std::vector<std::int64_t> counts;
    for (int i = 0; i < n; ++i)
      for (int l = 0; l < loci; ++l) {
        const double p = frequency[i % populations][l];
        counts.push_back((uniform_random(stream) < p) + (uniform_random(stream) < p) +
                         (trial % 7 == 6 ? 5 * (i % 2) : 0));
      }
    SCOPED_TRACE("trial " + std::to_string(trial));
    expect_fast_matches_literal(counts, n, loci);
  }
}

TEST(FastStructureTest, MatchesTheLiteralTestWhenNoTwoIndividualsDiffer) {
  expect_fast_matches_literal(std::vector<std::int64_t>(12, 1), 4, 3);
  expect_fast_matches_literal({0, 2}, 2, 1);
}

}  // namespace
}  // namespace strataperm
