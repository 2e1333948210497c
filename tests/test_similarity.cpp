#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/similarity.hpp"

namespace strataperm {
namespace {

// Builds the two allele matrices from per-individual lists of (allele1, allele2).
struct Loci {
  IntMatrix allele1, allele2;
  int n, l;
  Loci(const std::vector<std::vector<std::pair<int, int>>>& genotypes)
      : n(static_cast<int>(genotypes.size())), l(static_cast<int>(genotypes[0].size())) {
    allele1 = imatrix(1, n, 1, l);
    allele2 = imatrix(1, n, 1, l);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= l; ++j) {
        allele1[i][j] = genotypes[i - 1][j - 1].first;
        allele2[i][j] = genotypes[i - 1][j - 1].second;
      }
  }
  ~Loci() {
    free_imatrix(allele1, 1, n, 1, l);
    free_imatrix(allele2, 1, n, 1, l);
  }
};

std::vector<std::vector<double>> similarity_of(const Loci& loci, double* max_distance = nullptr) {
  DoubleMatrix s = dmatrix(1, loci.n, 1, loci.n);
  const double max = compute_similarity(loci.allele1, loci.allele2, loci.n, loci.l, s);
  if (max_distance != nullptr) *max_distance = max;
  std::vector<std::vector<double>> out(loci.n, std::vector<double>(loci.n));
  for (int i = 1; i <= loci.n; ++i)
    for (int j = 1; j <= loci.n; ++j) out[i - 1][j - 1] = s[i][j];
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

}  // namespace
}  // namespace strataperm
