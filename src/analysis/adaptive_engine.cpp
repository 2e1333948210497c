// The adaptive permutation test: replicates drawn one after another on the
// one stream, in chunks; each marker takes them until the rule stops it.
//
// The first chunk meets every marker, read once from the source: its codes
// are made and adjusted, its observed sums formed, and its replicates taken
// in windows of 8, 16, 32 ... replicates, the permuted sums of a window made
// for the markers of the block still running only. The markers still running
// at the end of a chunk keep their adjusted codes in memory for the next
// chunk; the others are done. A marker's checks fall at replicate counts the
// rule alone fixes, and its count is the same whatever chunk or window a
// replicate falls in, so nothing depends on threads, chunks or shards. At the
// end the stream is set back to where it was after the last replicate any
// marker took (the chunk drawn may run past it).
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "analysis/engine_parts.hpp"
#include "analysis/kernels.hpp"
#include "analysis/marker_blocks.hpp"
#include "core/parallel.hpp"
#include "core/progress.hpp"

namespace strataperm {

namespace {

// A marker still taking replicates.
struct Running {
  long marker = 0;              // index into the tested range
  std::int64_t twice_count = 0;  // 2 x (above + ties / 2)
  std::int64_t next_check = 0;
  double sum_zz = 0.0, sum_xx = 0.0, sum_xz = 0.0, t_observed = 0.0;
};

// Chunk lengths: a fixed length from N alone (what 256 MiB of replicate
// traits allow, 64 to 65536), so the draws do not depend on threads. The
// first chunk is long so that few markers outlive it: a marker whose P is
// far from 0 stops within its first few windows, and only the markers still
// running after the whole chunk (P below about z^2 / length) keep their
// codes in memory.
int chunk_length(int n) {
  return static_cast<int>(std::clamp<long long>((32LL << 20) / n / 8 * 8, 64, 65536));
}

// The markers of one block still running, their codes side by side: the
// additive code of marker k in column k, its dominance code in column
// count + k, N rows.
struct LiveBlock {
  std::vector<Running> markers;
  std::vector<double> codes;
  int count() const { return static_cast<int>(markers.size()); }
};

// Keeps the markers `keep` says of `block` (in order), compacting the codes.
void compact(LiveBlock& block, const std::vector<char>& keep, int n) {
  const int before = block.count();
  std::vector<int> kept;
  for (int k = 0; k < before; ++k)
    if (keep[static_cast<std::size_t>(k)]) kept.push_back(k);
  const int after = static_cast<int>(kept.size());
  if (after == before) return;
  if (after == 0) {
    block.markers.clear();
    block.codes.clear();
    return;
  }
  std::vector<double> codes(static_cast<std::size_t>(n) * 2 * after);
  for (int i = 0; i < n; ++i) {
    const double* from = &block.codes[static_cast<std::size_t>(i) * 2 * before];
    double* to = &codes[static_cast<std::size_t>(i) * 2 * after];
    for (int k = 0; k < after; ++k) {
      to[k] = from[kept[static_cast<std::size_t>(k)]];
      to[after + k] = from[before + kept[static_cast<std::size_t>(k)]];
    }
  }
  std::vector<Running> markers;
  for (int k : kept) markers.push_back(block.markers[static_cast<std::size_t>(k)]);
  block.markers = std::move(markers);
  block.codes = std::move(codes);
}

}  // namespace

AnalysisResult run_adaptive(const Parameters& parameters, MarkerSource& markers,
                            RandomStream& stream, const AnalysisOptions& options,
                            PreparedRun& prepared) {
  const AdaptiveRule& rule = *options.adaptive;
  const int n = prepared.n;
  const long offset = prepared.offset;
  const long m = prepared.m;
  const int threads = prepared.threads;
  AnalysisResult result = std::move(prepared.result);
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::vector<double>& y = prepared.y;
  ReplicateDrawer& drawer = *prepared.drawer;
  const double z = rule.z(parameters.n_markers);

  result.p_values.assign(static_cast<std::size_t>(m), 0.0);
  result.exceed.assign(static_cast<std::size_t>(m), 0.0);
  result.replicates_used.assign(static_cast<std::size_t>(m), 0);
  std::vector<LiveBlock> running;  // the blocks still running, in marker order
  std::vector<double> replicate_trait, replicate_sum_y2;
  std::vector<RandomStream> states;
  std::int64_t drawn = 0, last_needed = 0;
  double replicate_seconds = 0.0;
  std::mutex done_lock;

  // Takes the replicates [drawn - length, drawn) for the block's markers, in
  // windows; returns with the markers still running.
  const auto take_replicates = [&](LiveBlock& block, int length) {
    std::vector<double> sums, padded_codes;
    int start = 0;
    for (int window = 8; start < length && block.count() > 0; window = std::min(window * 2, 4096)) {
      const int end = std::min(length, start + window);
      const int width = 2 * block.count();
      const int stride = (end - start + 7) / 8 * 8;
      // Columns padded with zeros to a multiple of 4, so that even a lone
      // marker goes through the kernel's tiles.
      const int padded = (width + 3) / 4 * 4;
      const double* codes = block.codes.data();
      if (padded != width) {
        padded_codes.assign(rows * static_cast<std::size_t>(padded), 0.0);
        for (std::size_t i = 0; i < rows; ++i)
          std::copy(&block.codes[i * width], &block.codes[i * width] + width, &padded_codes[i * padded]);
        codes = padded_codes.data();
      }
      sums.resize(static_cast<std::size_t>(padded) * stride);
      // The window starts on a panel of 8 replicates (start is a multiple of 8).
      permuted_sums(codes, replicate_trait.data() + static_cast<std::size_t>(start) * rows, n, padded,
                    stride, sums.data());
      std::vector<char> keep(static_cast<std::size_t>(block.count()), 1);
      for (int k = 0; k < block.count(); ++k) {
        Running& marker = block.markers[static_cast<std::size_t>(k)];
        const double* sum_xy = &sums[static_cast<std::size_t>(k) * stride];
        const double* sum_zy = &sums[static_cast<std::size_t>(block.count() + k) * stride];
        for (int rep = start; rep < end; ++rep) {
          const double t = association_statistic(marker.sum_zz, marker.sum_xx, sum_xy[rep - start],
                                                  sum_zy[rep - start], marker.sum_xz);
          marker.twice_count += t > marker.t_observed ? 2 : t == marker.t_observed ? 1 : 0;
          const std::int64_t p = drawn - length + rep + 1;
          const bool at_end = p >= rule.max;
          if (p == marker.next_check || at_end) {
            if (at_end || rule.stops(marker.twice_count, p, z)) {
              const std::lock_guard<std::mutex> hold(done_lock);
              const std::size_t j = static_cast<std::size_t>(marker.marker);
              result.replicates_used[j] = p;
              result.exceed[j] = 0.5 * static_cast<double>(marker.twice_count);
              result.p_values[j] = result.exceed[j] / static_cast<double>(p);
              last_needed = std::max(last_needed, p);
              keep[static_cast<std::size_t>(k)] = 0;
              break;
            }
            marker.next_check = rule.next_check(p);
          }
        }
      }
      compact(block, keep, n);
      start = end;
    }
  };

  for (int chunk_index = 0; drawn < rule.max && (chunk_index == 0 || !running.empty()); ++chunk_index) {
    const int length = static_cast<int>(std::min<std::int64_t>(chunk_length(n), rule.max - drawn));
    {
      const double start = seconds_now();
      drawer.draw(length, stream, replicate_trait, replicate_sum_y2, [&] {
        if (options.progress != nullptr) options.progress->advance("replicate", drawn + 1, rule.max);
      }, &states, threads);
      replicate_seconds += seconds_now() - start;
    }
    drawn += length;

    if (chunk_index == 0) {
      // Every marker, read once from the source.
      const long blocks = (m + kBlockMarkers - 1) / kBlockMarkers;
      const int workers = static_cast<int>(std::max(1L, std::min<long>(threads, blocks)));
      std::mutex read_lock;
      long next_block = 0;
      OrderedBlocks ordered(offset, options);
      std::map<long, LiveBlock> survivors;
      std::atomic<long> markers_done{0};
      run_workers(workers, [&](int worker) {
        std::vector<std::uint8_t> classes(rows * kBlockMarkers);
        std::vector<double> codes(rows * kWidth);
        std::vector<MarkerStatistics> stats;
        for (;;) {
          long b;
          int count;
          {
            const std::lock_guard<std::mutex> hold(read_lock);
            b = next_block++;
            if (b >= blocks) break;
            count = static_cast<int>(std::min<long>(kBlockMarkers, m - b * kBlockMarkers));
            markers.read_block(offset + b * kBlockMarkers, count, classes.data(), kBlockMarkers);
          }
          stats.assign(static_cast<std::size_t>(count), MarkerStatistics());
          code_block(classes.data(), n, count, codes.data(), stats.data());
          prepared.adjust_block(codes.data(), count);
          observed_sums(codes.data(), y, count, stats.data());
          LiveBlock block;
          block.codes.resize(rows * 2 * static_cast<std::size_t>(count));
          for (std::size_t i = 0; i < rows; ++i)
            for (int c = 0; c < count; ++c) {
              block.codes[i * 2 * count + c] = codes[i * kWidth + c];
              block.codes[i * 2 * count + count + c] = codes[i * kWidth + kBlockMarkers + c];
            }
          for (int c = 0; c < count; ++c) {
            const MarkerStatistics& s = stats[static_cast<std::size_t>(c)];
            block.markers.push_back(Running{b * kBlockMarkers + c, 0, rule.next_check(0), s.sum_zz,
                                            s.sum_xx, s.sum_xz, s.t_observed});
          }
          take_replicates(block, length);
          ordered.finish(b, stats, [&] {
            if (block.count() > 0) survivors.emplace(b, std::move(block));
          });
          const long done = markers_done += count;
          if (worker == 0 && options.progress != nullptr) options.progress->advance("marker", done, m);
        }
      });
      for (auto& [b, block] : survivors) running.push_back(std::move(block));
    } else {
      parallel_for(threads, static_cast<long>(running.size()),
                   [&](int, long k) { take_replicates(running[static_cast<std::size_t>(k)], length); });
      running.erase(std::remove_if(running.begin(), running.end(),
                                   [](const LiveBlock& block) { return block.count() == 0; }),
                    running.end());
    }
    // Blocks that shrank are merged, so the permuted sums keep wide tiles.
    std::vector<LiveBlock> merged;
    for (LiveBlock& block : running) {
      if (!merged.empty() && merged.back().count() + block.count() <= kBlockMarkers) {
        LiveBlock& into = merged.back();
        const int a = into.count(), c = block.count();
        std::vector<double> codes(rows * 2 * static_cast<std::size_t>(a + c));
        for (std::size_t i = 0; i < rows; ++i) {
          for (int k = 0; k < a; ++k) {
            codes[i * 2 * (a + c) + k] = into.codes[i * 2 * a + k];
            codes[i * 2 * (a + c) + a + c + k] = into.codes[i * 2 * a + a + k];
          }
          for (int k = 0; k < c; ++k) {
            codes[i * 2 * (a + c) + a + k] = block.codes[i * 2 * c + k];
            codes[i * 2 * (a + c) + 2 * a + c + k] = block.codes[i * 2 * c + c + k];
          }
        }
        into.codes = std::move(codes);
        into.markers.insert(into.markers.end(), block.markers.begin(), block.markers.end());
      } else {
        merged.push_back(std::move(block));
      }
    }
    running = std::move(merged);
    // Where the stream must be left: after the last replicate a marker took,
    // which lies in this chunk when every marker has stopped.
    if (running.empty() || drawn >= rule.max) {
      const std::int64_t chunk_start = drawn - length;
      if (last_needed > chunk_start) stream = states[static_cast<std::size_t>(last_needed - chunk_start - 1)];
    }
  }
  result.replicates_drawn = last_needed;
  if (options.progress != nullptr) options.progress->advance("marker", 1, 1);
  if (options.clock != nullptr) options.clock->add("replicates", replicate_seconds);
  if (options.clock != nullptr) options.clock->lap("markers");
  return result;
}

}  // namespace strataperm
