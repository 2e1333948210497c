// The replicate drawer against drawing the replicates one after another on
// one stream: on lists that partition the individuals the drawer spreads the
// replicates over threads, each from its own place in the stream, and must
// still give the very same traits, sums of squares, states and stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "analysis/same_group.hpp"
#include "analysis/within_group_permutation.hpp"
#include "numerics/random.hpp"

namespace strataperm {
namespace {

enum class Lists { one_group, partition, singletons, overlapping, shared_member, not_own };

const char* lists_name(Lists kind) {
  switch (kind) {
    case Lists::one_group: return "one group";
    case Lists::partition: return "partition";
    case Lists::singletons: return "singletons";
    case Lists::overlapping: return "overlapping";
    case Lists::shared_member: return "shared member";
    case Lists::not_own: return "not in own list";
  }
  return "";
}

// Random same-group lists of n individuals. Two kinds are not symmetric and
// look nearly like a partition: with a `shared_member` the last individual
// is added to the lists of every group but its own, so each list still
// equals the list of its smallest member; with `not_own` one individual is
// in no list, not even its own, which is its group without it (empty when
// the group is itself alone).
SameGroup random_same_group(int n, Lists kind, RandomStream& data) {
  SameGroup same(n, kind == Lists::one_group);
  if (kind == Lists::one_group) return same;
  std::vector<int> cluster(static_cast<std::size_t>(n));
  const int labels = 1 + static_cast<int>(uniform_random(data) * 6);
  for (int& c : cluster) c = static_cast<int>(uniform_random(data) * labels);
  for (int i = 0; i < n; ++i) {
    if (kind == Lists::singletons) {
      same.set(i, i);
      continue;
    }
    for (int j = 0; j < n; ++j) {
      const std::size_t a = static_cast<std::size_t>(i), b = static_cast<std::size_t>(j);
      bool together = cluster[a] == cluster[b];
      if (kind == Lists::overlapping)
        together = i == j || (std::abs(cluster[a] - cluster[b]) <= 1 && uniform_random(data) < 0.7);
      if (kind == Lists::shared_member) together = together || (j == n - 1 && cluster[a] != cluster[b]);
      if (kind == Lists::not_own) together = together && j != n / 2;
      if (together) same.set(i, j);
    }
  }
  if (kind == Lists::overlapping) {  // symmetric, as the structure fit makes them
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < i; ++j)
        if (same.test(i, j) != same.test(j, i)) {
          same.set(i, j);
          same.set(j, i);
        }
  }
  return same;
}

// What one draw call gives back.
struct Chunk {
  std::vector<double> traits, sum_y2;
  std::vector<RandomStream> states;
  RandomStream after;
};

// The replicates one after another on `stream`, in the drawer's layout: the
// visit order, the donors over the lists, the permuted traits and their sum
// of squares (plain, or within `within`).
Chunk draw_one_after_another(const SameGroup& same, const std::vector<double>& y,
                             const GroupLists* within, int count, RandomStream& stream) {
  const int n = static_cast<int>(y.size());
  DonorSampler sampler{SameGroup(same)};
  const int stride = (count + 7) / 8 * 8;
  Chunk chunk;
  chunk.traits.assign(static_cast<std::size_t>(n) * stride, 0.0);
  std::vector<int> order(static_cast<std::size_t>(n)), visit(order.size()), donor(order.size());
  std::vector<double> received(order.size());
  for (int rep = 0; rep < count; ++rep) {
    random_permutation(IntVector(order.data(), 1), n, stream);
    for (int k = 0; k < n; ++k) visit[static_cast<std::size_t>(k)] = order[static_cast<std::size_t>(k)] - 1;
    sampler.assign(visit, donor, stream);
    double s = 0.0;
    for (int i = 0; i < n; ++i) {
      const double v = y[static_cast<std::size_t>(donor[static_cast<std::size_t>(i)])];
      chunk.traits[replicate_index(i, rep, n)] = v;
      received[static_cast<std::size_t>(i)] = v;
      s += v * v;
    }
    chunk.sum_y2.push_back(within != nullptr ? within_list_sum_of_squares(*within, received.data()) : s);
    chunk.states.push_back(stream);
  }
  chunk.after = stream;
  return chunk;
}

bool same_state(const RandomStream& a, const RandomStream& b) {
  return a.s1 == b.s1 && a.s2 == b.s2 && a.s3 == b.s3 && a.draws == b.draws;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Draws `total` replicates in calls of the sizes in `chunks` (cycled) with
// one drawer at `threads` threads, and each call's results against the same
// replicates drawn one after another. The output vectors are reused from call
// to call, as the engines reuse them.
void expect_drawer_matches_serial(const SameGroup& same, const std::vector<double>& y,
                                  const GroupLists* within, int total,
                                  const std::vector<int>& chunks, int threads,
                                  const std::string& where) {
  SCOPED_TRACE(where + ", threads " + std::to_string(threads));
  ReplicateDrawer drawer(SameGroup(same), y, within);
  RandomStream stream, serial_stream;
  seed_random_stream(stream);
  advance_random_stream(stream, 12345);
  serial_stream = stream;
  std::vector<double> traits, sum_y2;
  std::vector<RandomStream> states;
  const std::thread::id caller = std::this_thread::get_id();
  int done = 0;
  for (std::size_t call = 0; done < total; ++call) {
    const int count = std::min(chunks[call % chunks.size()], total - done);
    SCOPED_TRACE("call " + std::to_string(call) + " of " + std::to_string(count) + " replicates");
    const Chunk expected = draw_one_after_another(same, y, within, count, serial_stream);
    int reported = 0;
    bool on_caller = true;
    const bool with_states = call % 2 == 0;
    drawer.draw(count, stream, traits, sum_y2, [&] {
      ++reported;
      on_caller = on_caller && std::this_thread::get_id() == caller;
    }, with_states ? &states : nullptr, threads);
    ASSERT_TRUE(same_bits(traits, expected.traits));
    ASSERT_TRUE(same_bits(sum_y2, expected.sum_y2));
    ASSERT_TRUE(same_state(stream, expected.after))
        << "draws " << stream.draws << " against " << expected.after.draws;
    if (with_states) {
      ASSERT_EQ(states.size(), expected.states.size());
      for (std::size_t r = 0; r < states.size(); ++r) ASSERT_TRUE(same_state(states[r], expected.states[r])) << r;
    }
    EXPECT_EQ(reported, count);
    EXPECT_TRUE(on_caller);
    done += count;
  }
}

std::vector<double> random_trait(int n, RandomStream& data) {
  std::vector<double> y(static_cast<std::size_t>(n));
  for (double& v : y) v = 10.0 * uniform_random(data) - 5.0;
  return y;
}

// Every kind of lists, with plain and within-list sums of squares, at 1, 2, 3
// and 5 threads, in calls of every size from a single replicate to more than
// the panels the threads can share.
TEST(ReplicateDrawer, GivesTheReplicatesOfTheOneStreamAtAnyThreadCount) {
  RandomStream data;
  seed_random_stream(data);
  const std::vector<std::vector<int>> chunk_plans = {{1, 8, 13}, {64, 9, 30}, {200}, {17, 7, 40, 16}};
  for (int trial = 0; trial < 36; ++trial) {
    const Lists kind = static_cast<Lists>(trial % 6);
    const int n = trial < 6 ? 1 + trial : 1 + static_cast<int>(uniform_random(data) * 150);
    const SameGroup same = random_same_group(n, kind, data);
    const std::vector<double> y = random_trait(n, data);
    const GroupLists lists = build_group_lists(same);
    const bool within = trial % 3 == 1;
    const int total = 1 + static_cast<int>(uniform_random(data) * 120);
    const std::vector<int>& chunks = chunk_plans[static_cast<std::size_t>(trial) % chunk_plans.size()];
    for (const int threads : {1, 2, 3, 5}) {
      expect_drawer_matches_serial(same, y, within ? &lists : nullptr, total, chunks, threads,
                                   "trial " + std::to_string(trial) + ", " + lists_name(kind) +
                                       (within ? " (within-list sums)" : "") + ", n " + std::to_string(n) +
                                       ", R " + std::to_string(total));
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

// Large enough that every thread gets several panels, both sums of squares.
TEST(ReplicateDrawer, ManyReplicatesOverGroupsOfUnequalSizes) {
  RandomStream data;
  seed_random_stream(data);
  advance_random_stream(data, 777);
  const int n = 300;
  std::vector<int> clusters(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) clusters[static_cast<std::size_t>(i)] = i < 7 ? 0 : i < 100 ? 1 : 2;
  const SameGroup same = same_group_of_clusters(clusters);
  const std::vector<double> y = random_trait(n, data);
  const GroupLists lists = build_group_lists(same);
  ASSERT_TRUE(lists.partitions());
  for (const int threads : {2, 3, 5}) {
    expect_drawer_matches_serial(same, y, nullptr, 403, {250, 153}, threads, "plain sums");
    expect_drawer_matches_serial(same, y, &lists, 403, {250, 153}, threads, "within-list sums");
  }
}

}  // namespace
}  // namespace strataperm
