// Pairwise genetic distance of the individuals at the background loci.
//
// The similarity of individuals i and j is (max - d(i, j)) / max, where d is
// the Manhattan distance between their allele counts (the sum of the two codes
// at each locus) and max the largest distance of any pair. Integer distances
// are exact whatever order they are summed in, so they are computed once per
// unordered pair, with SIMD sums of absolute byte differences when every count
// fits in a byte window. A similarity depends on the pair only through its
// distance, so later stages work on an index into the table of the distinct
// distances, one entry per unordered pair, instead of on N x N doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/study.hpp"

namespace strataperm {

struct DistanceTable {
  int n = 0;                          // individuals
  // The index of d(i, j), i < j, in `distance`, one entry per unordered pair
  // at pair(i, j): 2 bytes (index16) when every distance fits 16 bits,
  // else 4 (index32); the other vector is empty.
  std::vector<std::uint16_t> index16;
  std::vector<std::uint32_t> index32;
  std::vector<double> distance;       // distinct distances ascending, as doubles
  std::vector<std::int64_t> pairs;    // ordered off-diagonal pairs at each distance
  double max_distance = 0.0;

  // The unordered pairs before row i of the upper triangle, and the place of
  // pair (i, j), i < j.
  static std::size_t row_start(std::size_t i, std::size_t n) { return i * n - i * (i + 1) / 2; }
  static std::size_t pair_count(std::size_t n) { return n < 2 ? 0 : n * (n - 1) / 2; }
  std::size_t pair(int i, int j) const {
    return row_start(static_cast<std::size_t>(i), static_cast<std::size_t>(n)) +
           static_cast<std::size_t>(j - i - 1);
  }
  // The index of d(i, j) for any i and j (0 on the diagonal).
  std::uint32_t at(int i, int j) const {
    if (i == j) return 0;
    const std::size_t p = i < j ? pair(i, j) : pair(j, i);
    return index16.empty() ? index32[p] : index16[p];
  }

  // The similarity at table entry v: (max - d) / max, the subtraction first.
  // 0/0 (a NaN) when no two individuals differ.
  double similarity(std::size_t v) const { return (max_distance - distance[v]) / max_distance; }
};

// Distances of all pairs from counts[i * n_loci + l], i < n.
// Memory: n (n - 1) bytes for the index when the largest possible distance
// (the counts' spread times n_loci) is below 65536, else 2 n (n - 1) (and
// 4 n (n - 1) more only for counts spread so widely that a distance may not
// fit 32 bits).
DistanceTable compute_distances(const LocusCounts& counts, int n, int n_loci, int threads);

}  // namespace strataperm
