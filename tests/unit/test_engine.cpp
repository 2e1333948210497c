#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/engine.hpp"
#include "analysis/kernels.hpp"
#include "io/results_file.hpp"
#include "literal_engine.hpp"
#include "support.hpp"

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
    literal::code_genotype(c.sum, x, z);
    EXPECT_EQ(x, c.x) << c.sum;
    EXPECT_EQ(z, c.z) << c.sum;
  }
}

TEST(TraitCentring, SubtractsTheMeanFormedBeforeAnyChange) {
  DoubleVector y = make_doubles({1.0, 2.0, 6.0});
  literal::centre_trait(y, 3);
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

TEST(SequentialAdjustment, EarlierRowsEnterLaterMeansAdjusted) {
  const Classification one_group({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  DoubleVector x = make_doubles({1.0, 1.0, 1.0});
  literal::adjust_sequentially(x, one_group.g, 3);
  EXPECT_EQ(x[1], 0.0);
  EXPECT_DOUBLE_EQ(x[2], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(x[3], 5.0 / 9.0);
  free_dvector(x, 1, 3);
}

TEST(SequentialAdjustment, OnlyTheRowsOwnGroupEnters) {
  const Classification two_groups({{1, 0, 1, 0}, {0, 1, 0, 1}, {1, 0, 1, 0}, {0, 1, 0, 1}});
  DoubleVector x = make_doubles({2.0, 10.0, 4.0, 20.0});
  literal::adjust_sequentially(x, two_groups.g, 4);
  EXPECT_EQ(x[1], 2.0 - 3.0);
  EXPECT_EQ(x[2], 10.0 - 15.0);
  EXPECT_EQ(x[3], 4.0 - (-1.0 + 4.0) / 2.0);
  EXPECT_EQ(x[4], 20.0 - (-5.0 + 20.0) / 2.0);
  free_dvector(x, 1, 4);
}

// The member lists of a 0/1 classification, as the literal engine keeps them.
struct Members {
  IntMatrix m;
  int n;
  explicit Members(const Classification& c) : n(c.n) {
    m = imatrix(1, n, 1, n + 1);
    literal::build_group_members(c.g, n, m);
  }
  ~Members() { free_imatrix(m, 1, n, 1, n + 1); }
};

TEST(ListMeanAdjustment, EqualCodesInAGroupBecomeZeros) {
  const Classification one_group({{1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  const Members members(one_group);
  DoubleVector x = make_doubles({1.0, 1.0, 1.0});
  literal::adjust_by_list_means(x, members.m, 3);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(x[i], 0.0);
  free_dvector(x, 1, 3);
}

TEST(ListMeanAdjustment, EveryMeanComesFromTheUnadjustedCodes) {
  const Classification two_groups({{1, 0, 1, 0}, {0, 1, 0, 1}, {1, 0, 1, 0}, {0, 1, 0, 1}});
  const Members partition(two_groups);
  DoubleVector x = make_doubles({2.0, 10.0, 4.0, 20.0});
  literal::adjust_by_list_means(x, partition.m, 4);
  EXPECT_EQ(x[1], -1.0);
  EXPECT_EQ(x[2], -5.0);
  EXPECT_EQ(x[3], 1.0);
  EXPECT_EQ(x[4], 5.0);
  free_dvector(x, 1, 4);
  // Overlapping lists {1,2}, {1,2,3}, {2,3}: individual 3's mean uses
  // individual 2's code as it was, not as adjusted.
  const Classification overlapping({{1, 1, 0}, {1, 1, 1}, {0, 1, 1}});
  const Members lists(overlapping);
  DoubleVector z = make_doubles({3.0, 6.0, 12.0});
  literal::adjust_by_list_means(z, lists.m, 3);
  EXPECT_EQ(z[1], 3.0 - 4.5);
  EXPECT_EQ(z[2], 6.0 - 7.0);
  EXPECT_EQ(z[3], 12.0 - 9.0);
  free_dvector(z, 1, 3);
}

TEST(ListMeanAdjustment, WithinListSumOfSquaresAndDistinctLists) {
  const Classification overlapping({{1, 1, 0}, {1, 1, 1}, {0, 1, 1}});
  const Members lists(overlapping);
  DoubleVector y = make_doubles({3.0, 6.0, 12.0});
  // Means 4.5, 7, 9: residuals -1.5, -1, 3.
  EXPECT_EQ(literal::within_list_sum_of_squares(y, lists.m, 3), 2.25 + 1.0 + 9.0);
  EXPECT_EQ(literal::count_distinct_lists(lists.m, 3), 3);
  free_dvector(y, 1, 3);
  const Classification two_groups({{1, 0, 1, 0}, {0, 1, 0, 1}, {1, 0, 1, 0}, {0, 1, 0, 1}});
  EXPECT_EQ(literal::count_distinct_lists(Members(two_groups).m, 4), 2);

  // The fast engine's versions agree.
  const std::vector<double> values = {3.0, 6.0, 12.0};
  std::vector<std::uint8_t> same = {1, 1, 0, 1, 1, 1, 0, 1, 1};
  const GroupLists fast = build_group_lists(SameGroup::from_bytes(same, 3));
  EXPECT_EQ(within_list_sum_of_squares(fast, values.data()), 2.25 + 1.0 + 9.0);
  EXPECT_EQ(count_distinct_lists(fast), 3);
  const GroupLists clusters = build_group_lists(same_group_of_clusters({7, 2, 7, 2, 5}));
  ASSERT_TRUE(clusters.partitions());
  EXPECT_EQ(count_distinct_lists(clusters), 3);
  const std::vector<double> five = {1.0, 2.0, 3.0, 6.0, 100.0};
  // Group means 2 and 4 (and 100 alone): residuals -1, -2, 1, 2, 0.
  EXPECT_EQ(within_list_sum_of_squares(clusters, five.data()), 10.0);
}

TEST(AssociationStatistic, EvaluatesInItsFixedOrder) {
  const double zz = 0.1, xx = 0.7, xy = 1e8 / 3, zy = -2.2, xz = 0.3;
  const double expected = ((zz * xy) * xy + (xx * zy) * zy) - (((2 * xz) * zy) * xy);
  EXPECT_EQ(association_statistic(zz, xx, xy, zy, xz), expected);
  EXPECT_EQ(literal::association_statistic(zz, xx, xy, zy, xz), expected);
}

TEST(GroupMembers, OnlyExactOnesMakeMembers) {
  const Classification g({{1, 0.9999999999999999, 1}, {0, 1, 0}, {1, 0, 1}});
  IntMatrix members = imatrix(1, 3, 1, 4);
  literal::build_group_members(g.g, 3, members);
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
  literal::build_group_members(c.g, n, members);
  IntVector visit = make_ints(order);
  IntVector candidates = ivector(1, n);
  IntVector donor = ivector(1, n);
  ByteVector taken = cvector(1, n);
  const std::int64_t before = stream.draws;
  literal::assign_donors(visit, members, n, candidates, taken, donor, stream);
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

// Donor draws over bitsets against the literal scan of the member lists.
TEST(DonorSampler, DrawsTheSameDonorsAsTheListScan) {
  RandomStream data;
  seed_random_stream(data);
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 150; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * 150);
    std::vector<std::vector<double>> g(n, std::vector<double>(n, 0.0));
    const int kind = trial % 4;
    std::vector<int> cluster(n);
    for (int i = 0; i < n; ++i) cluster[i] = static_cast<int>(uniform_random(data) * 3);
    for (int i = 0; i < n; ++i) {
      g[i][i] = 1.0;
      for (int j = 0; j < i; ++j) {
        bool same = false;
        if (kind == 0) same = true;                                   // one group
        if (kind == 1) same = cluster[i] == cluster[j];               // partition
        if (kind == 2) same = std::abs(cluster[i] - cluster[j]) <= 1 && uniform_random(data) < 0.8;
        g[i][j] = g[j][i] = same ? 1.0 : 0.0;                          // kind 3: singletons
      }
    }
    const Classification c(g);
    IntMatrix members = imatrix(1, n, 1, n + 1);
    literal::build_group_members(c.g, n, members);
    std::vector<std::uint8_t> same_group(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) same_group[static_cast<std::size_t>(i) * n + j] = g[i][j] == 1.0;
    DonorSampler sampler(SameGroup::from_bytes(same_group, n));

    IntVector order = ivector(1, n);
    literal::literal_random_permutation(order, n, data);
    std::vector<int> visit;
    for (int k = 1; k <= n; ++k) visit.push_back(order[k] - 1);
    IntVector candidates = ivector(1, n);
    IntVector donor = ivector(1, n);
    ByteVector taken = cvector(1, n);
    RandomStream copy = stream;
    literal::assign_donors(order, members, n, candidates, taken, donor, stream);
    std::vector<int> fast_donor(n);
    sampler.assign(visit, fast_donor, copy);
    ASSERT_EQ(copy.draws, stream.draws) << "trial " << trial;
    for (int i = 1; i <= n; ++i) ASSERT_EQ(fast_donor[i - 1], donor[i] - 1) << "trial " << trial;
    free_cvector(taken, 1, n);
    free_ivector(donor, 1, n);
    free_ivector(candidates, 1, n);
    free_ivector(order, 1, n);
    free_imatrix(members, 1, n, 1, n + 1);
  }
}

// With a partition the donors come from counting trees over each group's
// members: the same donors and the same draws as the bitset scan, replicate
// after replicate (the trees and counts are rebuilt each time).
TEST(DonorSampler, GroupTreesDrawLikeTheBitsetScan) {
  RandomStream data;
  seed_random_stream(data);
  for (int trial = 0; trial < 120; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * (trial % 3 == 0 ? 700 : 130));
    const int groups = 1 + static_cast<int>(uniform_random(data) * 6);
    std::vector<int> cluster(static_cast<std::size_t>(n));
    for (int& c : cluster) c = static_cast<int>(uniform_random(data) * groups);
    SameGroup same(n, false);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        if (cluster[static_cast<std::size_t>(i)] == cluster[static_cast<std::size_t>(j)]) same.set(i, j);
    DonorSampler sampler{SameGroup(same)};
    RandomStream trees, scan;
    seed_random_stream(trees);
    advance_random_stream(trees, 1000 * trial);
    scan = trees;
    std::vector<int> visit(static_cast<std::size_t>(n)), by_trees(visit.size()), by_scan(visit.size());
    for (int rep = 0; rep < 5; ++rep) {
      for (int k = 0; k < n; ++k) visit[static_cast<std::size_t>(k)] = k;
      for (int k = n - 1; k > 0; --k)
        std::swap(visit[static_cast<std::size_t>(k)],
                  visit[static_cast<std::size_t>(uniform_random(data) * (k + 1))]);
      sampler.assign(visit, by_trees, trees);
      sampler.assign_over_bitsets(visit, by_scan, scan);
      ASSERT_EQ(trees.draws, scan.draws) << "trial " << trial << ", replicate " << rep;
      ASSERT_EQ(trees.draws - 1000 * trial, static_cast<std::int64_t>(n) * (rep + 1));
      ASSERT_EQ(by_trees, by_scan) << "trial " << trial << ", replicate " << rep;
      for (int i = 0; i < n; ++i)
        ASSERT_EQ(cluster[static_cast<std::size_t>(by_trees[static_cast<std::size_t>(i)])],
                  cluster[static_cast<std::size_t>(i)]);
    }
  }
}

TEST(RandomPermutation, OrderStatisticTreeDrawsLikeTheShiftingPool) {
  RandomStream a, b;
  seed_random_stream(a);
  seed_random_stream(b);
  for (int n : {1, 2, 3, 10, 64, 65, 1000}) {
    IntVector fast = ivector(1, n), plain = ivector(1, n);
    random_permutation(fast, n, a);
    literal::literal_random_permutation(plain, n, b);
    for (int i = 1; i <= n; ++i) ASSERT_EQ(fast[i], plain[i]) << n;
    EXPECT_EQ(a.draws, b.draws);
    free_ivector(fast, 1, n);
    free_ivector(plain, 1, n);
  }
}

// Random lists (one group, partition or overlapping) in GroupLists form.
GroupLists random_lists(int n, int kind, RandomStream& data) {
  std::vector<std::uint8_t> same(static_cast<std::size_t>(n) * n, 0);
  for (int i = 0; i < n; ++i) {
    same[static_cast<std::size_t>(i) * n + i] = 1;
    for (int j = 0; j < i; ++j) {
      const bool together = kind == 0 || (kind == 1 ? (i % 3) == (j % 3) : uniform_random(data) < 0.6);
      same[static_cast<std::size_t>(i) * n + j] = same[static_cast<std::size_t>(j) * n + i] = together;
    }
  }
  return build_group_lists(SameGroup::from_bytes(same, n));
}

TEST(Kernels, GroupMeanAdjustmentMatchesThePlainLoopBitForBit) {
  RandomStream data;
  seed_random_stream(data);
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * 70);
    const int width = 1 + static_cast<int>(uniform_random(data) * 40);
    const GroupLists lists = random_lists(n, trial % 3, data);
    std::vector<double> codes(static_cast<std::size_t>(n) * width);
    for (double& v : codes) v = static_cast<int>(uniform_random(data) * 3) - 1.0;
    std::vector<double> plain = codes;
    adjust_sequentially(codes.data(), n, width, lists);
    adjust_sequentially_plain(plain.data(), n, width, lists);
    ASSERT_EQ(0, std::memcmp(codes.data(), plain.data(), codes.size() * sizeof(double)))
        << "trial " << trial;
  }
}

TEST(Kernels, ListMeanAdjustmentMatchesThePlainLoopBitForBit) {
  RandomStream data;
  seed_random_stream(data);
  for (int trial = 0; trial < 90; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * 90);
    const int width = 1 + static_cast<int>(uniform_random(data) * 140);
    const GroupLists lists = random_lists(n, trial % 3, data);
    std::vector<double> codes(static_cast<std::size_t>(n) * width);
    for (double& v : codes) {
      const double u = uniform_random(data);
      // Unit codes, and now and then the mean codes of a missing call.
      v = u < 0.1 ? uniform_random(data) * 2 - 1 : static_cast<int>(u * 3) - 1.0;
    }
    std::vector<double> plain = codes;
    adjust_by_list_means(codes.data(), n, width, lists);
    adjust_by_list_means_plain(plain.data(), n, width, lists);
    ASSERT_EQ(0, std::memcmp(codes.data(), plain.data(), codes.size() * sizeof(double)))
        << "trial " << trial << ", n " << n << ", width " << width;
  }
}

// Partitions into groups of the given sizes, members interleaved at random.
GroupLists random_partition(const std::vector<int>& sizes, RandomStream& data) {
  std::vector<int> group_of;
  for (std::size_t g = 0; g < sizes.size(); ++g) group_of.insert(group_of.end(), sizes[g], static_cast<int>(g));
  for (std::size_t k = group_of.size(); k > 1; --k)
    std::swap(group_of[k - 1], group_of[static_cast<std::size_t>(uniform_random(data) * k)]);
  // The lists as build_group_lists makes them, without its n x n matrix.
  const int n = static_cast<int>(group_of.size());
  std::vector<std::vector<int>> members(sizes.size());
  for (int i = 0; i < n; ++i) members[static_cast<std::size_t>(group_of[i])].push_back(i);
  GroupLists lists;
  lists.start.assign(static_cast<std::size_t>(n), 0);
  lists.count.assign(static_cast<std::size_t>(n), 0);
  lists.group.assign(static_cast<std::size_t>(n), 0);
  lists.owner.assign(static_cast<std::size_t>(n), 0);
  lists.position.assign(static_cast<std::size_t>(n), 0);
  std::vector<int> number(sizes.size(), -1);
  std::vector<std::int64_t> stored(sizes.size(), -1);
  for (int i = 0; i < n; ++i) {
    const std::size_t g0 = static_cast<std::size_t>(group_of[i]);
    const std::vector<int>& list = members[g0];
    if (stored[g0] < 0) {
      stored[g0] = static_cast<std::int64_t>(lists.members.size());
      lists.members.insert(lists.members.end(), list.begin(), list.end());
    }
    lists.start[static_cast<std::size_t>(i)] = stored[g0];
    lists.count[static_cast<std::size_t>(i)] = static_cast<int>(list.size());
    int& g = number[g0];
    if (g < 0) g = lists.groups++;
    lists.group[static_cast<std::size_t>(i)] = g;
    lists.owner[static_cast<std::size_t>(i)] = list.front();
    lists.position[static_cast<std::size_t>(i)] =
        static_cast<int>(std::lower_bound(list.begin(), list.end(), i) - list.begin());
  }
  return lists;
}

// The jumping adjustment of a partition against the plain loop and the
// vectorized sums, on columns that make it jump: large groups, long runs of
// one sign (the running value climbing through many binades), a few codes
// that are not -1, 0 or 1 (the means that stand for missing calls, and
// values far from integers), and columns that are all one code.
TEST(Kernels, JumpingGroupMeanAdjustmentIsTheSequentialSumBitForBit) {
  RandomStream data;
  seed_random_stream(data);
  const std::vector<std::vector<int>> partitions = {
      {1}, {2}, {3, 1}, {50, 70}, {400}, {1000, 999}, {2500, 7, 1, 600}, {20000}};
  for (std::size_t trial = 0; trial < partitions.size() * 2 - 1; ++trial) {  // 20000 once
    const std::vector<int>& sizes = partitions[trial % partitions.size()];
    const GroupLists lists = random_partition(sizes, data);
    const int n = static_cast<int>(lists.group.size());
    const int width = n > 3000 ? 6 : 24;
    std::vector<double> codes(static_cast<std::size_t>(n) * width);
    for (int c = 0; c < width; ++c) {
      const int kind = (c + static_cast<int>(trial)) % 6;
      const double fraction = uniform_random(data);
      for (int i = 0; i < n; ++i) {
        const double u = uniform_random(data);
        double v = static_cast<int>(u * 3) - 1.0;                      // random unit codes
        if (kind == 1) v = u < 0.9 ? 1.0 : 0.0;                        // long runs of +1
        if (kind == 2) v = i < n / 2 ? -1.0 : (u < 0.5 ? 1.0 : 0.0);  // a long run of -1 first
        if (kind == 3) v = u < 0.05 ? fraction * 3 - 1.5 : v;         // some means of calls
        if (kind == 4) v = u < 0.02 ? (u - 0.01) * 1e9 + 0.1 : v;     // values far from integers
        if (kind == 5) v = 1.0;                                         // one code throughout
        codes[static_cast<std::size_t>(i) * width + c] = v;
      }
    }
    std::vector<double> plain = codes, vectorized = codes;
    adjust_sequentially(codes.data(), n, width, lists);
    adjust_sequentially_plain(plain.data(), n, width, lists);
    adjust_sequentially_vectorized(vectorized.data(), n, width, lists);
    ASSERT_EQ(0, std::memcmp(codes.data(), plain.data(), codes.size() * sizeof(double)))
        << "trial " << trial << ", n " << n;
    ASSERT_EQ(0, std::memcmp(vectorized.data(), plain.data(), codes.size() * sizeof(double)))
        << "trial " << trial << ", n " << n;
  }
}

TEST(Kernels, PermutedSumsMatchThePlainDotProductsBitForBit) {
  RandomStream data;
  seed_random_stream(data);
  // Odd and even widths, strides with and without a last panel of 8.
  for (int trial = 0; trial < 80; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * 600);  // spans several chunks
    const int width = 1 + static_cast<int>(uniform_random(data) * (trial % 4 == 0 ? 130 : 13));
    const int stride = 8 * (1 + static_cast<int>(uniform_random(data) * 5));
    std::vector<double> codes(static_cast<std::size_t>(n) * width), y(static_cast<std::size_t>(n) * stride);
    for (double& v : codes) v = uniform_random(data) - 0.4;
    for (double& v : y) v = (uniform_random(data) - 0.5) * 1e3;
    std::vector<double> fast(static_cast<std::size_t>(width) * stride), plain(fast.size());
    permuted_sums(codes.data(), y.data(), n, width, stride, fast.data());
    permuted_sums_plain(codes.data(), y.data(), n, width, stride, plain.data());
    ASSERT_EQ(0, std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(double)))
        << "trial " << trial;
  }
}

