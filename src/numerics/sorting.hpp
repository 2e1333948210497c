// Random-pivot quicksorts that partition through a scratch copy.
//
// The partition is not stable and the pivot position is drawn from the random
// stream, so the arrangement of equal keys depends on the stream. For a range
// of n >= 3 keys one number u is drawn, the pivot is the key at offset
// trunc(u * n), keys >= the pivot go to the upper part from the top down, keys
// below it (or unordered with it) to the lower part from the bottom up, and the
// pivot lands between them. The lower part is sorted before the upper part, so
// the draws follow the pre-order of the recursion. Ranges of two keys are
// exchanged only when the first compares greater; they draw nothing.
//
// Memory: one scratch copy of the whole range (keys, and ids where given),
// allocated once per top-level call and reused by every nested partition.
// Stack: only the lower parts recurse; upper parts continue in a loop.
#pragma once

#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// keys[1..n] ascending; ids[1..n] carried along with their keys.
void sort_with_index(DoubleVector keys, IntVector ids, int n, RandomStream& stream);

// keys[1..n] ascending.
void quick_sort(DoubleVector keys, int n, RandomStream& stream);

// keys[0..n-1] ascending, compared as signed ints.
void quick_sort_int(IntVector keys, int n, RandomStream& stream);

}  // namespace strataperm
