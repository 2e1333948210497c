#include "numerics/sorting.hpp"

#include <utility>

namespace strataperm {

namespace {

// Ranges of at most two keys: exchanged only when the first compares greater.
template <typename Key>
void sort_short_range(Key* keys, int* ids, int n) {
  if (n == 2 && keys[0] > keys[1]) {
    std::swap(keys[0], keys[1]);
    if (ids != nullptr) std::swap(ids[0], ids[1]);
  }
}

// Sorts keys[0..n-1] (and ids[0..n-1] when ids is not null) using the scratch
// arrays key_copy and id_copy, which hold at least n elements each.
template <typename Key>
void partition_sort(Key* keys, int* ids, int n, Key* key_copy, int* id_copy,
                    RandomStream& stream) {
  while (n >= 2) {
    if (n == 2) {
      sort_short_range(keys, ids, n);
      return;
    }
    const int p = static_cast<int>(uniform_random(stream) * n);
    for (int k = 0; k < n; ++k) key_copy[k] = keys[k];
    if (ids != nullptr)
      for (int k = 0; k < n; ++k) id_copy[k] = ids[k];
    const Key pivot = key_copy[p];
    int front = 0;
    int back = 0;
    for (int k = 0; k < n; ++k) {
      if (k == p) continue;
      if (key_copy[k] >= pivot) {
        keys[n - 1 - back] = key_copy[k];
        if (ids != nullptr) ids[n - 1 - back] = id_copy[k];
        ++back;
      } else {
        keys[front] = key_copy[k];
        if (ids != nullptr) ids[front] = id_copy[k];
        ++front;
      }
    }
    keys[front] = pivot;
    if (ids != nullptr) ids[front] = id_copy[p];

    if (front == 0) {  // no smaller key: the rest lies above the pivot
      keys += 1;
      if (ids != nullptr) ids += 1;
      n -= 1;
    } else if (back == 0) {  // no other key at or above the pivot
      n -= 1;
    } else {
      partition_sort(keys, ids, front, key_copy, id_copy, stream);
      keys += front + 1;
      if (ids != nullptr) ids += front + 1;
      n = back;
    }
  }
}

}  // namespace

void sort_with_index(DoubleVector keys, IntVector ids, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_short_range(keys.at(1), ids.at(1), n);
    return;
  }
  DoubleVector key_copy = dvector(1, n);
  IntVector id_copy = ivector(1, n);
  partition_sort(keys.at(1), ids.at(1), n, key_copy.at(1), id_copy.at(1), stream);
  free_ivector(id_copy, 1, n);
  free_dvector(key_copy, 1, n);
}

void quick_sort(DoubleVector keys, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_short_range<double>(keys.at(1), nullptr, n);
    return;
  }
  DoubleVector key_copy = dvector(1, n);
  partition_sort(keys.at(1), nullptr, n, key_copy.at(1), nullptr, stream);
  free_dvector(key_copy, 1, n);
}

void quick_sort_int(IntVector keys, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_short_range<int>(keys.at(0), nullptr, n);
    return;
  }
  IntVector key_copy = ivector(0, n - 1);
  partition_sort(keys.at(0), nullptr, n, key_copy.at(0), nullptr, stream);
  free_ivector(key_copy, 0, n - 1);
}

}  // namespace strataperm
