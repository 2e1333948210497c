#include "analysis/engine.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "analysis/distance_table.hpp"
#include "analysis/kernels.hpp"
#include "analysis/engine_parts.hpp"
#include "analysis/marker_blocks.hpp"
#include "core/parallel.hpp"
#include "core/progress.hpp"

namespace strataperm {

namespace {

// One worker's storage, reused for every block it takes.
struct Workspace {
  std::vector<std::uint8_t> classes;     // N x 64
  std::vector<double> codes;             // N x 128
  std::vector<double> narrow_codes;      // N x 2 ceil4(count), a short block's used columns
  std::vector<double> sums;              // 128 x stride
  std::vector<double> replicate_maxima;  // R, this worker's markers only
  std::vector<MarkerStatistics> statistics;
};

// Replicates in a chunk: 256 MiB of replicate traits (8 N bytes each) and
// 64 MiB of permuted sums a worker (8 x 128 bytes each) at most, a multiple
// of 8.
int default_chunk_replicates(int n, int workers) {
  const long long by_traits = (256LL << 20) / (8LL * n);
  const long long by_sums = (64LL << 20) / (8LL * kWidth * workers);
  return static_cast<int>(std::max(8LL, std::min(by_traits, by_sums) / 8 * 8));
}

}  // namespace

EngineCost expected_engine_cost(int n_individuals, long markers, int n_permutations, int threads,
                                Adjustment adjustment) {
  const double n = n_individuals, mk = static_cast<double>(markers), r = n_permutations;
  const double adjusting = adjustment == Adjustment::sequential ? 0.5 * n * n * mk / 64.0 : 0.0;
  EngineCost cost;
  cost.replicate_seconds = 4e-8 * n * r;
  cost.marker_seconds = (2.0 * n * mk * r + adjusting) / (4e9 * threads);
  return cost;
}

PreparedRun prepare_run(const Parameters& parameters, const SampleData& data,
                        const AnalysisOptions& options) {
  PreparedRun run;
  const int n = parameters.n_individuals;
  run.n = n;
  // The markers tested: [offset, offset + m) of the study's markers.
  run.offset = std::clamp<long>(options.first_marker, 0, parameters.n_markers);
  run.m = options.marker_count >= 0
              ? std::min<long>(options.marker_count, parameters.n_markers - run.offset)
              : parameters.n_markers - run.offset;
  run.threads = thread_count(options.threads);
  AnalysisResult& result = run.result;
  result.threads = run.threads;
  const std::size_t rows = static_cast<std::size_t>(n);

  SameGroup same_group;
  {
    const DistanceTable table =
        compute_distances(data.locus_count, n, parameters.n_loci, run.threads);
    if (options.clock != nullptr) options.clock->lap("similarity");
    // When no two individuals differ every similarity is 0/0: the fit finds
    // no usable BIC and keeps the sample as one group (fit.separated says so).
    result.fit = test_population_structure(table, same_group);
    if (!options.clusters.empty()) {
      if (options.clusters.size() != rows)
        throw std::invalid_argument("run_analysis: one cluster per individual is needed");
      same_group = same_group_of_clusters(options.clusters);
    }
    for (std::size_t v = table.distance.size(); v-- > 0;)
      if (table.pairs[v] > 0) result.similarity_counts.emplace_back(table.similarity(v), table.pairs[v] / 2);
    if (options.clock != nullptr) options.clock->lap("structure");
  }
  if (options.on_structure) options.on_structure(result.fit);

  // The centred trait: the mean is formed once, before any value changes.
  run.y = data.trait;
  std::vector<double>& y = run.y;
  double sum = 0.0;
  for (std::size_t i = 0; i < rows; ++i) sum += y[i];
  const double mean = sum / static_cast<double>(n);
  for (std::size_t i = 0; i < rows; ++i) y[i] = y[i] - mean;

  run.lists = build_group_lists(same_group);
  result.groups = summarize_groups(run.lists);
  result.adjustment = options.adjustment;
  run.adjustment = options.adjustment;
  result.distinct_lists = count_distinct_lists(run.lists);
  bool within = options.adjustment == Adjustment::means;
  if (options.covariates.count() > 0) {
    if (!within) throw std::invalid_argument("run_analysis: covariates need the means adjustment");
    if (options.covariates.values.size() != rows * static_cast<std::size_t>(options.covariates.count()))
      throw std::invalid_argument("run_analysis: one row of covariates per individual is needed");
    run.model.emplace(options.covariates, run.lists);
    run.model->residualize(y.data(), 1, 1);
    result.covariate_count = run.model->covariate_count();
    result.model_rank = run.model->rank();
    // With a partition the group indicators are in the model: the residuals
    // are already centred within each group.
    within = !run.lists.partitions();
  }
  if (within) {
    result.sum_y2 = within_list_sum_of_squares(run.lists, y.data());
  } else {
    result.sum_y2 = 0.0;
    for (std::size_t i = 0; i < rows; ++i) result.sum_y2 += y[i] * y[i];
  }
  // S_r only feeds the replicate maxima, which adaptive runs do not form:
  // there the drawer keeps to its cheap sum of squares.
  const bool replicate_within = within && options.adaptive == nullptr;
  run.drawer =
      std::make_unique<ReplicateDrawer>(std::move(same_group), y, replicate_within ? &run.lists : nullptr);
  return run;
}

void PreparedRun::adjust_block(double* codes, int count) const {
  if (!model) {
    adjust_codes(codes, n, lists, adjustment);
    return;
  }
  // The columns past the block's markers are left as they are: nothing
  // reads their results.
  model->residualize(codes, kWidth, count);
  model->residualize(codes + kBlockMarkers, kWidth, count);
  if (!lists.partitions()) adjust_by_list_means(codes, n, kWidth, lists);
}

AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            MarkerSource& markers, RandomStream& stream,
                            const AnalysisOptions& options) {
  PreparedRun prepared = prepare_run(parameters, data, options);
  if (options.adaptive != nullptr) return run_adaptive(parameters, markers, stream, options, prepared);
  const int n = prepared.n;
  const long offset = prepared.offset;
  const long m = prepared.m;
  const int r = parameters.n_permutations;
  const int threads = prepared.threads;
  AnalysisResult result = std::move(prepared.result);
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::vector<double>& y = prepared.y;
  ReplicateDrawer& drawer = *prepared.drawer;

  // The replicates go in chunks, drawn in stream order just before the
  // markers meet them, so that memory holds one chunk of replicate traits
  // (and of permuted sums per worker) whatever R is. Every marker's count
  // adds up over the chunks; its other sums are the same in every chunk.
  const long blocks = (m + kBlockMarkers - 1) / kBlockMarkers;
  const int workers = static_cast<int>(std::max(1L, std::min<long>(threads, blocks)));
  const int chunk = options.chunk_replicates > 0
                        ? options.chunk_replicates
                        : default_chunk_replicates(n, workers);
  std::vector<Workspace> workspaces(static_cast<std::size_t>(workers));
  result.p_values.resize(static_cast<std::size_t>(m));
  std::vector<std::int64_t> above(static_cast<std::size_t>(m), 0), ties(static_cast<std::size_t>(m), 0);
  const double negative_infinity = -std::numeric_limits<double>::infinity();
  result.replicate_maxima.assign(static_cast<std::size_t>(r), negative_infinity);
  std::vector<double> replicate_trait, replicate_sum_y2;
  long replicates_drawn = 0;
  double replicate_seconds = 0.0;

  for (int chunk_first = 0; chunk_first < r; chunk_first += chunk) {
    const int count_r = std::min(chunk, r - chunk_first);
    const bool last_chunk = chunk_first + count_r == r;
    const int stride = (count_r + 7) / 8 * 8;
    {
      const double start = seconds_now();
      drawer.draw(count_r, stream, replicate_trait, replicate_sum_y2, [&] {
        ++replicates_drawn;
        if (options.progress != nullptr) options.progress->advance("replicate", replicates_drawn, r);
      }, nullptr, threads);
      replicate_seconds += seconds_now() - start;
    }

    // Blocks are read in order under one lock (a source may read
    // sequentially) and handed on in order under another: a finished block
    // waits until every block before it is out.
    std::mutex read_lock;
    long next_block = 0;
    OrderedBlocks ordered(offset, options);
    std::atomic<long> markers_done{0};
    run_workers(workers, [&](int worker) {
      Workspace& space = workspaces[static_cast<std::size_t>(worker)];
      space.classes.resize(rows * kBlockMarkers);
      space.codes.resize(rows * kWidth);
      space.sums.resize(static_cast<std::size_t>(kWidth) * stride);
      space.replicate_maxima.assign(static_cast<std::size_t>(count_r), negative_infinity);
      for (;;) {
        long b;
        int count;
        {
          const std::lock_guard<std::mutex> hold(read_lock);
          b = next_block++;
          if (b >= blocks) break;
          count = static_cast<int>(std::min<long>(kBlockMarkers, m - b * kBlockMarkers));
          markers.read_block(offset + b * kBlockMarkers, count, space.classes.data(), kBlockMarkers);
        }
        const long first = b * kBlockMarkers;
        std::vector<MarkerStatistics>& stats = space.statistics;
        stats.assign(static_cast<std::size_t>(count), MarkerStatistics());
        double* codes = space.codes.data();
        code_block(space.classes.data(), n, count, codes, stats.data());
        prepared.adjust_block(codes, count);

        observed_sums(codes, y, count, stats.data());

        // A short block (the last one, or a study of few markers) sums only
        // the columns it uses, gathered into a narrow panel of 2 x `half`
        // columns: each sum is the same chain over the same operands.
        const int half = count == kBlockMarkers ? kBlockMarkers : (count + 3) / 4 * 4;
        const double* summed = codes;
        if (half < kBlockMarkers) {
          space.narrow_codes.resize(rows * static_cast<std::size_t>(2 * half));
          for (std::size_t i = 0; i < rows; ++i) {
            const double* row = codes + i * kWidth;
            double* narrow = space.narrow_codes.data() + i * static_cast<std::size_t>(2 * half);
            std::copy(row, row + half, narrow);
            std::copy(row + kBlockMarkers, row + kBlockMarkers + half, narrow + half);
          }
          summed = space.narrow_codes.data();
        }
        permuted_sums(summed, replicate_trait.data(), n, 2 * half, stride, space.sums.data());
        for (int c = 0; c < count; ++c) {
          MarkerStatistics& s = stats[static_cast<std::size_t>(c)];
          const double delta = association_delta(s.sum_xx, s.sum_zz, s.sum_xz);
          const bool counts_for_maxima = !is_degenerate(delta, s.sum_xx, s.sum_zz);
          const double* sum_xy = &space.sums[static_cast<std::size_t>(c) * stride];
          const double* sum_zy = &space.sums[static_cast<std::size_t>(half + c) * stride];
          double* maxima = space.replicate_maxima.data();
          std::int64_t chunk_above = 0, chunk_ties = 0;
          for (int rep = 0; rep < count_r; ++rep) {
            const double t = association_statistic(s.sum_zz, s.sum_xx, sum_xy[rep], sum_zy[rep], s.sum_xz);
            if (t > s.t_observed) {
              ++chunk_above;
            } else if (t == s.t_observed) {
              ++chunk_ties;
            }
            if (counts_for_maxima) {
              const double ratio = t / (delta * replicate_sum_y2[static_cast<std::size_t>(rep)]);
              if (ratio > maxima[rep]) maxima[rep] = ratio;
            }
          }
          const std::size_t j = static_cast<std::size_t>(first + c);
          above[j] += chunk_above;
          ties[j] += chunk_ties;
          s.exceed = static_cast<double>(above[j]) + 0.5 * static_cast<double>(ties[j]);
          s.p_value = s.exceed / static_cast<double>(r);
          if (last_chunk) result.p_values[j] = s.p_value;
        }

        if (last_chunk) ordered.finish(b, stats);
        const long done = markers_done += count;
        if (worker == 0 && options.progress != nullptr) {
          options.progress->advance("marker", static_cast<long>(chunk_first / chunk) * m + done,
                                    static_cast<long>((r + chunk - 1) / chunk) * m);
        }
      }
    });

    // The replicate maxima over all workers' markers.
    for (const Workspace& space : workspaces)
      for (int rep = 0; rep < count_r; ++rep) {
        double& largest = result.replicate_maxima[static_cast<std::size_t>(chunk_first + rep)];
        largest = std::max(largest, space.replicate_maxima[static_cast<std::size_t>(rep)]);
      }
  }
  if (options.progress != nullptr) options.progress->advance("marker", 1, 1);
  if (options.clock != nullptr) options.clock->add("replicates", replicate_seconds);
  if (options.clock != nullptr) options.clock->lap("markers");
  return result;
}

}  // namespace strataperm
