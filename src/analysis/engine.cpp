#include "analysis/engine.hpp"

#include <algorithm>
#include <atomic>

#include "analysis/distance_table.hpp"
#include "analysis/kernels.hpp"
#include "core/parallel.hpp"

namespace strataperm {

AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            RandomStream& stream, const AnalysisOptions& options) {
  const int n = parameters.n_individuals;
  const int m = parameters.n_markers;
  const int r = parameters.n_permutations;
  const int threads = thread_count(options.threads);
  AnalysisResult result;
  result.threads = threads;
  const auto lap = [&](const char* stage) {
    if (options.clock != nullptr) options.clock->lap(stage);
  };
  const std::size_t rows = static_cast<std::size_t>(n);

  std::vector<std::uint8_t> same_group;
  StructureFit fit;
  {
    const DistanceTable table = compute_distances(data.locus_count, n, parameters.n_loci, threads);
    lap("similarity");
    // When no two individuals differ every similarity is 0/0: the fit finds
    // no usable BIC and keeps the sample as one group (fit.separated says so).
    fit = test_population_structure(table, same_group);
    lap("structure");
  }
  result.fit = fit;
  if (options.on_structure) options.on_structure(fit);

  // The centred trait: the mean is formed once, before any value changes.
  std::vector<double> y(data.trait);
  double sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) sum += y[i];
  const double mean = sum / static_cast<double>(n);
  for (std::size_t i = 0; i < rows; ++i) y[i] = y[i] - mean;

  // All replicates' donor draws, in stream order, stored as permuted traits.
  const int stride = (r + 7) / 8 * 8;
  const std::vector<double> replicate_trait =
      draw_replicate_traits(same_group, y, r, stream, [&](int done) {
        if (options.progress != nullptr) options.progress->advance("replicate", done, r);
      });
  lap("replicates");

  const GroupLists lists = build_group_lists(same_group, n);
  same_group = {};
  result.groups = summarize_groups(lists);

  // Markers in blocks; each block's additive codes fill columns 0..63 and its
  // dominance codes columns 64..127 of a row-major N x 128 matrix.
  constexpr int kBlockMarkers = 64;
  constexpr int kWidth = 2 * kBlockMarkers;
  const int blocks = (m + kBlockMarkers - 1) / kBlockMarkers;
  std::vector<double> p_sum(static_cast<std::size_t>(m));
  std::atomic<long> markers_done{0};
  struct Workspace {
    std::vector<double> codes, sums;
  };
  const int workers = std::max(1, std::min(threads, blocks));
  std::vector<Workspace> workspaces(static_cast<std::size_t>(workers));
  parallel_for(workers, blocks, [&](int worker, long block) {
    Workspace& space = workspaces[static_cast<std::size_t>(worker)];
    if (space.codes.empty()) {
      space.codes.resize(rows * kWidth);
      space.sums.resize(static_cast<std::size_t>(kWidth) * stride);
    }
    std::vector<double>& codes = space.codes;
    std::vector<double>& sums = space.sums;
    double zz[kBlockMarkers], xx[kBlockMarkers], xy[kBlockMarkers], zy[kBlockMarkers],
        xz[kBlockMarkers], observed[kBlockMarkers];
    {
      const int b = static_cast<int>(block);
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
      if (worker == 0 && options.progress != nullptr) options.progress->advance("marker", done, m);
    }
  });
  if (options.progress != nullptr) options.progress->advance("marker", m, m);
  result.p_values.resize(static_cast<std::size_t>(m));
  for (int j = 0; j < m; ++j)
    result.p_values[static_cast<std::size_t>(j)] =
        p_sum[static_cast<std::size_t>(j)] / static_cast<double>(r);
  lap("markers");
  return result;
}

}  // namespace strataperm
