// Pairwise genetic distance of the individuals at the background loci.
//
// The similarity of individuals i and j is (max - d(i, j)) / max, where d is
// the Manhattan distance between their allele counts (the sum of the two codes
// at each locus) and max the largest distance of any pair. Integer distances
// are exact whatever order they are summed in, so they are computed once per
// unordered pair, with SIMD sums of absolute byte differences when every count
// fits in a byte window. A similarity depends on the pair only through its
// distance, so later stages work on an index into the table of the distinct
// distances instead of on N x N doubles.
#pragma once

#include <cstdint>
#include <vector>

#include "core/study.hpp"

namespace strataperm {

struct DistanceTable {
  int n = 0;                          // individuals
  std::vector<std::uint32_t> index;   // [i * n + j]: index of d(i, j) in `distance`
  std::vector<double> distance;       // distinct distances ascending, as doubles
  std::vector<std::int64_t> pairs;    // ordered off-diagonal pairs at each distance
  double max_distance = 0.0;

  // The similarity at table entry v: (max - d) / max, the subtraction first.
  // 0/0 (a NaN) when no two individuals differ.
  double similarity(std::size_t v) const { return (max_distance - distance[v]) / max_distance; }
};

// Distances of all pairs from counts[i * n_loci + l], i < n.
// Memory: 4 n^2 bytes for the index (8 n^2 more only for counts spread so
// widely that a distance may not fit 32 bits).
DistanceTable compute_distances(const LocusCounts& counts, int n, int n_loci, int threads);

}  // namespace strataperm
