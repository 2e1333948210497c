#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/permutation_test.hpp"
#include "test_support.hpp"

namespace strataperm {
namespace {

using testing_support::draw_in;
using testing_support::make_doubles;
using testing_support::make_ints;
using testing_support::stream_with_next_draws;

TEST(GenotypeCoding, HomozygotesAreAdditiveEverythingElseDominance) {
  struct Case {
    long long sum;
    double x, z;
  };
  for (const Case& c : {Case{2, 1.0, 0.0}, Case{0, -1.0, 0.0}, Case{1, 0.0, 1.0},
                        Case{3, 0.0, 1.0}, Case{-1, 0.0, 1.0}, Case{4, 0.0, 1.0}}) {
    double x = 9, z = 9;
    code_genotype(c.sum, x, z);
    EXPECT_EQ(x, c.x) << c.sum;
    EXPECT_EQ(z, c.z) << c.sum;
  }
}

TEST(TraitCentring, SubtractsTheMeanFormedBeforeAnyChange) {
  DoubleVector y = make_doubles({1.0, 2.0, 6.0});
  centre_trait(y, 3);
  EXPECT_EQ(y[1], -2.0);
  EXPECT_EQ(y[2], -1.0);
  EXPECT_EQ(y[3], 3.0);
  free_dvector(y, 1, 3);
}

struct Classification {
  DoubleMatrix g;
  int n;
  explicit Classification(const std::vector<std::vector<double>>& rows)
      : n(static_cast<int>(rows.size())) {
    g = dmatrix(1, n, 1, n);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) g[i][j] = rows[i - 1][j - 1];
  }
  ~Classification() { free_dmatrix(g, 1, n, 1, n); }
};

TEST(GroupMeanAdjustment, EarlierRowsEnterLaterMeansAdjusted) {
  const Classification one_group({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  DoubleVector x = make_doubles({1.0, 1.0, 1.0});
  adjust_by_group_means(x, one_group.g, 3);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_DOUBLE_EQ(x[2], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(x[3], 5.0 / 9.0);
  free_dvector(x, 1, 3);
}

TEST(GroupMeanAdjustment, OnlyTheRowsOwnGroupEnters) {
  const Classification two_groups({{1, 0, 1, 0}, {0, 1, 0, 1}, {1, 0, 1, 0}, {0, 1, 0, 1}});
  DoubleVector x = make_doubles({2.0, 10.0, 4.0, 20.0});
  adjust_by_group_means(x, two_groups.g, 4);
  EXPECT_EQ(x[1], 2.0 - 3.0);
  EXPECT_EQ(x[2], 10.0 - 15.0);
  EXPECT_EQ(x[3], 4.0 - (-1.0 + 4.0) / 2.0);
  EXPECT_EQ(x[4], 20.0 - (-5.0 + 20.0) / 2.0);
  free_dvector(x, 1, 4);
}

TEST(AssociationStatistic, EvaluatesInItsFixedOrder) {
  const double zz = 0.1, xx = 0.7, xy = 1e8 / 3, zy = -2.2, xz = 0.3;
  const double expected = ((zz * xy) * xy + (xx * zy) * zy) - (((2 * xz) * zy) * xy);
  EXPECT_EQ(association_statistic(zz, xx, xy, zy, xz), expected);
}

TEST(GroupMembers, OnlyExactOnesMakeMembers) {
  const Classification g({{1, 0.9999999999999999, 1}, {0, 1, 0}, {1, 0, 1}});
  IntMatrix members = imatrix(1, 3, 1, 4);
  build_group_members(g.g, 3, members);
  EXPECT_EQ(members[1][1], 2);
  EXPECT_EQ(members[1][2], 1);
  EXPECT_EQ(members[1][3], 3);
  EXPECT_EQ(members[2][1], 1);
  EXPECT_EQ(members[2][2], 2);
  free_imatrix(members, 1, 3, 1, 4);
}

struct DonorRun {
  std::vector<int> donor;
  std::int64_t draws;
};

DonorRun run_donors(const std::vector<std::vector<double>>& g, const std::vector<int>& order,
                    RandomStream stream) {
  const Classification c(g);
  const int n = c.n;
  IntMatrix members = imatrix(1, n, 1, n + 1);
  build_group_members(c.g, n, members);
  IntVector visit = make_ints(order);
  IntVector candidates = ivector(1, n);
  IntVector donor = ivector(1, n);
  ByteVector taken = cvector(1, n);
  const std::int64_t before = stream.draws;
  assign_donors(visit, members, n, candidates, taken, donor, stream);
  DonorRun out{{}, stream.draws - before};
  for (int i = 1; i <= n; ++i) out.donor.push_back(donor[i]);
  free_cvector(taken, 1, n);
  free_ivector(donor, 1, n);
  free_ivector(candidates, 1, n);
  free_ivector(visit, 1, n);
  free_imatrix(members, 1, n, 1, n + 1);
  return out;
}

TEST(DonorAssignment, OneGroupOfThree) {
  // Draws U = 0.1 (q = 1 of 3) and U = 0.6 (q = 2 of 2), then anything.
  const RandomStream stream =
      stream_with_next_draws({draw_in(0.0, 1.0 / 3.0), draw_in(0.5, 1.0)});
  const DonorRun run = run_donors({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}}, {2, 3, 1}, stream);
  EXPECT_EQ(run.donor, (std::vector<int>{2, 1, 3}));
  EXPECT_EQ(run.draws, 3);
}

TEST(DonorAssignment, OverlappingListsCanLeaveAnIndividualItsOwnValue) {
  // Lists {1,2}, {1,2,3}, {2,3}; draws U = 0.2 (q = 1 of 3), U = 0.3 (q = 1 of 2).
  const RandomStream stream = stream_with_next_draws({draw_in(0.0, 1.0 / 3.0), draw_in(0.0, 0.5)});
  const DonorRun run = run_donors({{1, 1, 0}, {1, 1, 1}, {0, 1, 1}}, {2, 3, 1}, stream);
  EXPECT_EQ(run.donor, (std::vector<int>{1, 1, 2}));
  EXPECT_EQ(run.draws, 2);  // individual 1 found no candidate and drew nothing
}

TEST(DonorAssignment, SingletonListsKeepTheirOwnValuesButStillDraw) {
  const DonorRun run =
      run_donors({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, {3, 1, 2}, RandomStream{});
  EXPECT_EQ(run.donor, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(run.draws, 3);
}

TEST(DonorAssignment, PartitionsGiveAPermutationWithinEachGroup) {
  const std::vector<int> group = {0, 1, 1, 0, 2, 0, 1, 2, 0, 0};
  const int n = static_cast<int>(group.size());
  std::vector<std::vector<double>> g(n, std::vector<double>(n));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) g[i][j] = group[i] == group[j] ? 1.0 : 0.0;
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 50; ++trial) {
    IntVector order = ivector(1, n);
    random_permutation(order, n, stream);
    std::vector<int> visit;
    for (int i = 1; i <= n; ++i) visit.push_back(order[i]);
    free_ivector(order, 1, n);
    const DonorRun run = run_donors(g, visit, stream);
    for (int k = 0; k < n; ++k) uniform_random(stream);  // move on past the used draws
    EXPECT_EQ(run.draws, n);
    std::vector<int> sorted = run.donor;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(sorted[i], i + 1);
      EXPECT_EQ(group[run.donor[i] - 1], group[i]);
    }
  }
}

// A small study for run_analysis: two populations at the background loci.
struct Study {
  Parameters parameters;
  SampleData data;
  Study(int n, int l, int m, int r) {
    parameters.n_individuals = n;
    parameters.n_loci = l;
    parameters.n_markers = m;
    parameters.n_permutations = r;
    data.locus_allele1 = imatrix(1, n, 1, l);
    data.locus_allele2 = imatrix(1, n, 1, l);
    data.marker_allele1 = imatrix(1, n, 1, m);
    data.marker_allele2 = imatrix(1, n, 1, m);
    data.trait = dvector(1, n);
    RandomStream gen;
    seed_random_stream(gen);
    for (int i = 1; i <= n; ++i) {
      const double freq = i % 2 ? 0.15 : 0.85;
      for (int j = 1; j <= l; ++j) {
        data.locus_allele1[i][j] = uniform_random(gen) < freq;
        data.locus_allele2[i][j] = uniform_random(gen) < freq;
      }
      for (int j = 1; j <= m; ++j) {
        data.marker_allele1[i][j] = uniform_random(gen) < 0.4;
        data.marker_allele2[i][j] = uniform_random(gen) < 0.4;
      }
      data.trait[i] = (i % 2) + uniform_random(gen);
    }
  }
  ~Study() {
    const int n = parameters.n_individuals;
    free_imatrix(data.locus_allele1, 1, n, 1, parameters.n_loci);
    free_imatrix(data.locus_allele2, 1, n, 1, parameters.n_loci);
    free_imatrix(data.marker_allele1, 1, n, 1, parameters.n_markers);
    free_imatrix(data.marker_allele2, 1, n, 1, parameters.n_markers);
    free_dvector(data.trait, 1, n);
  }
  std::vector<double> run(RandomStream& stream, StructureFit* fit = nullptr) {
    const int m = parameters.n_markers;
    DoubleVector p = dvector(1, m);
    std::FILE* sink = std::tmpfile();
    ::testing::internal::CaptureStdout();
    const StructureFit f = run_analysis(parameters, data, p, sink, stream);
    ::testing::internal::GetCapturedStdout();
    std::fclose(sink);
    if (fit != nullptr) *fit = f;
    std::vector<double> out;
    for (int j = 1; j <= m; ++j) out.push_back(p[j]);
    free_dvector(p, 1, m);
    return out;
  }
};

TEST(RunAnalysis, PValuesAreMultiplesOfOneOverTwoR) {
  Study study(24, 30, 12, 7);
  RandomStream stream;
  seed_random_stream(stream);
  StructureFit fit;
  const std::vector<double> p = study.run(stream, &fit);
  EXPECT_TRUE(fit.structure);
  for (double v : p) {
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 1.0);
    const double halves = v * 2 * 7;
    EXPECT_EQ(halves, std::round(halves));
  }
  // Partitioned groups: every replicate takes exactly 2N draws.
  EXPECT_EQ(stream.draws, 7 * 2 * 24);
}

TEST(RunAnalysis, MonomorphicAndAllHeterozygousMarkersTieEveryReplicate) {
  Study study(10, 20, 3, 9);
  for (int i = 1; i <= 10; ++i) {
    study.data.marker_allele1[i][1] = study.data.marker_allele2[i][1] = i % 2;  // homozygotes
    study.data.marker_allele1[i][2] = 1;  // sums 3 and 1: all heterozygous
    study.data.marker_allele2[i][2] = 2 * (i % 2);
  }
  RandomStream stream;
  seed_random_stream(stream);
  const std::vector<double> p = study.run(stream);
  EXPECT_EQ(p[0], 0.5);
  EXPECT_EQ(p[1], 0.5);
}

TEST(RunAnalysis, RepeatsExactlyFromTheSameSeeds) {
  RandomStream a, b;
  seed_random_stream(a);
  seed_random_stream(b);
  Study first(16, 25, 5, 20);
  Study second(16, 25, 5, 20);
  EXPECT_EQ(first.run(a), second.run(b));
  EXPECT_EQ(a.draws, b.draws);
}

}  // namespace
}  // namespace strataperm
