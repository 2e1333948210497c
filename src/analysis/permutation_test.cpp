#include "analysis/permutation_test.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "analysis/similarity.hpp"

namespace strataperm {

namespace {

// Four doubles as one value; element-wise + - * / are the IEEE operations of
// each lane, whatever instructions the compiler picks.
typedef double Lanes4 __attribute__((vector_size(32), aligned(8), may_alias));

// Loads and stores of four doubles at any 8-byte aligned address. (Macros, not
// functions: a vector value passed across a call would need the AVX calling
// convention in the baseline clone.)
#define LOAD4(p) (*reinterpret_cast<const Lanes4*>(p))
#define STORE4(p, v) (*reinterpret_cast<Lanes4*>(p) = (v))

class StageClock {
 public:
  StageClock(bool print, AnalysisReport* report) : print_(print), report_(report), start_(now()) {}
  void lap(const char* stage) {
    const double t = now();
    if (print_) std::fprintf(stderr, "stage %s %.3f\n", stage, t - start_);
    if (report_ != nullptr) report_->stage_seconds.emplace_back(stage, t - start_);
    start_ = t;
  }

 private:
  static double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  bool print_;
  AnalysisReport* report_;
  double start_;
};

}  // namespace

int thread_count(int requested) {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int>(cores);
}

GroupLists build_group_lists(const std::vector<std::uint8_t>& same_group, int n) {
  GroupLists lists;
  const std::size_t size = static_cast<std::size_t>(n);
  lists.offset.assign(size + 1, 0);
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t j = 0; j < size; ++j)
      if (same_group[i * size + j]) lists.members.push_back(static_cast<int>(j));
    lists.offset[i + 1] = static_cast<std::int64_t>(lists.members.size());
  }
  // A partition: each list equals the list of its smallest member.
  std::vector<int> group(size, -1), position(size, 0);
  int groups = 0;
  for (int i = 0; i < n; ++i) {
    const int leader = lists.members[lists.offset[i]];
    const int size_i = lists.size(i);
    if (lists.size(leader) != size_i ||
        !std::equal(&lists.members[lists.offset[i]], &lists.members[lists.offset[i]] + size_i,
                    &lists.members[lists.offset[leader]])) {
      return lists;
    }
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

void adjust_by_group_means_plain(double* codes, int n, int width, const GroupLists& lists) {
  std::vector<double> total(static_cast<std::size_t>(width));
  for (int i = 0; i < n; ++i) {
    std::fill(total.begin(), total.end(), 0.0);
    for (std::int64_t m = lists.offset[i]; m < lists.offset[i + 1]; ++m) {
      const double* row = codes + static_cast<std::size_t>(lists.members[m]) * width;
      for (int c = 0; c < width; ++c) total[c] += row[c];
    }
    const double weight = static_cast<double>(lists.size(i));
    double* row = codes + static_cast<std::size_t>(i) * width;
    for (int c = 0; c < width; ++c) row[c] = row[c] - total[c] / weight;
  }
}

__attribute__((target_clones("avx2", "default"))) void adjust_by_group_means(
    double* codes, int n, int width, const GroupLists& lists) {
  // With a partition, prefix[g] holds the running sum, from 0.0 in ascending
  // order, of the adjusted rows of group g so far: exactly the first terms of
  // the next group member's sum.
  std::vector<double> prefix;
  if (lists.partitions()) prefix.assign(static_cast<std::size_t>(lists.groups) * width, 0.0);
  for (int i = 0; i < n; ++i) {
    const int count = lists.size(i);
    const int* members = &lists.members[lists.offset[i]];
    int first = 0;            // first member whose current row is summed here
    double* start = nullptr;  // running prefix to start from, if any
    if (lists.partitions()) {
      first = lists.position[i];
      start = &prefix[static_cast<std::size_t>(lists.group[i]) * width];
    }
    const double size = static_cast<double>(count);
    const Lanes4 w = {size, size, size, size};
    double* target = codes + static_cast<std::size_t>(i) * width;
    int c = 0;
    for (; c + 32 <= width; c += 32) {
      Lanes4 a[8];
      for (int k = 0; k < 8; ++k) a[k] = start ? LOAD4(start + c + 4 * k) : Lanes4{0.0, 0.0, 0.0, 0.0};
      for (int m = first; m < count; ++m) {
        const double* row = codes + static_cast<std::size_t>(members[m]) * width + c;
        for (int k = 0; k < 8; ++k) a[k] += LOAD4(row + 4 * k);
      }
      for (int k = 0; k < 8; ++k) STORE4(target + c + 4 * k, LOAD4(target + c + 4 * k) - a[k] / w);
    }
    for (; c < width; ++c) {
      double total = start ? start[c] : 0.0;
      for (int m = first; m < count; ++m) total += codes[static_cast<std::size_t>(members[m]) * width + c];
      target[c] = target[c] - total / size;
    }
    if (start != nullptr)
      for (int k = 0; k < width; ++k) start[k] += target[k];
  }
}

void permuted_sums_plain(const double* codes, const double* y, int n, int width, int stride,
                         double* out) {
  for (int c = 0; c < width; ++c)
    for (int r = 0; r < stride; ++r) {
      double sum = 0.0;
      for (int i = 0; i < n; ++i)
        sum += codes[static_cast<std::size_t>(i) * width + c] * y[replicate_index(i, r, n)];
      out[static_cast<std::size_t>(c) * stride + r] = sum;
    }
}

__attribute__((target_clones("avx2", "default"))) void permuted_sums(
    const double* codes, const double* y, int n, int width, int stride, double* out) {
  // Register tiles of 4 code columns x 8 replicates. The codes are first
  // packed so each tile's 4 columns lie together row after row; the replicate
  // traits already lie 8 replicates to a row. Individuals go in chunks so the
  // panels stay in cache; the partial sums wait in `out` between chunks, which
  // keeps each sum one ascending chain.
  constexpr int kChunk = 256;
  const int full = width - width % 4;
  const std::size_t rows = static_cast<std::size_t>(n);
  thread_local std::vector<double> packed;
  packed.resize(rows * static_cast<std::size_t>(full));
  for (int c = 0; c < full; c += 4)
    for (std::size_t i = 0; i < rows; ++i)
      for (int k = 0; k < 4; ++k)
        packed[(static_cast<std::size_t>(c) * rows) + i * 4 + k] = codes[i * width + c + k];

  std::fill(out, out + static_cast<std::size_t>(width) * stride, 0.0);
  for (int i0 = 0; i0 < n; i0 += kChunk) {
    const int i1 = std::min(n, i0 + kChunk);
    for (int r = 0; r < stride; r += 8) {
      const double* y_panel = y + static_cast<std::size_t>(r) * rows;
      for (int c = 0; c < full; c += 4) {
        const double* x_panel = packed.data() + static_cast<std::size_t>(c) * rows;
        double* o = out + static_cast<std::size_t>(c) * stride + r;
        Lanes4 s00 = LOAD4(o), s01 = LOAD4(o + 4);
        Lanes4 s10 = LOAD4(o + stride), s11 = LOAD4(o + stride + 4);
        Lanes4 s20 = LOAD4(o + 2 * stride), s21 = LOAD4(o + 2 * stride + 4);
        Lanes4 s30 = LOAD4(o + 3 * stride), s31 = LOAD4(o + 3 * stride + 4);
        for (int i = i0; i < i1; ++i) {
          const double* yi = y_panel + static_cast<std::size_t>(i) * 8;
          const Lanes4 y0 = LOAD4(yi), y1 = LOAD4(yi + 4);
          const double* xi = x_panel + static_cast<std::size_t>(i) * 4;
          const Lanes4 x0 = {xi[0], xi[0], xi[0], xi[0]};
          const Lanes4 x1 = {xi[1], xi[1], xi[1], xi[1]};
          const Lanes4 x2 = {xi[2], xi[2], xi[2], xi[2]};
          const Lanes4 x3 = {xi[3], xi[3], xi[3], xi[3]};
          s00 += x0 * y0;
          s01 += x0 * y1;
          s10 += x1 * y0;
          s11 += x1 * y1;
          s20 += x2 * y0;
          s21 += x2 * y1;
          s30 += x3 * y0;
          s31 += x3 * y1;
        }
        STORE4(o, s00);
        STORE4(o + 4, s01);
        STORE4(o + stride, s10);
        STORE4(o + stride + 4, s11);
        STORE4(o + 2 * stride, s20);
        STORE4(o + 2 * stride + 4, s21);
        STORE4(o + 3 * stride, s30);
        STORE4(o + 3 * stride + 4, s31);
      }
    }
    for (int c = full; c < width; ++c)
      for (int r = 0; r < stride; ++r) {
        double sum = out[static_cast<std::size_t>(c) * stride + r];
        for (int i = i0; i < i1; ++i)
          sum += codes[static_cast<std::size_t>(i) * width + c] * y[replicate_index(i, r, n)];
        out[static_cast<std::size_t>(c) * stride + r] = sum;
      }
  }
}

StructureFit run_analysis(const Parameters& parameters, const SampleData& data,
                          DoubleVector p_values, std::FILE* results, RandomStream& stream,
                          const EngineOptions& options) {
  const int n = parameters.n_individuals;
  const int m = parameters.n_markers;
  const int r = parameters.n_permutations;
  const int threads = thread_count(options.threads);
  StageClock clock(options.report_stage_times, options.report);
  if (options.report != nullptr) options.report->threads = threads;
  const std::size_t rows = static_cast<std::size_t>(n);

  std::vector<std::uint8_t> same_group;
  StructureFit fit;
  {
    const DistanceTable table = compute_distances(data.locus_count, n, parameters.n_loci, threads);
    clock.lap("similarity");
    if (table.max_distance == 0.0) {
      // Every similarity is 0/0: the structure test finds no usable BIC and
      // keeps the sample as one group, which is the only sound reading.
      std::fprintf(stderr,
                   "strataperm: warning: the background loci separate no two individuals (every "
                   "pairwise distance is 0); the sample is treated as one group\n");
    }
    fit = test_population_structure(table, same_group, results);
    clock.lap("structure");
  }

  // The centred trait: the mean is formed once, before any value changes.
  std::vector<double> y(data.trait);
  double sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) sum += y[i];
  const double mean = sum / static_cast<double>(n);
  for (std::size_t i = 0; i < rows; ++i) y[i] = y[i] - mean;

  // All replicates' donor draws, in stream order, stored as permuted traits:
  // y[donor of i in replicate rep], in panels of 8 replicates.
  const int stride = (r + 7) / 8 * 8;
  std::vector<double> replicate_trait(rows * static_cast<std::size_t>(stride), 0.0);
  {
    DonorSampler sampler(same_group, n);
    IntVector order = ivector(1, n);
    std::vector<int> visit(rows), donor(rows);
    for (int rep = 0; rep < r; ++rep) {
      random_permutation(order, n, stream);
      for (int k = 1; k <= n; ++k) visit[static_cast<std::size_t>(k - 1)] = order[k] - 1;
      sampler.assign(visit, donor, stream);
      if (options.progress) options.progress("replicates", rep + 1, r);
      for (std::size_t i = 0; i < rows; ++i)
        replicate_trait[replicate_index(static_cast<int>(i), rep, n)] =
            y[static_cast<std::size_t>(donor[i])];
    }
    free_ivector(order, 1, n);
  }
  clock.lap("replicates");

  const GroupLists lists = build_group_lists(same_group, n);
  same_group = {};
  if (options.report != nullptr) {
    AnalysisReport& report = *options.report;
    report.lists_partition = lists.partitions();
    report.group_sizes.assign(static_cast<std::size_t>(lists.groups), 0);
    for (int i = 0; i < n; ++i) {
      if (lists.partitions()) ++report.group_sizes[static_cast<std::size_t>(lists.group[i])];
      report.smallest_list = i == 0 ? lists.size(i) : std::min(report.smallest_list, lists.size(i));
      report.largest_list = std::max(report.largest_list, lists.size(i));
    }
  }

  // Markers in blocks; each block's additive codes fill columns 0..63 and its
  // dominance codes columns 64..127 of a row-major N x 128 matrix.
  constexpr int kBlockMarkers = 64;
  constexpr int kWidth = 2 * kBlockMarkers;
  const int blocks = (m + kBlockMarkers - 1) / kBlockMarkers;
  std::vector<double> p_sum(static_cast<std::size_t>(m));
  std::atomic<int> next_block{0};
  std::atomic<long> markers_done{0};
  auto work = [&](int worker) {
    std::vector<double> codes(rows * kWidth);
    std::vector<double> sums(static_cast<std::size_t>(kWidth) * stride);
    double zz[kBlockMarkers], xx[kBlockMarkers], xy[kBlockMarkers], zy[kBlockMarkers],
        xz[kBlockMarkers], observed[kBlockMarkers];
    for (int b = next_block++; b < blocks; b = next_block++) {
      const int first = b * kBlockMarkers;
      const int count = std::min(kBlockMarkers, m - first);
      for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t* cls = &data.marker_class[i * static_cast<std::size_t>(m) + first];
        double* row = &codes[i * kWidth];
        for (int c = 0; c < kBlockMarkers; ++c) {
          const int k = c < count ? static_cast<int>(cls[c]) : static_cast<int>(kHeterozygous);
          row[c] = k == kSumTwo ? 1.0 : k == kSumZero ? -1.0 : 0.0;
          row[kBlockMarkers + c] = k == kHeterozygous ? 1.0 : 0.0;
        }
      }
      adjust_by_group_means(codes.data(), n, kWidth, lists);

      for (int c = 0; c < kBlockMarkers; ++c) zz[c] = xx[c] = xy[c] = zy[c] = xz[c] = 0.0;
      for (std::size_t i = 0; i < rows; ++i) {
        const double* row = &codes[i * kWidth];
        const double yi = y[i];
        for (int c = 0; c < kBlockMarkers; ++c) {
          const double x = row[c];
          const double z = row[kBlockMarkers + c];
          zz[c] += z * z;
          xx[c] += x * x;
          xy[c] += x * yi;
          zy[c] += z * yi;
          xz[c] += z * x;
        }
      }
      for (int c = 0; c < count; ++c)
        observed[c] = association_statistic(zz[c], xx[c], xy[c], zy[c], xz[c]);

      permuted_sums(codes.data(), replicate_trait.data(), n, kWidth, stride, sums.data());
      for (int c = 0; c < count; ++c) {
        const double* sum_xy = &sums[static_cast<std::size_t>(c) * stride];
        const double* sum_zy = &sums[static_cast<std::size_t>(kBlockMarkers + c) * stride];
        std::int64_t above = 0, ties = 0;
        for (int rep = 0; rep < r; ++rep) {
          const double t = association_statistic(zz[c], xx[c], sum_xy[rep], sum_zy[rep], xz[c]);
          if (t > observed[c]) {
            ++above;
          } else if (t == observed[c]) {
            ++ties;
          }
        }
        p_sum[static_cast<std::size_t>(first + c)] =
            static_cast<double>(above) + 0.5 * static_cast<double>(ties);
      }
      const long done = markers_done += count;
      if (worker == 0 && options.progress) options.progress("markers", done, m);
    }
  };
  {
    const int workers = std::max(1, std::min(threads, blocks));
    std::vector<std::thread> pool;
    for (int t = 1; t < workers; ++t) pool.emplace_back(work, t);
    work(0);
    for (auto& worker : pool) worker.join();
  }
  if (options.progress) options.progress("markers", m, m);
  for (int j = 1; j <= m; ++j) p_values[j] = p_sum[static_cast<std::size_t>(j - 1)] / static_cast<double>(r);
  clock.lap("markers");
  return fit;
}

}  // namespace strataperm
