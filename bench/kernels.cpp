// Google Benchmark timings of the exact kernels against their plain
// counterparts (same arithmetic, same order, same results):
//   cmake -S . -B build -DSTRATAPERM_BENCH=ON && cmake --build build --target bench_kernels
//   build/bench/bench_kernels --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <vector>

#include "analysis/covariate_model.hpp"
#include "analysis/kernels.hpp"
#include "analysis/within_group_permutation.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace {

using namespace strataperm;

std::vector<double> random_values(std::size_t count, double scale) {
  RandomStream stream;
  seed_random_stream(stream);
  std::vector<double> values(count);
  for (double& v : values) v = (uniform_random(stream) - 0.5) * scale;
  return values;
}

// Permuted sums for one block of 64 markers (128 code columns) against R
// replicates, N individuals. Counter: multiply-add pairs per second.
template <bool kFast>
void PermutedSums(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int stride = static_cast<int>(state.range(1));
  const int width = 128;
  const std::vector<double> codes = random_values(static_cast<std::size_t>(n) * width, 2.0);
  const std::vector<double> y = random_values(static_cast<std::size_t>(n) * stride, 10.0);
  std::vector<double> out(static_cast<std::size_t>(width) * stride);
  for (auto _ : state) {
    if (kFast) {
      permuted_sums(codes.data(), y.data(), n, width, stride, out.data());
    } else {
      permuted_sums_plain(codes.data(), y.data(), n, width, stride, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["MAC/s"] = benchmark::Counter(
      static_cast<double>(n) * width * stride * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(PermutedSums<true>)->Args({1000, 504})->Args({2000, 1000});
BENCHMARK(PermutedSums<false>)->Args({1000, 504});

// Residuals of a block's 128 code columns on a reduced model of an
// intercept, K covariates and one group indicator (two equal groups), the
// fast tiles (true) against the plain twin. Counter: multiply-adds per second
// (2 N p a column, p = K + 2), beside PermutedSums' to give the share a
// block's residuals add to its permuted sums.
template <bool kFast>
void Residuals(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int k = static_cast<int>(state.range(1));
  const int width = 128;
  Covariates covariates;
  covariates.values = random_values(static_cast<std::size_t>(n) * k, 4.0);
  for (int c = 0; c < k; ++c) covariates.names.push_back("c");
  std::vector<int> clusters(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) clusters[static_cast<std::size_t>(i)] = i < n / 2 ? 0 : 1;
  const ReducedModel model(covariates, build_group_lists(same_group_of_clusters(clusters)));
  const std::vector<double> codes = random_values(static_cast<std::size_t>(n) * width, 2.0);
  std::vector<double> block = codes;
  for (auto _ : state) {
    if (kFast) {
      model.residualize(block.data(), width, width);
    } else {
      model.residualize_plain(block.data(), width, width);
    }
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["MAC/s"] = benchmark::Counter(
      2.0 * n * width * model.rank() * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(Residuals<true>)->Args({2000, 10})->Args({2000, 3});
BENCHMARK(Residuals<false>)->Args({2000, 10});

// Group-mean adjustment of a 128-column block, two equal groups: the
// jumping kernel (0), the vectorized sums (1) and the plain loop (2), on unit
// codes as the markers give them.
template <int kKernel>
void GroupMeanAdjustment(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int width = 128;
  std::vector<int> clusters(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) clusters[static_cast<std::size_t>(i)] = i < n / 2 ? 0 : 1;
  const GroupLists lists = build_group_lists(same_group_of_clusters(clusters));
  std::vector<double> start = random_values(static_cast<std::size_t>(n) * width, 2.0);
  for (double& v : start) v = v < -0.33 ? -1.0 : v < 0.33 ? 0.0 : 1.0;
  std::vector<double> codes;
  for (auto _ : state) {
    codes = start;
    if (kKernel == 0) {
      adjust_sequentially(codes.data(), n, width, lists);
    } else if (kKernel == 1) {
      adjust_sequentially_vectorized(codes.data(), n, width, lists);
    } else {
      adjust_sequentially_plain(codes.data(), n, width, lists);
    }
    benchmark::DoNotOptimize(codes.data());
  }
}
BENCHMARK(GroupMeanAdjustment<0>)->Arg(1000)->Arg(2000)->Arg(6000)->Arg(10000);
BENCHMARK(GroupMeanAdjustment<1>)->Arg(1000)->Arg(2000)->Arg(6000)->Arg(10000);
BENCHMARK(GroupMeanAdjustment<2>)->Arg(1000);

// One draw call of R = 200 replicates, N individuals in one group or two
// equal groups, on 1 or 2 threads: lists that partition the individuals let
// each thread draw its own replicates from its own place in the stream, with
// the results of drawing them one after another. Real time, since the
// work is spread over threads. Counter: replicates per second.
void DrawReplicates(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int groups = static_cast<int>(state.range(1));
  const int threads = static_cast<int>(state.range(2));
  const int replicates = 200;
  std::vector<int> clusters(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) clusters[static_cast<std::size_t>(i)] = i * groups / n;
  ReplicateDrawer drawer(same_group_of_clusters(clusters), random_values(static_cast<std::size_t>(n), 10.0));
  RandomStream stream;
  seed_random_stream(stream);
  std::vector<double> traits, sum_y2;
  for (auto _ : state) {
    drawer.draw(replicates, stream, traits, sum_y2, {}, nullptr, threads);
    benchmark::DoNotOptimize(traits.data());
  }
  state.counters["replicates/s"] = benchmark::Counter(
      static_cast<double>(replicates) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(DrawReplicates)
    ->ArgNames({"N", "groups", "threads"})
    ->ArgsProduct({{1410, 2000}, {1, 2}, {1, 2}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Manhattan distance of two rows of allele counts. Counter: byte pairs
// compared per second.
template <bool kBytes>
void Distance(benchmark::State& state) {
  const int loci = static_cast<int>(state.range(0));
  RandomStream stream;
  seed_random_stream(stream);
  std::vector<std::uint8_t> a(loci), b(loci);
  std::vector<std::int64_t> wa(loci), wb(loci);
  for (int l = 0; l < loci; ++l) {
    wa[l] = a[l] = static_cast<std::uint8_t>(uniform_random(stream) * 3);
    wb[l] = b[l] = static_cast<std::uint8_t>(uniform_random(stream) * 3);
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(kBytes ? manhattan_distance_bytes(a.data(), b.data(), loci)
                                    : manhattan_distance(wa.data(), wb.data(), loci));
  }
  state.counters["bytes/s"] = benchmark::Counter(
      static_cast<double>(loci) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(Distance<true>)->Arg(10000);
BENCHMARK(Distance<false>)->Arg(10000);

// Distances of all pairs of N individuals at L loci (counts 0, 1, 2 in
// bytes, 2-byte distances as the similarity stage writes them), on one
// thread: the blocked kernel (true; its instruction set is the label)
// against the plain loop, one pair at a time. Counter: byte pairs compared
// per second, N (N - 1) / 2 x L, to set against `peak_rate --sad`.
template <bool kBlocked>
void PairDistances(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const int loci = static_cast<int>(state.range(1));
  RandomStream stream;
  seed_random_stream(stream);
  std::vector<std::uint8_t> counts(static_cast<std::size_t>(n) * loci);
  for (std::uint8_t& c : counts) c = static_cast<std::uint8_t>(uniform_random(stream) * 3);
  const double pairs = static_cast<double>(n) * (n - 1) / 2;
  std::vector<std::uint16_t> out(static_cast<std::size_t>(pairs));
  for (auto _ : state) {
    if (kBlocked) {
      manhattan_distances_bytes(counts.data(), n, loci, 0, n, out.data());
    } else {
      manhattan_distances_bytes_plain(counts.data(), n, loci, 0, n, out.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (kBlocked) state.SetLabel(manhattan_distances_bytes_isa());
  state.counters["bytes/s"] = benchmark::Counter(pairs * loci * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(PairDistances<true>)->Args({2000, 2000})->Args({5000, 2000})->Unit(benchmark::kMillisecond);
BENCHMARK(PairDistances<false>)->Args({2000, 2000})->Unit(benchmark::kMillisecond);

// The final sort of a million tied P-values.
void SortTies(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    DoubleVector keys = dvector(1, n);
    IntVector ids = ivector(1, n);
    for (int i = 1; i <= n; ++i) {
      keys[i] = 0.5;
      ids[i] = i;
    }
    RandomStream stream;
    seed_random_stream(stream);
    state.ResumeTiming();
    sort_with_index(keys, ids, n, stream);
    state.PauseTiming();
    free_ivector(ids, 1, n);
    free_dvector(keys, 1, n);
    state.ResumeTiming();
  }
}
BENCHMARK(SortTies)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
