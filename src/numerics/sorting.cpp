#include "numerics/sorting.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace strataperm {

namespace {

// A range of the array still to be sorted: `n` keys starting at `first`.
struct PendingRange {
  std::size_t first;
  int n;
};

template <typename Key>
bool is_unordered(Key key) {
  if constexpr (std::is_floating_point_v<Key>) {
    return std::isnan(key);
  } else {
    return false;
  }
}

// A run of pivots that are each the smallest key of their range is where the
// plain algorithm turns quadratic: every such partition moves the pivot to the
// front, reverses the other keys behind it and removes a single key. Once a
// range is found to hold at least this many copies of its smallest key, those
// steps are replayed on an order-statistic tree instead (O(log n) each).
constexpr int kMinimumRunForReplay = 16;

// Presence bits over positions 0..n-1 with prefix counts (a Fenwick tree).
class PresenceTree {
 public:
  explicit PresenceTree(int n) : n_(n), tree_(static_cast<std::size_t>(n) + 1, 0) {
    for (int i = 1; i <= n; ++i) {
      tree_[i] += 1;
      const int parent = i + (i & -i);
      if (parent <= n) tree_[parent] += tree_[i];
    }
    top_ = 1;
    while (top_ * 2 <= n_) top_ *= 2;
  }
  void remove(int position) {
    for (int i = position + 1; i <= n_; i += i & -i) --tree_[i];
  }
  // Position of the k-th (1-based) present element in ascending position order.
  int find(int k) const {
    int position = 0;
    for (int step = top_; step > 0; step >>= 1) {
      const int next = position + step;
      if (next <= n_ && tree_[next] < k) {
        position = next;
        k -= tree_[next];
      }
    }
    return position;  // 0-based: the element after `position` prefix entries
  }

 private:
  int n_;
  std::vector<int> tree_;
  int top_;
};

template <typename Key>
class RangeSorter {
 public:
  RangeSorter(Key* keys, int* ids, Key* key_copy, int* id_copy, RandomStream& stream)
      : keys_(keys), ids_(ids), key_copy_(key_copy), id_copy_(id_copy), stream_(stream) {}

  // Sorts keys[0..n-1] (and ids along with them). The pending ranges live on
  // the heap: lower parts are taken before upper parts, so the draws follow
  // the pre-order of the recursion without using the call stack.
  void sort(int n) {
    std::vector<PendingRange> pending;
    pending.push_back({0, n});
    while (!pending.empty()) {
      const PendingRange range = pending.back();
      pending.pop_back();
      if (range.n <= 1) continue;
      if (range.n == 2) {
        order_pair(range.first);
        continue;
      }
      const int p = static_cast<int>(uniform_random(stream_) * range.n);
      partition_and_schedule(range, p, pending);
    }
  }

 private:
  void order_pair(std::size_t first) {
    if (keys_[first] > keys_[first + 1]) {
      std::swap(keys_[first], keys_[first + 1]);
      if (ids_ != nullptr) std::swap(ids_[first], ids_[first + 1]);
    }
  }

  // Partitions the range around offset p through the scratch copy and pushes
  // the parts still to be sorted (upper first, so the lower part is next).
  void partition_and_schedule(PendingRange range, int p, std::vector<PendingRange>& pending) {
    Key* keys = keys_ + range.first;
    int* ids = ids_ == nullptr ? nullptr : ids_ + range.first;
    const int n = range.n;
    for (int k = 0; k < n; ++k) key_copy_[k] = keys[k];
    if (ids != nullptr)
      for (int k = 0; k < n; ++k) id_copy_[k] = ids[k];
    const Key pivot = key_copy_[p];
    int front = 0;
    int back = 0;
    for (int k = 0; k < n; ++k) {
      if (k == p) continue;
      if (key_copy_[k] >= pivot) {
        keys[n - 1 - back] = key_copy_[k];
        if (ids != nullptr) ids[n - 1 - back] = id_copy_[k];
        ++back;
      } else {
        keys[front] = key_copy_[k];
        if (ids != nullptr) ids[front] = id_copy_[k];
        ++front;
      }
    }
    keys[front] = pivot;
    if (ids != nullptr) ids[front] = id_copy_[p];

    if (front == 0) {
      const PendingRange rest{range.first + 1, n - 1};
      if (rest.n >= kMinimumRunForReplay && count_equal(rest, pivot) >= kMinimumRunForReplay) {
        replay_minimum_pivots(rest, pending);
      } else {
        pending.push_back(rest);
      }
    } else if (back == 0) {
      pending.push_back({range.first, n - 1});
    } else {
      pending.push_back({range.first + static_cast<std::size_t>(front) + 1, back});
      pending.push_back({range.first, front});
    }
  }

