#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "numerics/sorting.hpp"
#include "support.hpp"

namespace strataperm {
namespace {

using testing_support::draw_in;
using testing_support::make_doubles;
using testing_support::make_ints;
using testing_support::stream_with_next_draws;

// The sort as a plain recursion: a fresh scratch copy per call, both parts
// recursed, exactly as the algorithm is stated. The library's version reuses
// one scratch buffer and loops on the upper part; the two must agree exactly.
void literal_sort(std::vector<double>& keys, std::vector<int>& ids, int first, int n,
                  RandomStream& stream) {
  if (n <= 1) return;
  if (n == 2) {
    if (keys[first] > keys[first + 1]) {
      std::swap(keys[first], keys[first + 1]);
      std::swap(ids[first], ids[first + 1]);
    }
    return;
  }
  const double u = uniform_random(stream);
  const int p = static_cast<int>(u * n) + 1;
  std::vector<double> s(n + 1);
  std::vector<int> t(n + 1);
  for (int k = 1; k <= n; ++k) {
    s[k] = keys[first + k - 1];
    t[k] = ids[first + k - 1];
  }
  int front = 1, back = 0;
  for (int k = 1; k <= n; ++k) {
    if (k == p) continue;
    if (s[k] >= s[p]) {
      keys[first + n - back - 1] = s[k];
      ids[first + n - back - 1] = t[k];
      ++back;
    } else {
      keys[first + front - 1] = s[k];
      ids[first + front - 1] = t[k];
      ++front;
    }
  }
  keys[first + front - 1] = s[p];
  ids[first + front - 1] = t[p];
  if (front == 1) {
    literal_sort(keys, ids, first + 1, n - 1, stream);
  } else if (back == 0) {
    literal_sort(keys, ids, first, n - 1, stream);
  } else {
    literal_sort(keys, ids, first, front - 1, stream);
    literal_sort(keys, ids, first + front, back, stream);
  }
}

struct Sorted {
  std::vector<double> keys;
  std::vector<int> ids;
  std::int64_t draws;
};

Sorted library_sort(const std::vector<double>& keys, const std::vector<int>& ids,
                    RandomStream stream) {
  const int n = static_cast<int>(keys.size());
  DoubleVector k = make_doubles(keys);
  IntVector i = make_ints(ids);
  sort_with_index(k, i, n, stream);
  Sorted out{{}, {}, stream.draws};
  for (int j = 1; j <= n; ++j) {
    out.keys.push_back(k[j]);
    out.ids.push_back(i[j]);
  }
  free_dvector(k, 1, n);
  free_ivector(i, 1, n);
  return out;
}

std::vector<int> sequence(int n) {
  std::vector<int> ids;
  for (int i = 1; i <= n; ++i) ids.push_back(i);
  return ids;
}

TEST(SortWithIndex, WorkedExampleWithPivotThree) {
  const RandomStream stream = stream_with_next_draws({draw_in(0.5, 0.75)});
  const Sorted out = library_sort({0.3, 0.1, 0.3, 0.2}, {1, 2, 3, 4}, stream);
  EXPECT_EQ(out.keys, (std::vector<double>{0.1, 0.2, 0.3, 0.3}));
  EXPECT_EQ(out.ids, (std::vector<int>{2, 4, 3, 1}));
  EXPECT_EQ(out.draws - stream.draws, 1);
}

TEST(SortWithIndex, ThreeEqualKeysPutThePivotFirstAndReverseTheRest) {
  const std::vector<std::vector<int>> expected = {{1, 3, 2}, {2, 3, 1}, {3, 2, 1}};
  for (int p = 1; p <= 3; ++p) {
    const RandomStream stream = stream_with_next_draws({draw_in((p - 1) / 3.0, p / 3.0)});
    const Sorted out = library_sort({0.5, 0.5, 0.5}, {1, 2, 3}, stream);
    EXPECT_EQ(out.ids, expected[p - 1]) << "pivot " << p;
    EXPECT_EQ(out.draws - stream.draws, 1);
  }
}

TEST(SortWithIndex, DirectlyAfterStartUpSeeding) {
  RandomStream stream;
  seed_random_stream(stream);
  EXPECT_EQ(library_sort({1.0, 1.0, 1.0}, {1, 2, 3}, stream).ids, (std::vector<int>{1, 3, 2}));
  EXPECT_EQ(library_sort({0.3, 0.1, 0.3, 0.2}, {1, 2, 3, 4}, stream).ids,
            (std::vector<int>{2, 4, 1, 3}));
}

TEST(SortWithIndex, ShortRangesDrawNothing) {
  RandomStream stream;
  seed_random_stream(stream);
  EXPECT_EQ(library_sort({}, {}, stream).draws, 0);
  EXPECT_EQ(library_sort({4.0}, {8}, stream).ids, (std::vector<int>{8}));
  const Sorted swapped = library_sort({2.0, 1.0}, {7, 9}, stream);
  EXPECT_EQ(swapped.keys, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(swapped.ids, (std::vector<int>{9, 7}));
  EXPECT_EQ(swapped.draws, 0);
  EXPECT_EQ(library_sort({1.0, 1.0}, {7, 9}, stream).ids, (std::vector<int>{7, 9}));
}

TEST(SortWithIndex, PivotAtEitherEndRecursesOnTheRestOnly) {
  // Pivot is the largest key: it lands last and positions 1..n-1 are sorted.
  RandomStream stream = stream_with_next_draws({draw_in(0.75, 1.0)});
  Sorted out = library_sort({3.0, 1.0, 2.0, 9.0}, {1, 2, 3, 4}, stream);
  EXPECT_EQ(out.ids, (std::vector<int>{2, 3, 1, 4}));
  EXPECT_EQ(out.draws - stream.draws, 2);
  // Pivot is the smallest key: it lands first.
  stream = stream_with_next_draws({draw_in(0.0, 0.25)});
  out = library_sort({0.5, 3.0, 1.0, 2.0}, {1, 2, 3, 4}, stream);
  EXPECT_EQ(out.ids.front(), 1);
  EXPECT_EQ(out.keys, (std::vector<double>{0.5, 1.0, 2.0, 3.0}));
}

TEST(SortWithIndex, NaNKeysGoToTheLowerPart) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // A NaN pivot sends every other key below it and lands last.
  RandomStream stream = stream_with_next_draws({draw_in(0.0, 1.0 / 3.0)});
  Sorted out = library_sort({nan, 2.0, 1.0}, {1, 2, 3}, stream);
  EXPECT_TRUE(std::isnan(out.keys[2]));
  EXPECT_EQ(out.ids, (std::vector<int>{3, 2, 1}));
  // Two keys are exchanged only when the first compares greater.
  out = library_sort({nan, 1.0}, {1, 2}, stream);
  EXPECT_EQ(out.ids, (std::vector<int>{1, 2}));
}

TEST(SortWithIndex, MatchesTheLiteralRecursionOnRandomInputs) {
  RandomStream data;
  seed_random_stream(data);
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 400; ++trial) {
    const int n = static_cast<int>(uniform_random(data) * 60);
    const int distinct = 1 + static_cast<int>(uniform_random(data) * 8);  // many ties
    std::vector<double> keys;
    for (int i = 0; i < n; ++i)
      keys.push_back(static_cast<int>(uniform_random(data) * distinct) / 4.0);
    std::vector<int> ids = sequence(n);

    const Sorted fast = library_sort(keys, ids, stream);
    std::vector<double> literal_keys = keys;
    std::vector<int> literal_ids = ids;
    literal_sort(literal_keys, literal_ids, 0, n, stream);
    ASSERT_EQ(fast.keys, literal_keys) << "trial " << trial;
    ASSERT_EQ(fast.ids, literal_ids) << "trial " << trial;
    ASSERT_EQ(fast.draws, stream.draws) << "trial " << trial;
    for (int i = 1; i < n; ++i) ASSERT_LE(fast.keys[i - 1], fast.keys[i]);
  }
}

TEST(SortWithIndex, LongRunsOfEqualKeysMatchTheLiteralRecursion) {
  // Runs of equal smallest keys are replayed on an order-statistic tree; the
  // arrangement and the draws must be those of the plain recursion.
  RandomStream data;
  seed_random_stream(data);
  RandomStream stream;
  seed_random_stream(stream);
  for (int trial = 0; trial < 60; ++trial) {
    const int n = 16 + static_cast<int>(uniform_random(data) * 3000);
    const int distinct = 1 + static_cast<int>(uniform_random(data) * 4);
    const double rare = uniform_random(data) * 0.01;  // share of keys off the main runs
    std::vector<double> keys;
    for (int i = 0; i < n; ++i) {
      const double u = uniform_random(data);
      keys.push_back(u < rare ? u : static_cast<int>(uniform_random(data) * distinct) * 0.5);
    }
    if (trial % 10 == 9) keys[n / 2] = std::numeric_limits<double>::quiet_NaN();
    std::vector<int> ids = sequence(n);

    const Sorted fast = library_sort(keys, ids, stream);
    std::vector<double> literal_keys = keys;
    std::vector<int> literal_ids = ids;
    literal_sort(literal_keys, literal_ids, 0, n, stream);
    ASSERT_EQ(fast.ids, literal_ids) << "trial " << trial << ", n " << n;
    ASSERT_EQ(fast.draws, stream.draws) << "trial " << trial;
  }
}

TEST(QuickSort, AgreesWithSortWithIndexOnKeysAndDraws) {
  RandomStream data;
  seed_random_stream(data);
  for (int trial = 0; trial < 100; ++trial) {
    const int n = 1 + static_cast<int>(uniform_random(data) * 40);
    std::vector<double> keys;
    for (int i = 0; i < n; ++i) keys.push_back(static_cast<int>(uniform_random(data) * 5));
    RandomStream a = data;
    RandomStream b = data;
    const Sorted with_ids = library_sort(keys, sequence(n), a);
    DoubleVector k = make_doubles(keys);
    quick_sort(k, n, b);
    for (int i = 1; i <= n; ++i) ASSERT_EQ(k[i], with_ids.keys[i - 1]);
    ASSERT_EQ(b.draws, with_ids.draws);
    free_dvector(k, 1, n);
  }
}

TEST(QuickSortInt, IsZeroBasedAndSigned) {
  RandomStream stream;
  seed_random_stream(stream);
  IntVector two = ivector(0, 1);
  two[0] = 5;
  two[1] = -3;
  quick_sort_int(two, 2, stream);
  EXPECT_EQ(two[0], -3);
  EXPECT_EQ(two[1], 5);
  EXPECT_EQ(stream.draws, 0);
  free_ivector(two, 0, 1);

  // Same placements and draws as the double sort.
  seed_random_stream(stream);
  const std::vector<int> values = {-7, 3, 3, 0, -7, 12, 3};
  IntVector keys = ivector(0, 6);
  for (int i = 0; i < 7; ++i) keys[i] = values[i];
  const Sorted reference =
      library_sort(std::vector<double>(values.begin(), values.end()), sequence(7), stream);
  quick_sort_int(keys, 7, stream);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(keys[i], static_cast<int>(reference.keys[i]));
  EXPECT_EQ(stream.draws, reference.draws);
  free_ivector(keys, 0, 6);
}

}  // namespace
}  // namespace strataperm
