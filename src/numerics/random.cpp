#include "numerics/random.hpp"

#include <cstring>
#include <stdexcept>


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

namespace {

// a^k * s mod m by repeated squaring; every product is below m^2 < 2^31.
int jump_generator(int s, std::int64_t a, std::int64_t m, std::int64_t k) {
  std::int64_t power = 1;
  std::int64_t base = a % m;
  for (; k > 0; k >>= 1) {
    if (k & 1) power = power * base % m;
    base = base * base % m;
  }
  return static_cast<int>(power * s % m);
}

}  // namespace

void advance_random_stream(RandomStream& stream, std::int64_t k) {
  if (k < 0) throw std::invalid_argument("advance_random_stream: a stream only moves forward");
  if (k == 0) return;
  stream.s1 = jump_generator(stream.s1, 171, 30269, k);
  stream.s2 = jump_generator(stream.s2, 172, 30309, k);
  stream.s3 = jump_generator(stream.s3, 170, 30323, k);
  stream.draws += k;
}

void random_permutation(IntVector out, int n, RandomStream& stream) {
  // The pool keeps the values not yet drawn in ascending order, so draw j
  // takes its k-th smallest remaining value. The pool is cut into blocks of
  // about sqrt(n) values, each with its count: the k-th value is found by
  // walking the block counts and removed by shifting the rest of its block
  // only, O(sqrt n) a draw instead of O(n).
  int block = 64;
  while (static_cast<long>(block) * block < n) block *= 2;
  const int blocks = (n + block - 1) / block;
  IntVector pool = ivector(1, n > 0 ? n : 1);
  IntVector count = ivector(1, blocks > 0 ? blocks : 1);
  for (int i = 1; i <= n; ++i) pool[i] = i;
  for (int b = 1; b <= blocks; ++b) count[b] = b < blocks ? block : n - (blocks - 1) * block;
  int remaining = n;
  for (int j = 1; j <= n; ++j) {
    int k = static_cast<int>(uniform_random(stream) * remaining) + 1;
    int b = 1;
    while (k > count[b]) {
      k -= count[b];
      ++b;
    }
    int* values = pool.at(1 + (b - 1) * block);
    out[j] = values[k - 1];
    std::memmove(values + k - 1, values + k, sizeof(int) * static_cast<std::size_t>(count[b] - k));
    --count[b];
    --remaining;
  }
  free_ivector(count, 1, blocks > 0 ? blocks : 1);
  free_ivector(pool, 1, n > 0 ? n : 1);
}

}  // namespace strataperm
