#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/distance_table.hpp"
#include "analysis/kernels.hpp"
#include "literal_engine.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

// Allele counts (the sum of the two codes) from per-individual lists of
// (allele1, allele2).
struct Loci {
  std::vector<std::int64_t> plain;
  LocusCounts count;
  int n, l;
  Loci(const std::vector<std::vector<std::pair<int, int>>>& genotypes)
      : n(static_cast<int>(genotypes.size())), l(static_cast<int>(genotypes[0].size())) {
    for (const auto& row : genotypes)
      for (const auto& [a, b] : row) plain.push_back(static_cast<std::int64_t>(a) + b);
    count = make_locus_counts(plain);
  }
};

// The similarity matrix both ways: literally, and from the distance table of
// the fast stage (which must agree entry for entry, bit for bit).
std::vector<std::vector<double>> similarity_of(const Loci& loci, double* max_distance = nullptr) {
  DoubleMatrix s = dmatrix(1, loci.n, 1, loci.n);
  const double max = literal::compute_similarity(loci.count, loci.n, loci.l, s);
  if (max_distance != nullptr) *max_distance = max;
  const DistanceTable table = compute_distances(loci.count, loci.n, loci.l, 2);
  EXPECT_EQ(table.max_distance, max);
  std::vector<std::vector<double>> out(loci.n, std::vector<double>(loci.n));
  for (int i = 1; i <= loci.n; ++i)
    for (int j = 1; j <= loci.n; ++j) {
      out[i - 1][j - 1] = s[i][j];
      const double fast =
          table.similarity(table.index[static_cast<std::size_t>(i - 1) * loci.n + (j - 1)]);
      if (i != j || max > 0) {
        EXPECT_TRUE(fast == s[i][j] || (std::isnan(fast) && std::isnan(s[i][j]))) << i << "," << j;
      }
    }
  free_dmatrix(s, 1, loci.n, 1, loci.n);
  return out;
}

TEST(Similarity, TwoIndividualsAtOppositeHomozygotes) {
  const Loci loci({{{0, 0}}, {{1, 1}}});
  double max = 0;
  const auto s = similarity_of(loci, &max);
  EXPECT_EQ(max, 2.0);
  EXPECT_EQ(s, (std::vector<std::vector<double>>{{1.0, 0.0}, {0.0, 1.0}}));
}

TEST(Similarity, ThreeIndividualsTwoLoci) {
  // Allele counts (0, 0), (1, 2), (2, 2): distances 3, 4 and 1, largest 4.
  const Loci loci({{{0, 0}, {0, 0}}, {{1, 0}, {1, 1}}, {{1, 1}, {1, 1}}});
  const auto s = similarity_of(loci);
  EXPECT_EQ(s, (std::vector<std::vector<double>>{
                   {1.0, 0.25, 0.0}, {0.25, 1.0, 0.75}, {0.0, 0.75, 1.0}}));
}

TEST(Similarity, OnlyTheSumOfTheTwoCodesCounts) {
  const Loci loci({{{0, 1}, {0, 0}}, {{1, 0}, {1, 1}}});
  double max = 0;
  const auto s = similarity_of(loci, &max);
  EXPECT_EQ(max, 2.0);  // the first locus contributes nothing
}

TEST(Similarity, OddCodesAreSummedLikeAnyIntegers) {
  // Counts 3, -2 and 1000000000 + 1000000000 (beyond 32 bits as a sum).
  const Loci loci({{{1, 2}}, {{-1, -1}}, {{1000000000, 1000000000}}});
  double max = 0;
  const auto s = similarity_of(loci, &max);
  EXPECT_EQ(max, 2000000002.0);
  EXPECT_EQ(s[0][1], (2000000002.0 - 5.0) / 2000000002.0);
  EXPECT_EQ(s[1][2], 0.0);
}

TEST(Similarity, IdenticalSamplesGiveZeroOverZero) {
  const Loci loci({{{0, 1}, {1, 1}}, {{1, 0}, {1, 1}}, {{0, 1}, {1, 1}}});
  double max = -1;
  const auto s = similarity_of(loci, &max);
  EXPECT_EQ(max, 0.0);
  for (const auto& row : s)
    for (double v : row) EXPECT_TRUE(std::isnan(v));
}

TEST(Similarity, IsSymmetricWithUnitDiagonalAndZeroAtTheLargestDistance) {
  std::vector<std::vector<std::pair<int, int>>> genotypes;
  unsigned state = 12345;
  auto next = [&state]() {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) % 3);
  };
  for (int i = 0; i < 25; ++i) {
    genotypes.emplace_back();
    for (int l = 0; l < 40; ++l) genotypes.back().emplace_back(next() % 2, next() % 2);
  }
  const Loci loci(genotypes);
  const auto s = similarity_of(loci);
  int zeros = 0;
  for (int i = 0; i < 25; ++i) {
    EXPECT_EQ(s[i][i], 1.0);
    for (int j = 0; j < 25; ++j) {
      EXPECT_EQ(s[i][j], s[j][i]);
      EXPECT_GE(s[i][j], 0.0);
      EXPECT_LE(s[i][j], 1.0);
      zeros += s[i][j] == 0.0;
    }
  }
  EXPECT_GE(zeros, 2);
}

TEST(Distances, ByteKernelAgreesWithThePlainLoop) {
  RandomStream stream;
  seed_random_stream(stream);
  for (int length : {0, 1, 15, 16, 17, 100, 1000}) {
    std::vector<std::uint8_t> a(length), b(length);
    std::vector<std::int64_t> wa(length), wb(length);
    for (int l = 0; l < length; ++l) {
      wa[l] = a[l] = static_cast<std::uint8_t>(uniform_random(stream) * 256);
      wb[l] = b[l] = static_cast<std::uint8_t>(uniform_random(stream) * 256);
    }
    EXPECT_EQ(manhattan_distance_bytes(a.data(), b.data(), length),
              manhattan_distance(wa.data(), wb.data(), length));
  }
}

TEST(Distances, TableCountsEveryOrderedPairOnce) {
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 40; ++trial) {
    const int n = 2 + static_cast<int>(uniform_random(stream) * 30);
    const int l = 1 + static_cast<int>(uniform_random(stream) * 40);
    // Narrow codes, wide codes (beyond a byte window) and huge codes.
    const double spread = trial % 3 == 0 ? 3 : trial % 3 == 1 ? 600 : 4e9;
    std::vector<std::vector<std::pair<int, int>>> genotypes(n);
    for (auto& row : genotypes)
      for (int k = 0; k < l; ++k)
        row.emplace_back(static_cast<int>(uniform_random(stream) * spread - spread / 2) / 2,
                         static_cast<int>(uniform_random(stream) * spread - spread / 2) / 2);
    const Loci loci(genotypes);
    similarity_of(loci);  // checks fast against literal entry by entry
    const DistanceTable table = compute_distances(loci.count, n, l, 3);
    std::int64_t pairs = 0;
    for (std::int64_t c : table.pairs) pairs += c;
    EXPECT_EQ(pairs, static_cast<std::int64_t>(n) * (n - 1));
    EXPECT_EQ(table.distance.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(table.distance.begin(), table.distance.end()));
  }
}

}  // namespace
}  // namespace strataperm