// A random study in memory: `populations` clusters at the background loci.
struct Study {
  Parameters parameters;
  SampleData data;
  Study(int n, int l, int m, int r, int populations, RandomStream& gen, bool odd_codes = false,
        bool tied_traits = false, double missing = 0.0) {
    parameters.n_individuals = n;
    parameters.n_loci = l;
    parameters.n_markers = m;
    parameters.n_permutations = r;
    std::vector<std::vector<double>> frequency(populations);
    for (auto& f : frequency)
      for (int j = 0; j < l; ++j) f.push_back(uniform_random(gen));
    std::vector<std::int64_t> counts;
    for (int i = 0; i < n; ++i) {
      const int pop = i % populations;
      for (int j = 0; j < l; ++j) {
        const double p = frequency[pop][j];
        counts.push_back((uniform_random(gen) < p) + (uniform_random(gen) < p) +
                         (odd_codes ? 300 * (j % 2) : 0));
      }
      for (int j = 0; j < m; ++j) {
        std::int64_t sum = (uniform_random(gen) < 0.4) + (uniform_random(gen) < 0.4);
        if (odd_codes) sum += static_cast<int>(uniform_random(gen) * 3) - 1;
        // Individual 0 keeps its calls, so every marker has one.
        const bool lost = i > 0 && uniform_random(gen) < missing;
        data.marker_class.push_back(lost ? kMissing : marker_class_of(sum));
      }
      data.trait.push_back(tied_traits ? static_cast<int>(uniform_random(gen) * 3)
                                       : pop + uniform_random(gen) - 0.5);
    }
    data.locus_count = make_locus_counts(counts);
  }
  struct Outcome {
    StructureFit fit;
    std::vector<double> p;
    std::int64_t draws;
    std::string console;
    std::vector<MarkerStatistics> markers;  // as handed on, in marker order
    double sum_y2;
    int distinct_lists;
    std::vector<double> maxima;
  };
  Adjustment adjustment = Adjustment::means;
  std::vector<int> clusters;
  Covariates covariates;
  Outcome run(bool fast, int threads = 1, int chunk = 0) {
    RandomStream stream;
    seed_random_stream(stream);
    ::testing::internal::CaptureStdout();
    AnalysisOptions options;
    options.adjustment = adjustment;
    options.clusters = clusters;
    options.covariates = covariates;
    options.threads = threads;
    options.chunk_replicates = chunk;
    options.on_structure = print_verdict_block;
    Outcome out;
    options.on_markers = [&out](long first, std::span<const MarkerStatistics> block) {
      EXPECT_EQ(first, static_cast<long>(out.markers.size()));
      out.markers.insert(out.markers.end(), block.begin(), block.end());
    };
    InMemoryMarkers markers(data, parameters.n_individuals, parameters.n_markers);
    const AnalysisResult result =
        fast ? run_analysis(parameters, data, markers, stream, options)
             : literal::run_analysis(parameters, data, markers, stream, options);
    out.console = ::testing::internal::GetCapturedStdout();
    out.fit = result.fit;
    out.draws = stream.draws;
    out.p = result.p_values;
    out.sum_y2 = result.sum_y2;
    out.distinct_lists = result.distinct_lists;
    out.maxima = result.replicate_maxima;
    return out;
  }
};