  int count_equal(PendingRange range, Key value) const {
    int count = 0;
    for (int k = 0; k < range.n; ++k) count += keys_[range.first + k] == value;
    return count;
  }

  // Sorts `range` as the plain algorithm would, replaying each partition whose
  // pivot is a smallest key (pivot to the front, the rest reversed) on a
  // presence tree over the range's current order. The first pivot that is not
  // a smallest key ends the replay: the remaining keys are written back in
  // their current order and partitioned around it with the draw already made.
  void replay_minimum_pivots(PendingRange range, std::vector<PendingRange>& pending) {
    const int n = range.n;
    Key* keys = keys_ + range.first;
    int* ids = ids_ == nullptr ? nullptr : ids_ + range.first;
    for (int k = 0; k < n; ++k)
      if (is_unordered(keys[k])) {
        pending.push_back(range);  // unordered keys break the rule; sort plainly
        return;
      }
    std::vector<Key> entry_keys(keys, keys + n);
    std::vector<int> entry_ids;
    if (ids != nullptr) entry_ids.assign(ids, ids + n);
    std::vector<Key> ascending = entry_keys;
    std::sort(ascending.begin(), ascending.end());
    PresenceTree present(n);

    int placed = 0;        // keys already at their final place at the front
    int smallest = 0;      // index in `ascending` of the smallest remaining key
    bool reversed = false;  // current order is descending entry position
    auto position_of = [&](int k, int remaining) {  // k-th in current order, 1-based
      return present.find(reversed ? remaining - k + 1 : k);
    };
    for (;;) {
      const int remaining = n - placed;
      if (remaining <= 2) {
        for (int k = 1; k <= remaining; ++k) {
          const int at = position_of(k, remaining);
          keys[placed + k - 1] = entry_keys[at];
          if (ids != nullptr) ids[placed + k - 1] = entry_ids[at];
        }
        if (remaining == 2) order_pair(range.first + placed);
        return;
      }
      const int p = static_cast<int>(uniform_random(stream_) * remaining);
      const int at = position_of(p + 1, remaining);
      if (entry_keys[at] == ascending[smallest]) {
        keys[placed] = entry_keys[at];
        if (ids != nullptr) ids[placed] = entry_ids[at];
        present.remove(at);
        ++placed;
        ++smallest;
        reversed = !reversed;
        continue;
      }
      // Write the remaining keys back in their current order, then partition.
      for (int k = 1; k <= remaining; ++k) {
        const int from = position_of(k, remaining);
        keys[placed + k - 1] = entry_keys[from];
        if (ids != nullptr) ids[placed + k - 1] = entry_ids[from];
      }
      partition_and_schedule({range.first + static_cast<std::size_t>(placed), remaining}, p,
                             pending);
      return;
    }
  }

  Key* keys_;
  int* ids_;
  Key* key_copy_;
  int* id_copy_;
  RandomStream& stream_;
};

template <typename Key>
void sort_range(Key* keys, int* ids, int n, Key* key_copy, int* id_copy, RandomStream& stream) {
  try {
    RangeSorter<Key>(keys, ids, key_copy, id_copy, stream).sort(n);
  } catch (const std::bad_alloc&) {
    run_time_error("allocation failure in dvector()");
  }
}

}  // namespace

void sort_with_index(DoubleVector keys, IntVector ids, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_range<double>(keys.at(1), ids.at(1), n, nullptr, nullptr, stream);
    return;
  }
  DoubleVector key_copy = dvector(1, n);
  IntVector id_copy = ivector(1, n);
  sort_range(keys.at(1), ids.at(1), n, key_copy.at(1), id_copy.at(1), stream);
  free_ivector(id_copy, 1, n);
  free_dvector(key_copy, 1, n);
}

void quick_sort(DoubleVector keys, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_range<double>(keys.at(1), nullptr, n, nullptr, nullptr, stream);
    return;
  }
  DoubleVector key_copy = dvector(1, n);
  sort_range(keys.at(1), nullptr, n, key_copy.at(1), nullptr, stream);
  free_dvector(key_copy, 1, n);
}

void quick_sort_int(IntVector keys, int n, RandomStream& stream) {
  if (n <= 2) {
    sort_range<int>(keys.at(0), nullptr, n, nullptr, nullptr, stream);
    return;
  }
  IntVector key_copy = ivector(0, n - 1);
  sort_range(keys.at(0), nullptr, n, key_copy.at(0), nullptr, stream);
  free_ivector(key_copy, 0, n - 1);
}

}  // namespace strataperm
