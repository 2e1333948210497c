// Trait values exchanged only within same-group lists.
//
// The classification of the structure fit gives every individual its list:
// the individuals of its own group, itself included. A replicate serves the
// individuals in a random visit order; each takes a uniformly drawn donor
// among the members of its list not yet taken in this replicate, or keeps its
// own value when none is left.
//
// Draws, per replicate, in this order: N for the visit order
// (random_permutation), then one per served position that finds a candidate
// (q = trunc(u * candidates + 1.0)). The replicates follow one another on the
// one stream.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "analysis/same_group.hpp"
#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// Same-group lists: the members of individual i's list (0-based, ascending)
// are list(i)[0 .. size(i)). Each distinct list is stored once, at its owner:
// owner[i] is the smallest individual whose list equals i's (i itself when
// no earlier one has it), so what depends on a list alone is formed once, at
// its owner.
// When the lists partition the individuals into groups (every member of a list
// has that same list), `group` numbers each individual's group (in the order
// of the groups' first members) and `position` gives its place in its own
// list; otherwise both are empty.
// Memory: 16 N bytes and 4 bytes a member of each distinct list (4 N bytes
// in all with a partition).
struct GroupLists {
  std::vector<std::int64_t> start;  // [i]: where i's list begins in `members`
  std::vector<int> count;           // [i]: its size
  std::vector<int> members;         // the distinct lists, one after another
  std::vector<int> owner;
  std::vector<int> group;
  std::vector<int> position;
  int groups = 0;
  int n() const { return static_cast<int>(owner.size()); }
  int size(int i) const { return count[static_cast<std::size_t>(i)]; }
  const int* list(int i) const { return members.data() + start[static_cast<std::size_t>(i)]; }
  bool partitions() const { return !group.empty(); }
};
GroupLists build_group_lists(const SameGroup& same_group);

// The same-group pairs of user-given groups: clusters[i] numbers individual
// i's group.
SameGroup same_group_of_clusters(const std::vector<int>& clusters);

// The number of distinct lists (the number of groups when they partition).
int count_distinct_lists(const GroupLists& lists);

// The sum of squares of `values` (individual i's at values[i]) within the
// lists: over i ascending, from 0.0, of e*e with e = values[i] - mean_i,
// mean_i the sum over i's members (ascending, from 0.0) of their values
// divided by the list size. Each distinct list's mean is formed once.
double within_list_sum_of_squares(const GroupLists& lists, const double* values);

// What the log says of the lists: group sizes when they partition the sample
// (in order of each group's first member), else the range of list sizes.
struct GroupSummary {
  bool lists_partition = true;
  std::vector<int> group_sizes;
  int smallest_list = 0, largest_list = 0;
};
GroupSummary summarize_groups(const GroupLists& lists);

// Draws the donors of one replicate (see above). Candidates are counted and
// selected over bitsets of the lists, which gives the very same choices as
// scanning each list in order. When the lists partition the individuals, a
// served position's candidates are its group's members not yet taken, and
// the q-th of them in ascending order is found in a counting (Fenwick) tree
// over the group's members: O(log g) a draw instead of O(n / 64), the same
// count, the same q, the same donor.
// Memory: n^2 / 8 bytes for the list bitsets; with a partition 16 n bytes of
// group layout and 12 n bytes of trees a drawing thread.
class DonorSampler {
 public:
  explicit DonorSampler(SameGroup same_group);
  // donor[i] (0-based) receives the individual whose trait i takes.
  void assign(const std::vector<int>& visit_order, std::vector<int>& donor, RandomStream& stream);
  // The same draws over the bitsets whatever the lists: the plain twin.
  void assign_over_bitsets(const std::vector<int>& visit_order, std::vector<int>& donor,
                           RandomStream& stream);

 private:
  friend class ReplicateDrawer;
  // assign() with the caller's scratch (`taken`: words_ words; `counts`:
  // 3 n ints, used with a partition) in place of the sampler's own, so that
  // several threads can draw at once.
  void assign(const std::vector<int>& visit_order, std::vector<int>& donor, RandomStream& stream,
              std::uint64_t* taken, int* counts) const;
  // Whether the lists partition the individuals: everyone is in its own
  // list, and the lists of any two individuals are equal or disjoint. Then
  // every served position finds a candidate, so a replicate draws exactly
  // n values after its visit order. O(n^2 / 64).
  bool lists_partition() const;
  // Whether the group layout was made (the lists partition a nonempty sample).
  bool partitions() const { return !group_members_.empty(); }

