// A counting (Fenwick) tree over places 1..span, span a power of 2: the
// q-th place still present, in ascending order, is found and removed in
// log2(span) steps. The descent has no data-dependent branches, so a random
// q costs no mispredicted jumps.
#pragma once

#include <algorithm>
#include <bit>

namespace strataperm {

// The span of a tree over `size` places: the power of 2 at or above it.
inline int counting_tree_span(int size) {
  return static_cast<int>(std::bit_ceil(static_cast<unsigned>(size > 0 ? size : 1)));
}

// Fills tree[0, span) for places 1..size present and size+1..span absent:
// tree[k - 1] counts the present places in (k - lowbit(k), k].
inline void counting_tree_fill(int* tree, int span, int size) {
  for (int k = 1; k <= span; ++k) tree[k - 1] = std::max(0, std::min(k, size) - (k - (k & -k)));
}

// The q-th present place (1 <= q <= the present count), 0-based, removed
// from the tree.
inline int counting_tree_take(int* tree, int span, int q) {
  int place = 0;  // the largest place whose prefix holds fewer than q present
  for (int step = span >> 1; step > 0; step >>= 1) {
    // All ones when the q-th lies past place + step: masks, not a jump.
    const int c = tree[place + step - 1];
    const int further = -static_cast<int>(c < q);
    place += step & further;
    q -= c & further;
  }
  for (int k = place + 1; k <= span; k += k & -k) --tree[k - 1];
  return place;
}

}  // namespace strataperm