TEST(RunAnalysis, PValuesAreMultiplesOfOneOverTwoR) {
  RandomStream gen;
  seed_random_stream(gen);
  Study study(24, 30, 12, 7, 2, gen);
  const Study::Outcome out = study.run(true);
  for (double v : out.p) {
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 1.0);
    const double halves = v * 2 * 7;
    EXPECT_EQ(halves, std::round(halves));
  }
}

TEST(RunAnalysis, MonomorphicAndAllHeterozygousMarkersTieEveryReplicate) {
  RandomStream gen;
  seed_random_stream(gen);
  Study study(10, 20, 3, 9, 2, gen);
  for (int i = 0; i < 10; ++i) {
    study.data.marker_class[static_cast<std::size_t>(i) * 3] = i % 2 ? kSumTwo : kSumZero;
    study.data.marker_class[static_cast<std::size_t>(i) * 3 + 1] = kHeterozygous;
  }
  EXPECT_EQ(study.run(true).p[0], 0.5);
  EXPECT_EQ(study.run(true).p[1], 0.5);
}

void expect_fast_matches_literal(Study& study, int m);

// The fast engine against the literal one on random studies of every regime:
// the same P-values to the bit, the same verdict text, the same draws, the
// same per-marker sums and replicate maxima, with and without missing calls,
// for any number of threads, with either adjustment and with user-given
// groups.
TEST(RunAnalysis, FastEngineMatchesTheLiteralEngineOnEveryRegime) {
  RandomStream gen;
  seed_random_stream(gen);
  for (int trial = 0; trial < 120; ++trial) {
    const int regime = trial % 8;
    int n = 2 + static_cast<int>(uniform_random(gen) * 60);
    int m = 1 + static_cast<int>(uniform_random(gen) * 150);
    const int l = 1 + static_cast<int>(uniform_random(gen) * 50);
    const int r = 1 + static_cast<int>(uniform_random(gen) * 30);
    if (regime == 6) n = 2;
    if (regime == 7) m = 1;
    const int populations = regime == 0 ? 1 : regime == 2 ? 3 : 2;
    const double missing = trial % 3 == 1 ? 0.05 + 0.5 * uniform_random(gen) : 0.0;
    Study study(n, l, m, r, populations, gen, regime == 3, regime == 4, missing);
    study.adjustment = trial % 3 == 2 ? Adjustment::sequential : Adjustment::means;
    if (trial % 5 == 4) {
      const int labels = 1 + static_cast<int>(uniform_random(gen) * 4);
      for (int i = 0; i < n; ++i) study.clusters.push_back(static_cast<int>(uniform_random(gen) * labels) * 3);
    }
    SCOPED_TRACE("trial " + std::to_string(trial) + ", n " + std::to_string(n) + ", m " +
                 std::to_string(m) + ", " + adjustment_name(study.adjustment) +
                 (study.clusters.empty() ? "" : ", user-given groups"));
    expect_fast_matches_literal(study, m);
  }
}

