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
          table.similarity(table.at(i - 1, j - 1));
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

// Byte distances of all pairs from the blocked kernel against the plain
// loop, on random rows: every vector width this host runs, row counts from 1
// to 300 (partial tiles and blocks), lengths from 1 to 5000 around the
// vector widths (whole vectors, a masked tail, rows shorter than a vector)
// and beyond a chunk of loci, any range of rows, 2-, 4- and 8-byte outputs.
class BlockedDistances : public ::testing::Test {
 protected:
  RandomStream stream;
  void SetUp() override { seed_random_stream(stream); }

  int below(int top) { return static_cast<int>(uniform_random(stream) * top); }

  std::vector<std::uint8_t> rows_of(int n, int length, int top) {
    std::vector<std::uint8_t> counts(static_cast<std::size_t>(n) * static_cast<std::size_t>(length));
    for (std::uint8_t& c : counts) c = static_cast<std::uint8_t>(below(top));
    return counts;
  }

  // The blocked kernel at `width` (0: the host's choice) against the plain
  // loop for rows [begin, end): the same distances, and nothing written
  // outside those rows' pairs.
  template <typename Raw>
  void expect_same(const std::vector<std::uint8_t>& counts, int n, int length, int begin, int end,
                   int width) {
    const std::size_t pairs = static_cast<std::size_t>(n) * static_cast<std::size_t>(n - (n > 0)) / 2;
    const Raw untouched = static_cast<Raw>(0xA5A5A5A5A5A5A5A5ULL);
    std::vector<Raw> plain(pairs, untouched), fast(pairs, untouched);
    manhattan_distances_bytes_plain(counts.data(), n, length, begin, end, plain.data());
    if (width == 0)
      manhattan_distances_bytes(counts.data(), n, length, begin, end, fast.data());
    else
      manhattan_distances_bytes_at_width(width, counts.data(), n, length, begin, end, fast.data());
    std::size_t written = 0;
    for (std::size_t p = 0; p < pairs; ++p) written += plain[p] != untouched;
    const std::size_t expected_written = [&] {
      std::size_t count = 0;
      for (int i = begin; i < end; ++i) count += static_cast<std::size_t>(n - 1 - i);
      return count;
    }();
    // Every distance of these tests stays below the marker.
    EXPECT_EQ(written, expected_written) << "n " << n << " length " << length;
    ASSERT_TRUE(fast == plain) << "width " << width << " n " << n << " length " << length << " rows "
                               << begin << ".." << end;
  }
};

TEST_F(BlockedDistances, AgreeWithThePlainLoopOnAllRows) {
  std::vector<int> widths = manhattan_distances_bytes_widths();
  widths.push_back(0);
  const int lengths[] = {1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 128, 129, 1000, 2000, 4999, 5000};
  const int sizes[] = {1, 2, 3, 4, 5, 11, 12, 13, 23, 24, 25, 26, 49, 300};
  int trial = 0;
  for (int length : lengths) {
    const int n = sizes[trial % std::size(sizes)];
    ++trial;
    const std::vector<std::uint8_t> counts = rows_of(n, length, 3);
    for (int width : widths) expect_same<std::uint16_t>(counts, n, length, 0, n, width);
  }
  for (int n : sizes) {
    const int length = n == 300 ? 5000 : 1 + below(5000);
    const std::vector<std::uint8_t> counts = rows_of(n, length, 3);
    for (int width : widths) expect_same<std::uint16_t>(counts, n, length, 0, n, width);
  }
}

TEST_F(BlockedDistances, AgreeWithThePlainLoopOnAnyRangeOfRows) {
  const std::vector<int> widths = manhattan_distances_bytes_widths();
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 1 + below(trial < 10 ? 300 : 80);
    const int length = 1 + below(trial % 2 ? 5000 : 200);
    const int begin = below(n + 1);
    const int end = begin + below(n + 1 - begin);
    const int width = widths.empty() ? 0 : widths[static_cast<std::size_t>(trial) % widths.size()];
    // Full bytes: every lane sum near its largest.
    const std::vector<std::uint8_t> counts = rows_of(n, length, trial % 3 ? 256 : 3);
    if (trial % 2)
      expect_same<std::uint32_t>(counts, n, length, begin, end, width);
    else
      expect_same<std::uint64_t>(counts, n, length, begin, end, width);
  }
}

TEST_F(BlockedDistances, AgreeWithThePlainLoopOverManyChunksOfLoci) {
  // Longer rows than a chunk: each pair's sum is carried from chunk to chunk.
  for (int length : {16384, 16385, 40000, 70001}) {
    const int n = 2 + below(30);
    const std::vector<std::uint8_t> counts = rows_of(n, length, 256);
    for (int width : manhattan_distances_bytes_widths())
      expect_same<std::uint32_t>(counts, n, length, 0, n, width);
    expect_same<std::uint64_t>(counts, n, length, 0, n, 0);
  }
}

// The distance of pair (i, j) read back from a table.
double table_distance(const DistanceTable& table, int i, int j) { return table.distance[table.at(i, j)]; }

TEST(Distances, TableIsTheSameOnAnyNumberOfThreads) {
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 12; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(stream) * (trial < 4 ? 300 : 60));
    const int l = 1 + static_cast<int>(uniform_random(stream) * (trial % 2 ? 5000 : 70));
    // Byte counts 0..2, and (every third trial) counts beyond a byte window.
    std::vector<std::int64_t> counts(static_cast<std::size_t>(n) * l);
    for (std::int64_t& c : counts)
      c = static_cast<std::int64_t>(uniform_random(stream) * (trial % 3 == 2 ? 700 : 3));
    const LocusCounts packed = make_locus_counts(counts);
    const DistanceTable one = compute_distances(packed, n, l, 1);
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) {
        const std::uint64_t d = manhattan_distance(&counts[static_cast<std::size_t>(i) * l],
                                                   &counts[static_cast<std::size_t>(j) * l], l);
        ASSERT_EQ(table_distance(one, i, j), static_cast<double>(d)) << i << "," << j;
      }
    for (int threads : {2, 3, 8}) {
      const DistanceTable many = compute_distances(packed, n, l, threads);
      EXPECT_EQ(many.index16, one.index16);
      EXPECT_EQ(many.index32, one.index32);
      EXPECT_EQ(many.distance, one.distance);
      EXPECT_EQ(many.pairs, one.pairs);
    }
  }
}

}  // namespace
}  // namespace strataperm
