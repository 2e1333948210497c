// The single random stream and the random permutation built on it.
//
// Every random decision of a run (the permutation replicates, the pivots of
// the final sort, the random variates) comes from one RandomStream, in a fixed
// order, so a run on the same input repeats exactly.
#pragma once

#include <cstdint>

#include "numerics/arrays.hpp"

namespace strataperm {

// State of the combined multiplicative congruential generator. `draws` counts
// the values handed out; it never feeds back into the values.
struct RandomStream {
  int s1 = 3;
  int s2 = 1;
  int s3 = 1;
  std::int64_t draws = 0;
};

// The start-up seeds of every run: 3, 1, 1.
void seed_random_stream(RandomStream& stream);

// Advances the three generators and returns the fractional part of
// s1/30269 + s2/30309 + s3/30323 (added in that order), a double in [0, 1).
double uniform_random(RandomStream& stream);

// Moves the stream k draws ahead (k >= 0) in O(log k): the same s1, s2, s3
// as k calls of uniform_random, and `draws` grows by k. Each generator moves
// by s <- (a^k mod m) * s mod m, the power formed by repeated squaring. Lets
// work that takes a known number of draws start at its own place in the
// stream. A negative k throws std::invalid_argument.
void advance_random_stream(RandomStream& stream, std::int64_t k);

// Fills out[1..n] with a random permutation of 1..n by drawing without
// replacement from a shrinking pool: draw j takes the k-th smallest value not
// yet drawn, k = trunc(u * remaining) + 1. Takes exactly n draws; O(n sqrt n)
// with small constants (blocks of the pool).
void random_permutation(IntVector out, int n, RandomStream& stream);

}  // namespace strataperm
