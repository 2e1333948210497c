#include "numerics/random.hpp"

#include <cstring>

namespace strataperm {

void seed_random_stream(RandomStream& stream) {
  stream.s1 = 3;
  stream.s2 = 1;
  stream.s3 = 1;
  stream.draws = 0;
}

double uniform_random(RandomStream& stream) {
  stream.s1 = (171 * stream.s1) % 30269;
  stream.s2 = (172 * stream.s2) % 30309;
  stream.s3 = (170 * stream.s3) % 30323;
  ++stream.draws;
  const double x = stream.s1 / 30269.0 + stream.s2 / 30309.0 + stream.s3 / 30323.0;
  return x - static_cast<double>(static_cast<int>(x));
}

void random_permutation(IntVector out, int n, RandomStream& stream) {
  IntVector pool = ivector(1, n);
  for (int i = 1; i <= n; ++i) pool[i] = i;
  int remaining = n;
  for (int j = 1; j <= n; ++j) {
    const int k = static_cast<int>(uniform_random(stream) * remaining) + 1;
    out[j] = pool[k];
    std::memmove(pool.at(k), pool.at(k + 1), sizeof(int) * static_cast<std::size_t>(remaining - k));
    --remaining;
  }
  free_ivector(pool, 1, n);
}

}  // namespace strataperm
