#include "analysis/within_group_permutation.hpp"

#include <algorithm>


namespace strataperm {

GroupLists build_group_lists(const std::vector<std::uint8_t>& same_group, int n) {
  GroupLists lists;
  const std::size_t size = static_cast<std::size_t>(n);
  lists.offset.assign(size + 1, 0);
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = 0; j < size; ++j)
      if (same_group[i * size + j]) lists.members.push_back(static_cast<int>(j));
    lists.offset[i + 1] = static_cast<std::int64_t>(lists.members.size());
  }
  // An earlier list equal to i's has its owner among i's members (everyone is
  // in its own list).
  lists.owner.resize(size);
  for (int i = 0; i < n; ++i) {
    const int* members = &lists.members[lists.offset[i]];
    const int count = lists.size(i);
    lists.owner[i] = i;
    for (int m = 0; m < count && members[m] < i; ++m) {
      const int k = members[m];
      if (lists.size(k) == count && std::equal(members, members + count, &lists.members[lists.offset[k]])) {
        lists.owner[i] = lists.owner[k];
        break;
      }
    }
  }
  // A partition: each list equals the list of its smallest member, which is
  // then the list's owner.
  std::vector<int> group(size, -1), position(size, 0);
  int groups = 0;
  for (int i = 0; i < n; ++i) {
    const int leader = lists.members[lists.offset[i]];
    if (lists.owner[i] != leader) return lists;
    if (leader == i) group[i] = groups++;
  }
  for (int i = 0; i < n; ++i) {
    group[i] = group[lists.members[lists.offset[i]]];
    for (int p = 0; p < lists.size(i); ++p)
      if (lists.members[lists.offset[i] + p] == i) position[i] = p;
  }
  lists.group = std::move(group);
  lists.position = std::move(position);
  lists.groups = groups;
  return lists;
}

std::vector<std::uint8_t> same_group_of_clusters(const std::vector<int>& clusters) {
  const std::size_t n = clusters.size();
  std::vector<std::uint8_t> same_group(n * n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) same_group[i * n + j] = clusters[i] == clusters[j];
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
    for (std::int64_t m = lists.offset[i]; m < lists.offset[i + 1]; ++m) total += values[lists.members[m]];
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
  const int n = static_cast<int>(lists.offset.size()) - 1;
  summary.lists_partition = lists.partitions();
  summary.group_sizes.assign(static_cast<std::size_t>(lists.groups), 0);
  for (int i = 0; i < n; ++i) {
    if (lists.partitions()) ++summary.group_sizes[static_cast<std::size_t>(lists.group[i])];
    summary.smallest_list = i == 0 ? lists.size(i) : std::min(summary.smallest_list, lists.size(i));
    summary.largest_list = std::max(summary.largest_list, lists.size(i));
  }
  return summary;
}

DonorSampler::DonorSampler(const std::vector<std::uint8_t>& same_group, int n)
    : n_(n), words_((static_cast<std::size_t>(n) + 63) / 64) {
  const std::size_t size = static_cast<std::size_t>(n);
  lists_.assign(size * words_, 0);
  taken_.assign(words_, 0);
  for (std::size_t i = 0; i < size; ++i)
    for (std::size_t j = 0; j < size; ++j)
      if (same_group[i * size + j]) lists_[i * words_ + j / 64] |= std::uint64_t{1} << (j % 64);
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

}  // namespace

void DonorSampler::assign(const std::vector<int>& visit_order, std::vector<int>& donor,
                          RandomStream& stream) {
  assign_donors_over_bitsets(lists_.data(), taken_.data(), words_, n_, visit_order.data(),
                             donor.data(), stream);
}

ReplicateDrawer::ReplicateDrawer(const std::vector<std::uint8_t>& same_group,
                                 std::vector<double> centred_trait, const GroupLists* within)
    : sampler_(same_group, static_cast<int>(centred_trait.size())),
      y_(std::move(centred_trait)),
      order_(ivector(1, static_cast<long>(y_.size()))),
      visit_(y_.size()),
      donor_(y_.size()),
      within_(within != nullptr) {
  if (within != nullptr) {
    within_lists_ = *within;
    received_.resize(y_.size());
  }
}

ReplicateDrawer::~ReplicateDrawer() { free_ivector(order_, 1, static_cast<long>(y_.size())); }

void ReplicateDrawer::draw(int count, RandomStream& stream, std::vector<double>& traits,
                           std::vector<double>& sum_y2, const std::function<void()>& on_replicate,
                           std::vector<RandomStream>* states) {
  if (states != nullptr) states->clear();
  const int n = static_cast<int>(y_.size());
  const std::size_t rows = y_.size();
  const int stride = (count + 7) / 8 * 8;
  traits.assign(rows * static_cast<std::size_t>(stride), 0.0);
  sum_y2.assign(static_cast<std::size_t>(count), 0.0);
  for (int rep = 0; rep < count; ++rep) {
    random_permutation(order_, n, stream);
    for (int k = 1; k <= n; ++k) visit_[static_cast<std::size_t>(k - 1)] = order_[k] - 1;
    sampler_.assign(visit_, donor_, stream);
    double s = 0.0;
    for (std::size_t i = 0; i < rows; ++i) {
      const double v = y_[static_cast<std::size_t>(donor_[i])];
      traits[replicate_index(static_cast<int>(i), rep, n)] = v;
      if (within_) received_[i] = v; else s += v * v;
    }
    if (within_) s = within_list_sum_of_squares(within_lists_, received_.data());
    sum_y2[static_cast<std::size_t>(rep)] = s;
    if (states != nullptr) states->push_back(stream);
    if (on_replicate) on_replicate();
  }
}

}  // namespace strataperm
