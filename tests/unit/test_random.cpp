#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numerics/random.hpp"

namespace strataperm {
namespace {

TEST(UniformRandom, FollowsTheThreeRecurrencesFromTheStartUpSeeds) {
  RandomStream stream;
  seed_random_stream(stream);
  int s1 = 3, s2 = 1, s3 = 1;
  for (int k = 0; k < 1000; ++k) {
    s1 = 171 * s1 % 30269;
    s2 = 172 * s2 % 30309;
    s3 = 170 * s3 % 30323;
    const double x = s1 / 30269.0 + s2 / 30309.0 + s3 / 30323.0;
    const double expected = x - std::floor(x);
    const double u = uniform_random(stream);
    ASSERT_EQ(u, expected) << "draw " << k;
    ASSERT_GE(u, 0.0);
    ASSERT_LT(u, 1.0);
  }
  EXPECT_EQ(stream.draws, 1000);
}

TEST(UniformRandom, FirstDrawMovesTheSeedsTo513_172_170) {
  RandomStream stream;
  seed_random_stream(stream);
  const double u = uniform_random(stream);
  EXPECT_EQ(stream.s1, 513);
  EXPECT_EQ(stream.s2, 172);
  EXPECT_EQ(stream.s3, 170);
  EXPECT_EQ(u, 513 / 30269.0 + 172 / 30309.0 + 170 / 30323.0);
  EXPECT_NEAR(u, 0.0282, 5e-5);
}

TEST(UniformRandom, SeedingRestartsTheStream) {
  RandomStream a;
  seed_random_stream(a);
  std::vector<double> first;
  for (int k = 0; k < 10; ++k) first.push_back(uniform_random(a));
  seed_random_stream(a);
  for (int k = 0; k < 10; ++k) EXPECT_EQ(uniform_random(a), first[k]);
}

TEST(RandomPermutation, OfOneStillTakesOneDraw) {
  RandomStream stream;
  seed_random_stream(stream);
  IntVector out = ivector(1, 1);
  random_permutation(out, 1, stream);
  EXPECT_EQ(out[1], 1);
  EXPECT_EQ(stream.draws, 1);
  free_ivector(out, 1, 1);
}

TEST(RandomPermutation, DrawsWithoutReplacementFromAShrinkingPool) {
  RandomStream stream;
  seed_random_stream(stream);
  for (int n : {2, 3, 7, 50}) {
    RandomStream copy = stream;
    IntVector out = ivector(1, n);
    random_permutation(out, n, stream);
    // The same draws, applied to an explicit pool.
    std::vector<int> pool;
    for (int i = 1; i <= n; ++i) pool.push_back(i);
    for (int j = 1; j <= n; ++j) {
      const int k = static_cast<int>(uniform_random(copy) * static_cast<int>(pool.size()));
      EXPECT_EQ(out[j], pool[k]);
      pool.erase(pool.begin() + k);
    }
    EXPECT_EQ(copy.draws, stream.draws);
    free_ivector(out, 1, n);
  }
}

}  // namespace
}  // namespace strataperm
