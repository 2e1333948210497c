#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string>
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

void expect_same_state(const RandomStream& a, const RandomStream& b, const std::string& where) {
  EXPECT_EQ(a.s1, b.s1) << where;
  EXPECT_EQ(a.s2, b.s2) << where;
  EXPECT_EQ(a.s3, b.s3) << where;
  EXPECT_EQ(a.draws, b.draws) << where;
}

// The number of steps after which s <- a s mod m comes back to s.
std::int64_t generator_period(int a, int m) {
  std::int64_t period = 1;
  for (std::int64_t s = a % m; s != 1; s = s * a % m) ++period;
  return period;
}

// From several starts along the stream, a jump of k lands where k draws do.
TEST(AdvanceRandomStream, LandsWhereTheDrawsLand) {
  RandomStream start;
  seed_random_stream(start);
  for (int begin = 0; begin < 4; ++begin) {
    RandomStream drawn = start;
    for (std::int64_t k = 0; k <= 3000; ++k) {
      RandomStream jumped = start;
      advance_random_stream(jumped, k);
      ASSERT_TRUE(jumped.s1 == drawn.s1 && jumped.s2 == drawn.s2 && jumped.s3 == drawn.s3 &&
                  jumped.draws == drawn.draws)
          << "start " << begin << ", k " << k;
      // The values that follow are the same too.
      const double next = uniform_random(drawn);
      ASSERT_EQ(uniform_random(jumped), next) << "start " << begin << ", k " << k;
    }
    advance_random_stream(start, 987654321);
  }
  // Far along: a million and a few million draws, one by one.
  RandomStream drawn;
  seed_random_stream(drawn);
  std::int64_t done = 0;
  for (const std::int64_t k : {std::int64_t{1000000}, std::int64_t{3141593}}) {
    for (; done < k; ++done) uniform_random(drawn);
    RandomStream jumped;
    seed_random_stream(jumped);
    advance_random_stream(jumped, k);
    expect_same_state(jumped, drawn, "k " + std::to_string(k));
  }
}

// Jumps compose, from the start-up seeds and from a state with draws already
// counted, for k from 1 to 10^12 and random ones.
TEST(AdvanceRandomStream, JumpsAddUp) {
  RandomStream data;
  seed_random_stream(data);
  std::vector<std::int64_t> ks = {0, 1, 2, 63, 64, 1000};
  for (std::int64_t k = 10000; k <= 1000000000000; k *= 10) ks.push_back(k);
  for (int t = 0; t < 20; ++t)
    ks.push_back(static_cast<std::int64_t>(uniform_random(data) * 1e6) * 1000000 +
                 static_cast<std::int64_t>(uniform_random(data) * 1e6));
  for (const std::int64_t a : ks) {
    for (const std::int64_t b : {std::int64_t{0}, std::int64_t{1}, std::int64_t{7919}, a}) {
      RandomStream start;
      seed_random_stream(start);
      for (int k = 0; k < 5; ++k) uniform_random(start);
      RandomStream twice = start, once = start;
      advance_random_stream(twice, a);
      advance_random_stream(twice, b);
      advance_random_stream(once, a + b);
      expect_same_state(twice, once, std::to_string(a) + " + " + std::to_string(b));
      EXPECT_EQ(once.draws, start.draws + a + b);
    }
  }
}

// A jump by one generator's period leaves that generator where it was; by
// the common multiple of the three periods, the whole state.
TEST(AdvanceRandomStream, ComesBackAfterAPeriod) {
  const std::int64_t p1 = generator_period(171, 30269);
  const std::int64_t p2 = generator_period(172, 30309);
  const std::int64_t p3 = generator_period(170, 30323);
  RandomStream start;
  seed_random_stream(start);
  for (int k = 0; k < 17; ++k) uniform_random(start);
  RandomStream a = start, b = start, c = start;
  advance_random_stream(a, p1);
  advance_random_stream(b, p2);
  advance_random_stream(c, p3);
  EXPECT_EQ(a.s1, start.s1);
  EXPECT_EQ(b.s2, start.s2);
  EXPECT_EQ(c.s3, start.s3);
  // One step short of a period is not back yet.
  RandomStream short_of = start;
  advance_random_stream(short_of, p1 - 1);
  EXPECT_NE(short_of.s1, start.s1);
  const std::int64_t whole = std::lcm(std::lcm(p1, p2), p3);
  RandomStream around = start;
  advance_random_stream(around, whole);
  EXPECT_EQ(around.s1, start.s1);
  EXPECT_EQ(around.s2, start.s2);
  EXPECT_EQ(around.s3, start.s3);
  EXPECT_EQ(around.draws, start.draws + whole);
  EXPECT_EQ(uniform_random(around), uniform_random(start));
}

TEST(AdvanceRandomStream, ZeroStaysAndBackwardsIsRefused) {
  RandomStream stream;
  seed_random_stream(stream);
  uniform_random(stream);
  const RandomStream before = stream;
  advance_random_stream(stream, 0);
  expect_same_state(stream, before, "k 0");
  EXPECT_THROW(advance_random_stream(stream, -1), std::invalid_argument);
  expect_same_state(stream, before, "refused");
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
