#include "analysis/within_group_permutation.hpp"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>

#include "analysis/vector_lanes.hpp"
#include "core/parallel.hpp"
#include "numerics/counting_tree.hpp"


namespace strataperm {

GroupLists build_group_lists(const SameGroup& same_group) {
  GroupLists lists;
  const int n = same_group.n;
  const std::size_t size = static_cast<std::size_t>(n), words = same_group.words;
  lists.start.assign(size, 0);
  lists.count.assign(size, 0);
  lists.owner.resize(size);
  // An earlier list equal to i's has its owner among i's members (everyone is
  // in its own list): the first member before i whose row is i's gives it.
  const auto owner_of = [&](int i) {
    const std::uint64_t* row = same_group.row(i);
    for (std::size_t w = 0; w < words; ++w)
      for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1) {
        const int k = static_cast<int>(w * 64) + __builtin_ctzll(bits);
        if (k >= i) return i;
        if (std::equal(row, row + words, same_group.row(k))) return lists.owner[static_cast<std::size_t>(k)];
      }
    return i;
  };
  for (int i = 0; i < n; ++i) {
    const std::uint64_t* row = same_group.row(i);
    int count = 0;
    for (std::size_t w = 0; w < words; ++w) count += __builtin_popcountll(row[w]);
    lists.count[static_cast<std::size_t>(i)] = count;
    lists.owner[static_cast<std::size_t>(i)] = owner_of(i);
    const int owner = lists.owner[static_cast<std::size_t>(i)];
    if (owner != i) {
      lists.start[static_cast<std::size_t>(i)] = lists.start[static_cast<std::size_t>(owner)];
      continue;
    }
    lists.start[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(lists.members.size());
    for (std::size_t w = 0; w < words; ++w)
      for (std::uint64_t bits = row[w]; bits != 0; bits &= bits - 1)
        lists.members.push_back(static_cast<int>(w * 64) + __builtin_ctzll(bits));
  }
  // A partition: each list equals the list of its smallest member, which is
  // then the list's owner.
  std::vector<int> group(size, -1), position(size, 0);
  int groups = 0;
  for (int i = 0; i < n; ++i) {
    if (lists.size(i) == 0) return lists;
    const int leader = lists.list(i)[0];
    if (lists.owner[static_cast<std::size_t>(i)] != leader) return lists;
    if (leader == i) group[static_cast<std::size_t>(i)] = groups++;
  }
  for (int i = 0; i < n; ++i) {
    group[static_cast<std::size_t>(i)] = group[static_cast<std::size_t>(lists.list(i)[0])];
    const int* members = lists.list(i);
    position[static_cast<std::size_t>(i)] =
        static_cast<int>(std::lower_bound(members, members + lists.size(i), i) - members);
  }
  lists.group = std::move(group);
  lists.position = std::move(position);
  lists.groups = groups;
  return lists;
}

SameGroup same_group_of_clusters(const std::vector<int>& clusters) {
  const int n = static_cast<int>(clusters.size());
  SameGroup same_group(n, false);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      if (clusters[static_cast<std::size_t>(i)] == clusters[static_cast<std::size_t>(j)]) same_group.set(i, j);
  return same_group;
}

int count_distinct_lists(const GroupLists& lists) {
  int distinct = 0;
  for (std::size_t i = 0; i < lists.owner.size(); ++i) distinct += lists.owner[i] == static_cast<int>(i);
  return distinct;
}

double within_list_sum_of_squares(const GroupLists& lists, const double* values) {
  const std::size_t n = lists.owner.size();
  std::vector<double> mean(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (lists.owner[i] != static_cast<int>(i)) continue;
    double total = 0.0;
    const int* members = lists.list(static_cast<int>(i));
    for (int m = 0; m < lists.size(static_cast<int>(i)); ++m) total += values[members[m]];
    mean[i] = total / static_cast<double>(lists.size(static_cast<int>(i)));
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double e = values[i] - mean[static_cast<std::size_t>(lists.owner[i])];
    sum += e * e;
  }
  return sum;
}

GroupSummary summarize_groups(const GroupLists& lists) {
  GroupSummary summary;
  const int n = lists.n();
  summary.lists_partition = lists.partitions();
  summary.group_sizes.assign(static_cast<std::size_t>(lists.groups), 0);
  for (int i = 0; i < n; ++i) {
    if (lists.partitions()) ++summary.group_sizes[static_cast<std::size_t>(lists.group[i])];
    summary.smallest_list = i == 0 ? lists.size(i) : std::min(summary.smallest_list, lists.size(i));
    summary.largest_list = std::max(summary.largest_list, lists.size(i));
  }
  return summary;
}

DonorSampler::DonorSampler(SameGroup same_group)
    : n_(same_group.n), words_(same_group.words), lists_(std::move(same_group.bits)) {
  taken_.assign(words_, 0);
  if (n_ == 0 || !lists_partition()) return;
  const std::size_t n = static_cast<std::size_t>(n_);
  group_start_.assign(n, 0);
  group_size_.assign(n, 0);
  tree_start_.assign(n, 0);
  int trees = 0;
  group_members_.reserve(n);
  for (int i = 0; i < n_; ++i) {
    const std::uint64_t* list = lists_.data() + static_cast<std::size_t>(i) * words_;
    std::size_t w = 0;
    while (list[w] == 0) ++w;
    const int leader = static_cast<int>(w * 64) + __builtin_ctzll(list[w]);
    if (leader != i) {  // a later member: its leader's group
      group_start_[static_cast<std::size_t>(i)] = group_start_[static_cast<std::size_t>(leader)];
      group_size_[static_cast<std::size_t>(i)] = group_size_[static_cast<std::size_t>(leader)];
      tree_start_[static_cast<std::size_t>(i)] = tree_start_[static_cast<std::size_t>(leader)];
      continue;
    }
    group_start_[static_cast<std::size_t>(i)] = static_cast<int>(group_members_.size());
    for (; w < words_; ++w)
      for (std::uint64_t bits = list[w]; bits != 0; bits &= bits - 1)
        group_members_.push_back(static_cast<int>(w * 64) + __builtin_ctzll(bits));
    group_size_[static_cast<std::size_t>(i)] =
        static_cast<int>(group_members_.size()) - group_start_[static_cast<std::size_t>(i)];
    tree_start_[static_cast<std::size_t>(i)] = trees;
    trees += counting_tree_span(group_size_[static_cast<std::size_t>(i)]);
  }
  counts_.assign(3 * n, 0);
}

namespace {

// One replicate's donors over bitsets (see DonorSampler::assign). A free
// function so it can be built with the processor's population-count
// instruction where there is one.
__attribute__((target_clones("popcnt", "default"))) void assign_donors_over_bitsets(
    const std::uint64_t* lists, std::uint64_t* taken, std::size_t words, int n,
    const int* visit_order, int* donor, RandomStream& stream) {
  std::fill(taken, taken + words, 0);
  for (int k = 0; k < n; ++k) {
    const int i = visit_order[k];
    const std::uint64_t* list = lists + static_cast<std::size_t>(i) * words;
    int count = 0;
    for (std::size_t w = 0; w < words; ++w) count += __builtin_popcountll(list[w] & ~taken[w]);
    if (count == 0) {
      donor[i] = i;
      continue;
    }
    const double u = uniform_random(stream);
    int q = static_cast<int>(u * count + 1.0);
    for (std::size_t w = 0;; ++w) {
      std::uint64_t free_members = list[w] & ~taken[w];
      const int here = __builtin_popcountll(free_members);
      if (q > here) {
        q -= here;
        continue;
      }
      for (int skip = 1; skip < q; ++skip) free_members &= free_members - 1;
      const int bit = __builtin_ctzll(free_members);
      donor[i] = static_cast<int>(w * 64) + bit;
      taken[w] |= std::uint64_t{1} << bit;
      break;
    }
  }
}

// One replicate's donors where the lists partition the individuals. Group
// g's members lie at members[start, start + size); its counting tree at
// tree[tree_start, tree_start + span), span the power of 2 at or above size,
// counts the untaken places (k - lowbit(k), k] (1-based, places past size
// never untaken); `left[start]` is the group's untaken count. The q-th
// untaken member in ascending order, found by a descent of log2(span) steps
// without branches, is the bitset scan's q-th set bit of the same list: the
// same donor for the same draw.
void assign_donors_in_groups(const int* members, const int* group_start, const int* group_size,
                             const int* tree_start, int n, const int* visit_order, int* donor,
                             RandomStream& stream, int* tree, int* left) {
  for (int i = 0; i < n; ++i) {
    const int start = group_start[i];
    if (members[start] != i) continue;  // each group once, at its first member
    counting_tree_fill(tree + tree_start[i], counting_tree_span(group_size[i]), group_size[i]);
    left[start] = group_size[i];
  }
  for (int k = 0; k < n; ++k) {
    const int i = visit_order[k];
    const int start = group_start[i];
    // i's own place is untaken until its visit has ended, so count >= 1.
    const int count = left[start];
    const double u = uniform_random(stream);
    const int q = std::min(count, static_cast<int>(u * count + 1.0));
    donor[i] = members[start + counting_tree_take(tree + tree_start[i], counting_tree_span(group_size[i]), q)];
    left[start] = count - 1;
  }
}

}  // namespace

void DonorSampler::assign(const std::vector<int>& visit_order, std::vector<int>& donor,
                          RandomStream& stream) {
  assign(visit_order, donor, stream, taken_.data(), counts_.data());
}

void DonorSampler::assign_over_bitsets(const std::vector<int>& visit_order, std::vector<int>& donor,
                                       RandomStream& stream) {
  assign_donors_over_bitsets(lists_.data(), taken_.data(), words_, n_, visit_order.data(),
                             donor.data(), stream);
}

void DonorSampler::assign(const std::vector<int>& visit_order, std::vector<int>& donor,
                          RandomStream& stream, std::uint64_t* taken, int* counts) const {
  if (!group_members_.empty()) {
    assign_donors_in_groups(group_members_.data(), group_start_.data(), group_size_.data(),
                            tree_start_.data(), n_, visit_order.data(), donor.data(), stream, counts,
                            counts + 2 * n_);
    return;
  }
  assign_donors_over_bitsets(lists_.data(), taken, words_, n_, visit_order.data(), donor.data(),
                             stream);
}

bool DonorSampler::lists_partition() const {
  // Each list must equal the list of its smallest member (its leader), and
  // the lists of the individuals that lead their own lists must not overlap.
  // Then every list is one of those disjoint lists, and every individual is
  // in its own.
  std::vector<std::uint64_t> covered(words_, 0);
  for (int i = 0; i < n_; ++i) {
    const std::uint64_t* list = lists_.data() + static_cast<std::size_t>(i) * words_;
    if (((list[static_cast<std::size_t>(i) / 64] >> (i % 64)) & 1u) == 0) return false;
    std::size_t w = 0;
    while (list[w] == 0) ++w;
    const int leader = static_cast<int>(w * 64) + __builtin_ctzll(list[w]);
    if (leader != i) {
      if (!std::equal(list, list + words_, lists_.data() + static_cast<std::size_t>(leader) * words_))
        return false;
      continue;
    }
    for (w = 0; w < words_; ++w) {
      if ((covered[w] & list[w]) != 0) return false;
      covered[w] |= list[w];
    }
  }
  return true;
}

ReplicateDrawer::ReplicateDrawer(SameGroup same_group, std::vector<double> centred_trait,
                                 const GroupLists* within)
    : sampler_(std::move(same_group)),
      y_(std::move(centred_trait)),
      order_(ivector(1, static_cast<long>(y_.size()))),
      visit_(y_.size()),
      donor_(y_.size()),
      within_(within != nullptr) {
  if (within != nullptr) within_lists_ = *within;
}

ReplicateDrawer::~ReplicateDrawer() { free_ivector(order_, 1, static_cast<long>(y_.size())); }

void ReplicateDrawer::store_replicate(int rep, const std::vector<int>& donor,
                                      std::vector<double>& traits, std::vector<double>& sum_y2) const {
  const int n = static_cast<int>(y_.size());
  double s = 0.0;
  for (std::size_t i = 0; i < y_.size(); ++i) {
    const double v = y_[static_cast<std::size_t>(donor[i])];
    traits[replicate_index(static_cast<int>(i), rep, n)] = v;
    if (!within_) s += v * v;
  }
  // Within the lists, S_r waits for the whole panel (within_list_panel_sums).
  if (!within_) sum_y2[static_cast<std::size_t>(rep)] = s;
}

namespace {

// within_list_sum_of_squares of each of a panel's 8 replicates at once, a
// replicate a lane: `panel` holds individual i's 8 received values at
// panel[8 i .. 8 i + 8), `means` room for 8 values an individual. Each lane
// adds in the scalar function's order, so out[k] is its value for lane k.
__attribute__((target_clones("avx2", "default"))) void within_list_panel_sums(
    const GroupLists& lists, const double* panel, double* means, double* out) {
  const int n = lists.n();
  for (int i = 0; i < n; ++i) {
    if (lists.owner[static_cast<std::size_t>(i)] != i) continue;
    Lanes4 total0 = {0.0, 0.0, 0.0, 0.0}, total1 = total0;
    const int* members = lists.list(i);
    const int size = lists.size(i);
    for (int m = 0; m < size; ++m) {
      const double* v = panel + static_cast<std::size_t>(members[m]) * 8;
      total0 += LOAD4(v);
      total1 += LOAD4(v + 4);
    }
    const double count = static_cast<double>(size);
    const Lanes4 w = {count, count, count, count};
    STORE4(means + static_cast<std::size_t>(i) * 8, total0 / w);
    STORE4(means + static_cast<std::size_t>(i) * 8 + 4, total1 / w);
  }
  Lanes4 sum0 = {0.0, 0.0, 0.0, 0.0}, sum1 = sum0;
  for (int i = 0; i < n; ++i) {
    const double* v = panel + static_cast<std::size_t>(i) * 8;
    const double* mean = means + static_cast<std::size_t>(lists.owner[static_cast<std::size_t>(i)]) * 8;
    const Lanes4 e0 = LOAD4(v) - LOAD4(mean);
    const Lanes4 e1 = LOAD4(v + 4) - LOAD4(mean + 4);
    sum0 += e0 * e0;
    sum1 += e1 * e1;
  }
  for (int k = 0; k < 4; ++k) {
    out[k] = sum0[k];
    out[4 + k] = sum1[k];
  }
}

}  // namespace

void ReplicateDrawer::panel_sums_within_lists(int count, const std::vector<double>& traits,
                                              std::vector<double>& sum_y2, int threads) const {
  if (!within_) return;
  const std::size_t rows = y_.size();
  const int panels = (count + 7) / 8;
  parallel_for(std::max(1, std::min(threads, panels)), panels, [&](int, long panel) {
    thread_local std::vector<double> means;
    means.resize(rows * 8);
    double out[8];
    within_list_panel_sums(within_lists_, traits.data() + static_cast<std::size_t>(panel) * rows * 8,
                           means.data(), out);
    for (int k = 0; k < 8; ++k) {
      const long rep = panel * 8 + k;
      if (rep < count) sum_y2[static_cast<std::size_t>(rep)] = out[k];
    }
  });
}

void ReplicateDrawer::draw(int count, RandomStream& stream, std::vector<double>& traits,
                           std::vector<double>& sum_y2, const std::function<void()>& on_replicate,
                           std::vector<RandomStream>* states, int threads) {
  const int n = static_cast<int>(y_.size());
  const int panels = (count + 7) / 8;
  if (threads > 1 && panels > 1 && n > 0) {
    if (sampler_.partitions()) {
      draw_on_threads(count, std::min(threads, panels), stream, traits, sum_y2, on_replicate, states);
      return;
    }
  }
  if (states != nullptr) states->clear();
  const std::size_t rows = y_.size();
  const int stride = (count + 7) / 8 * 8;
  traits.assign(rows * static_cast<std::size_t>(stride), 0.0);
  sum_y2.assign(static_cast<std::size_t>(count), 0.0);
  for (int rep = 0; rep < count; ++rep) {
    random_permutation(order_, n, stream);
    for (int k = 1; k <= n; ++k) visit_[static_cast<std::size_t>(k - 1)] = order_[k] - 1;
    sampler_.assign(visit_, donor_, stream);
    store_replicate(rep, donor_, traits, sum_y2);
    if (states != nullptr) states->push_back(stream);
    if (on_replicate) on_replicate();
  }
  panel_sums_within_lists(count, traits, sum_y2, threads);
}

void ReplicateDrawer::draw_on_threads(int count, int threads, RandomStream& stream,
                                      std::vector<double>& traits, std::vector<double>& sum_y2,
                                      const std::function<void()>& on_replicate,
                                      std::vector<RandomStream>* states) {
  const int n = static_cast<int>(y_.size());
  const std::size_t rows = y_.size();
  const int stride = (count + 7) / 8 * 8;
  const int panels = stride / 8;
  // Every entry but the last panel's padding is written below.
  traits.resize(rows * static_cast<std::size_t>(stride));
  for (int rep = count; rep < stride; ++rep)
    for (int i = 0; i < n; ++i) traits[replicate_index(i, rep, n)] = 0.0;
  sum_y2.assign(static_cast<std::size_t>(count), 0.0);
  if (states != nullptr) states->assign(static_cast<std::size_t>(count), RandomStream{});
  if (buffers_.size() < static_cast<std::size_t>(threads)) buffers_.resize(static_cast<std::size_t>(threads));
  for (ThreadBuffers& buffers : buffers_) {
    buffers.order.resize(rows);
    buffers.visit.resize(rows);
    buffers.donor.resize(rows);
    buffers.taken.resize(sampler_.words_);
    buffers.counts.resize(3 * rows);
  }

  const RandomStream start = stream;
  const std::int64_t per_replicate = 2 * static_cast<std::int64_t>(n);
  std::atomic<int> finished{0};
  int reported = 0;  // on_replicate calls so far, all on the calling thread (worker 0)
  // A panel at a time, so that no two threads write to one cache line of
  // `traits` and each thread jumps once per 8 replicates.
  parallel_for(threads, panels, [&](int worker, long panel) {
    ThreadBuffers& buffers = buffers_[static_cast<std::size_t>(worker)];
    const IntVector order(buffers.order.data(), 1);
    const int first = static_cast<int>(panel) * 8;
    const int last = std::min(count, first + 8);
    RandomStream local = start;
    advance_random_stream(local, per_replicate * first);
    for (int rep = first; rep < last; ++rep) {
      const std::int64_t before = local.draws;
      random_permutation(order, n, local);
      for (int k = 1; k <= n; ++k) buffers.visit[static_cast<std::size_t>(k - 1)] = order[k] - 1;
      sampler_.assign(buffers.visit, buffers.donor, local, buffers.taken.data(),
                      buffers.counts.data());
      if (local.draws - before != per_replicate)
        throw std::logic_error("ReplicateDrawer: a replicate over partitioning lists took " +
                               std::to_string(local.draws - before) + " draws, not 2N = " +
                               std::to_string(per_replicate));
      store_replicate(rep, buffers.donor, traits, sum_y2);
      if (states != nullptr) (*states)[static_cast<std::size_t>(rep)] = local;
      ++finished;
      if (worker == 0 && on_replicate)
        for (const int done = finished; reported < done; ++reported) on_replicate();
    }
  });
  if (on_replicate)
    for (; reported < count; ++reported) on_replicate();
  panel_sums_within_lists(count, traits, sum_y2, threads);
  stream = start;
  advance_random_stream(stream, per_replicate * count);
}

}  // namespace strataperm
