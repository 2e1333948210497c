// Times the final sort on a million P-values: all tied, and spread over the
// 2R + 1 values that R = 1000 replicates allow.
#include <chrono>
#include <cstdio>

#include "numerics/sorting.hpp"

using namespace strataperm;

static double time_sort(int n, int distinct) {
  RandomStream data;
  seed_random_stream(data);
  DoubleVector keys = dvector(1, n);
  IntVector ids = ivector(1, n);
  for (int i = 1; i <= n; ++i) {
    keys[i] = distinct == 1 ? 0.5 : static_cast<int>(uniform_random(data) * distinct) / (distinct - 1.0);
    ids[i] = i;
  }
  RandomStream stream;
  seed_random_stream(stream);
  const auto start = std::chrono::steady_clock::now();
  sort_with_index(keys, ids, n, stream);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (int i = 2; i <= n; ++i)
    if (keys[i - 1] > keys[i]) std::printf("not sorted at %d\n", i);
  free_ivector(ids, 1, n);
  free_dvector(keys, 1, n);
  return seconds;
}

int main() {
  std::printf("%-32s %10s\n", "keys", "seconds");
  std::printf("%-32s %10.3f\n", "1,000,000 all equal", time_sort(1000000, 1));
  std::printf("%-32s %10.3f\n", "1,000,000 over 2,001 values", time_sort(1000000, 2001));
  std::printf("%-32s %10.3f\n", "1,000,000 over 3 values", time_sort(1000000, 3));
  std::printf("%-32s %10.3f\n", "1,000,000 distinct-ish", time_sort(1000000, 1 << 30));
}