// With covariates: the residuals on the reduced model (by the model's fast
// tiles in the engine, its plain twin in the literal engine), the list means
// where the lists overlap, the same sums, S and maxima to the bit.
TEST(RunAnalysis, FastEngineMatchesTheLiteralEngineWithCovariates) {
  RandomStream gen;
  seed_random_stream(gen);
  for (int trial = 0; trial < 60; ++trial) {
    const int regime = trial % 4;
    const int n = 14 + static_cast<int>(uniform_random(gen) * 60);
    const int m = 1 + static_cast<int>(uniform_random(gen) * 140);
    const int l = 1 + static_cast<int>(uniform_random(gen) * 50);
    const int r = 1 + static_cast<int>(uniform_random(gen) * 20);
    const int k = 1 + static_cast<int>(uniform_random(gen) * 4);
    const double missing = trial % 3 == 1 ? 0.05 + 0.3 * uniform_random(gen) : 0.0;
    Study study(n, l, m, r, regime == 0 ? 1 : 2, gen, false, false, missing);
    if (regime == 3) {
      const int labels = 1 + static_cast<int>(uniform_random(gen) * 4);
      for (int i = 0; i < n; ++i) study.clusters.push_back(i % labels);
    }
    for (int c = 0; c < k; ++c) {
      std::string name = "c";
      name += std::to_string(c + 1);
      study.covariates.names.push_back(name);
    }
    for (int i = 0; i < n; ++i)
      for (int c = 0; c < k; ++c)
        study.covariates.values.push_back(c == 0 ? study.data.trait[static_cast<std::size_t>(i)] +
                                                       uniform_random(gen)
                                                 : 10.0 * uniform_random(gen) - 3.0);
    SCOPED_TRACE("trial " + std::to_string(trial) + ", n " + std::to_string(n) + ", m " +
                 std::to_string(m) + ", " + std::to_string(k) + " covariates" +
                 (study.clusters.empty() ? "" : ", user-given groups"));
    expect_fast_matches_literal(study, m);
  }
}

