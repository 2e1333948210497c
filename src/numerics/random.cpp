#include "numerics/random.hpp"


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
  // The pool keeps the values not yet drawn in ascending order, so pool[k] is
  // the k-th smallest remaining value: a Fenwick tree of presence counts finds
  // it in O(log n) instead of shifting the pool down.
  IntVector tree = ivector(1, n);
  for (int i = 1; i <= n; ++i) tree[i] = 0;
  for (int i = 1; i <= n; ++i) {
    tree[i] += 1;
    const int parent = i + (i & -i);
    if (parent <= n) tree[parent] += tree[i];
  }
  int top = 1;
  while (top * 2 <= n) top *= 2;
  int remaining = n;
  for (int j = 1; j <= n; ++j) {
    int k = static_cast<int>(uniform_random(stream) * remaining) + 1;
    int position = 0;
    for (int step = top; step > 0; step >>= 1) {
      const int next = position + step;
      if (next <= n && tree[next] < k) {
        position = next;
        k -= tree[next];
      }
    }
    const int value = position + 1;
    out[j] = value;
    for (int i = value; i <= n; i += i & -i) tree[i] -= 1;
    --remaining;
  }
  free_ivector(tree, 1, n);
}

}  // namespace strataperm