  int n_;
  std::size_t words_;
  std::vector<std::uint64_t> lists_;  // n rows of `words_` words
  std::vector<std::uint64_t> taken_;
  // With a partition: the groups' members, each group's ascending, one group
  // after another; individual i's group starts at group_start_[i] and has
  // group_size_[i] members, and its counting tree (a power of 2 at or above
  // the size, under 2 n places in all) starts at tree_start_[i]. Empty
  // otherwise.
  std::vector<int> group_members_, group_start_, group_size_, tree_start_;
  std::vector<int> counts_;
};

// The permuted traits of replicate r lie in panels of 8 replicates, each panel
// row by row: y[replicate_index(i, r, n)] is the centred trait individual i
// received in replicate r.
inline std::size_t replicate_index(int i, int r, int n) {
  return (static_cast<std::size_t>(r / 8) * static_cast<std::size_t>(n) + static_cast<std::size_t>(i)) * 8 +
         static_cast<std::size_t>(r % 8);
}

// The replicates of a run drawn a chunk at a time, in stream order: each
// call draws the next `count` replicates' donors and stores the permuted
// traits (see replicate_index) in `traits`, N x stride with stride `count`
// rounded up to a multiple of 8 (the padding replicates hold 0.0), and each
// replicate's sum of squared permuted traits (ascending individuals, from
// 0.0) in `sum_y2`, or, when the drawer was given `within` lists, each
// replicate's within_list_sum_of_squares of the permuted traits.
// `on_replicate()` is called after each replicate, on the calling thread.
//
// When the lists partition the individuals, every replicate takes exactly 2N
// draws (N for the visit order, one per served position), so replicate r of
// a call starts 2N r draws after the call's start: the replicates are then
// drawn on up to `threads` threads, each panel of 8 replicates from its own
// start found by advance_random_stream, and the results, the states and the
// stream left behind are those of drawing them one after another. With
// overlapping lists the number of draws depends on the draws, and the
// replicates are drawn in turn on the calling thread.
// Memory: the list bitsets, a copy of `within`, 8 N stride bytes in
// `traits`, about 16 N bytes of draw buffers and, with `within` lists,
// 64 N bytes of panel means a thread.
class ReplicateDrawer {
 public:
  ReplicateDrawer(SameGroup same_group, std::vector<double> centred_trait,
                  const GroupLists* within = nullptr);
  ReplicateDrawer(const ReplicateDrawer&) = delete;
  ReplicateDrawer& operator=(const ReplicateDrawer&) = delete;
  ~ReplicateDrawer();
  // `states`, when given, receives the stream after each replicate. Nothing
  // but the time taken depends on `threads`.
  void draw(int count, RandomStream& stream, std::vector<double>& traits,
            std::vector<double>& sum_y2, const std::function<void()>& on_replicate,
            std::vector<RandomStream>* states = nullptr, int threads = 1);

 private:
  DonorSampler sampler_;
  std::vector<double> y_;
  IntVector order_;
  std::vector<int> visit_, donor_;
  bool within_ = false;
  GroupLists within_lists_;

  // One thread's buffers for the replicates drawn on several threads.
  struct ThreadBuffers {
    std::vector<int> order;  // 1..n, seen through an IntVector
    std::vector<int> visit, donor;
    std::vector<std::uint64_t> taken;
    std::vector<int> counts;
  };
  // S_r within the lists of every replicate of a call, 8 replicates (a
  // panel of `traits`) at a time in vector lanes, panels over the threads.
  void panel_sums_within_lists(int count, const std::vector<double>& traits,
                               std::vector<double>& sum_y2, int threads) const;
  // Replicate `rep` from its donors: its permuted traits into `traits` and,
  // without `within` lists, its plain sum of squares into sum_y2[rep].
  void store_replicate(int rep, const std::vector<int>& donor, std::vector<double>& traits,
                       std::vector<double>& sum_y2) const;
  void draw_on_threads(int count, int threads, RandomStream& stream, std::vector<double>& traits,
                       std::vector<double>& sum_y2, const std::function<void()>& on_replicate,
                       std::vector<RandomStream>* states);
  std::vector<ThreadBuffers> buffers_;
};

}  // namespace strataperm