void expect_fast_matches_literal(Study& study, int m) {
  {
    const Study::Outcome expected = study.run(false);
    // Any number of threads, any chunking of the replicates.
    for (const auto& [threads, chunk] : {std::pair{1, 0}, std::pair{3, 0}, std::pair{2, 8}, std::pair{1, 3}}) {
      const Study::Outcome fast = study.run(true, threads, chunk);
      ASSERT_EQ(fast.console, expected.console);
      ASSERT_EQ(fast.draws, expected.draws);
      ASSERT_EQ(0, std::memcmp(fast.p.data(), expected.p.data(), fast.p.size() * sizeof(double)));
      // What the per-marker table is made of, to the bit.
      ASSERT_EQ(fast.markers.size(), static_cast<std::size_t>(m));
      for (int j = 0; j < m; ++j) {
        const MarkerStatistics& a = fast.markers[static_cast<std::size_t>(j)];
        const MarkerStatistics& b = expected.markers[static_cast<std::size_t>(j)];
        for (auto field : {&MarkerStatistics::sum_zz, &MarkerStatistics::sum_xx,
                           &MarkerStatistics::sum_xy, &MarkerStatistics::sum_zy,
                           &MarkerStatistics::sum_xz, &MarkerStatistics::t_observed,
                           &MarkerStatistics::p_value, &MarkerStatistics::exceed})
          ASSERT_EQ(0, std::memcmp(&(a.*field), &(b.*field), sizeof(double))) << "marker " << j + 1;
        ASSERT_EQ(a.called, b.called);
        ASSERT_EQ(a.copies, b.copies);
      }
      ASSERT_EQ(0, std::memcmp(&fast.sum_y2, &expected.sum_y2, sizeof(double)));
      ASSERT_EQ(fast.distinct_lists, expected.distinct_lists);
      ASSERT_EQ(fast.maxima.size(), expected.maxima.size());
      ASSERT_EQ(0, std::memcmp(fast.maxima.data(), expected.maxima.data(),
                               fast.maxima.size() * sizeof(double)));
    }
  }
}

}  // namespace
}  // namespace strataperm
