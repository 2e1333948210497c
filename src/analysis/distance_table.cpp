#include "analysis/distance_table.hpp"

#include <algorithm>

#include "analysis/kernels.hpp"
#include "core/parallel.hpp"

namespace strataperm {

namespace {

// Fills raw[i * n + j], i < j, with d(i, j); rows are shared out over the
// threads as they become free (row i has n - 1 - i pairs).
template <typename Raw>
void pair_distances(const LocusCounts& counts, int n, int n_loci, int threads, Raw* raw) {
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t loci = static_cast<std::size_t>(n_loci);
  parallel_for(threads, n, [&](int, long row) {
    const std::size_t i = static_cast<std::size_t>(row);
    for (std::size_t j = i + 1; j < rows; ++j) {
      raw[i * rows + j] = static_cast<Raw>(
          counts.narrow()
              ? manhattan_distance_bytes(&counts.bytes[i * loci], &counts.bytes[j * loci], n_loci)
              : manhattan_distance(&counts.wide[i * loci], &counts.wide[j * loci], n_loci));
    }
  });
}

// Ranks the raw upper-triangle distances among the distinct values, writes
// the rank of every ordered pair into table.index (both triangles; the
// diagonal has distance 0, rank 0) and fills the table's value lists. `raw`
// may be table.index itself.
template <typename Raw>
void rank_distances(const Raw* raw, DistanceTable& table) {
  const std::size_t rows = static_cast<std::size_t>(table.n);
  std::uint64_t max_raw = 0;
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = i + 1; j < rows; ++j) max_raw = std::max<std::uint64_t>(max_raw, raw[i * rows + j]);

  std::vector<std::uint64_t> distinct;
  std::vector<std::uint32_t> rank_of;  // direct lookup when distances are small
  const bool direct = max_raw < (std::uint64_t{1} << 24);
  if (direct) {
    rank_of.assign(max_raw + 1, 0);
    rank_of[0] = 1;
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = i + 1; j < rows; ++j) rank_of[raw[i * rows + j]] = 1;
    for (std::uint64_t d = 0; d <= max_raw; ++d)
      if (rank_of[d]) {
        rank_of[d] = static_cast<std::uint32_t>(distinct.size());
        distinct.push_back(d);
      }
  } else {
    distinct.push_back(0);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = i + 1; j < rows; ++j) distinct.push_back(raw[i * rows + j]);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  }

  table.distance.resize(distinct.size());
  for (std::size_t v = 0; v < distinct.size(); ++v) table.distance[v] = static_cast<double>(distinct[v]);
  table.pairs.assign(distinct.size(), 0);
  table.max_distance = static_cast<double>(max_raw);
  for (std::size_t i = 0; i < rows; ++i) {
    table.index[i * rows + i] = 0;
    for (std::size_t j = i + 1; j < rows; ++j) {
      const std::uint64_t d = raw[i * rows + j];
      const std::uint32_t v =
          direct ? rank_of[d]
                 : static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), d) -
                                              distinct.begin());
      table.index[i * rows + j] = v;
      table.index[j * rows + i] = v;
      table.pairs[v] += 2;
    }
  }
}

}  // namespace

DistanceTable compute_distances(const LocusCounts& counts, int n, int n_loci, int threads) {
  DistanceTable table;
  table.n = n;
  const std::size_t rows = static_cast<std::size_t>(n);
  table.index.assign(rows * rows, 0);
  threads = std::max(1, std::min(threads, n));

  // The largest possible distance decides whether raw distances fit 32 bits,
  // in which case they are written straight into the index and ranked in place.
  std::int64_t spread = 255;
  if (!counts.narrow() && !counts.wide.empty()) {
    const auto [low, high] = std::minmax_element(counts.wide.begin(), counts.wide.end());
    spread = *high - *low;
  }
  const long double bound = static_cast<long double>(spread) * n_loci;
  if (bound < 4294967296.0L) {
    pair_distances(counts, n, n_loci, threads, table.index.data());
    rank_distances(table.index.data(), table);
  } else {
    std::vector<std::uint64_t> raw(rows * rows, 0);
    pair_distances(counts, n, n_loci, threads, raw.data());
    rank_distances(raw.data(), table);
  }
  return table;
}

}  // namespace strataperm
