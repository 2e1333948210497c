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
  // it in O(log n) instead of shifting the pool down. The tree is padded to a
  // power of two (the padding never counts) so the descent needs no bounds
  // test and no branch.
  int top = 1;
  while (top < n) top *= 2;
  IntVector tree = ivector(1, top);
  for (int i = 1; i <= top; ++i) tree[i] = 0;
  for (int i = 1; i <= top; ++i) {
    tree[i] += i <= n ? 1 : 0;
    const int parent = i + (i & -i);
    if (parent <= top) tree[parent] += tree[i];
  }
  int* const counts = tree.at(1) - 1;  // counts[i] is tree[i]
  int remaining = n;
  for (int j = 1; j <= n; ++j) {
    int k = static_cast<int>(uniform_random(stream) * remaining) + 1;
    // counts[top] holds every remaining value, so the descent never goes
    // right at the top step and starts below it, always inside the tree.
    int position = 0;
    for (int step = top >> 1; step > 0; step >>= 1) {
      const int count = counts[position + step];
      const int right = count < k;
      position += right * step;
      k -= right * count;
    }
    const int value = position + 1;
    out[j] = value;
    for (int i = value; i <= top; i += i & -i) --counts[i];
    --remaining;
  }
  free_ivector(tree, 1, top);
}

}  // namespace strataperm
