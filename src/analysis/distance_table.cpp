#include "analysis/distance_table.hpp"

#include <algorithm>

#include "analysis/kernels.hpp"
#include "core/parallel.hpp"

namespace strataperm {

namespace {

// Fills raw[pair(i, j)], i < j, with d(i, j). Byte counts go through the
// blocked kernel, a block of kDistanceRowBlock rows at a time; wide counts a
// row at a time. Blocks and rows are shared out over the threads as they
// become free (row i has n - 1 - i pairs); each pair is summed by one thread
// alone, so the distances do not depend on the thread count.
template <typename Raw>
void pair_distances(const LocusCounts& counts, int n, int n_loci, int threads, Raw* raw) {
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t loci = static_cast<std::size_t>(n_loci);
  if (counts.narrow()) {
    const long blocks = (n + kDistanceRowBlock - 1) / kDistanceRowBlock;
    parallel_for(threads, blocks, [&](int, long block) {
      const int first = static_cast<int>(block) * kDistanceRowBlock;
      manhattan_distances_bytes(counts.bytes.data(), n, n_loci, first,
                                std::min(n, first + kDistanceRowBlock), raw);
    });
    return;
  }
  parallel_for(threads, n, [&](int, long row) {
    const std::size_t i = static_cast<std::size_t>(row);
    Raw* out = raw + DistanceTable::row_start(i, rows);
    for (std::size_t j = i + 1; j < rows; ++j)
      out[j - i - 1] = static_cast<Raw>(
          manhattan_distance(&counts.wide[i * loci], &counts.wide[j * loci], n_loci));
  });
}

// Ranks the raw distances of the unordered pairs among the distinct values,
// writes each pair's rank into `index` (which may be `raw` itself) and fills
// the table's value lists.
template <typename Raw, typename Index>
void rank_distances(const Raw* raw, Index* index, DistanceTable& table) {
  const std::size_t rows = static_cast<std::size_t>(table.n);
  const std::size_t count = DistanceTable::pair_count(rows);
  std::uint64_t max_raw = 0;
  for (std::size_t p = 0; p < count; ++p) max_raw = std::max<std::uint64_t>(max_raw, raw[p]);

  std::vector<std::uint64_t> distinct;
  std::vector<std::uint32_t> rank_of;  // direct lookup when distances are small
  const bool direct = max_raw < (std::uint64_t{1} << 24);
  if (direct) {
    rank_of.assign(max_raw + 1, 0);
    rank_of[0] = 1;
    for (std::size_t p = 0; p < count; ++p) rank_of[raw[p]] = 1;
    for (std::uint64_t d = 0; d <= max_raw; ++d)
      if (rank_of[d]) {
        rank_of[d] = static_cast<std::uint32_t>(distinct.size());
        distinct.push_back(d);
      }
  } else {
    distinct.push_back(0);
    for (std::size_t p = 0; p < count; ++p) distinct.push_back(raw[p]);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  }

  table.distance.resize(distinct.size());
  for (std::size_t v = 0; v < distinct.size(); ++v) table.distance[v] = static_cast<double>(distinct[v]);
  table.pairs.assign(distinct.size(), 0);
  table.max_distance = static_cast<double>(max_raw);
  for (std::size_t p = 0; p < count; ++p) {
    const std::uint64_t d = raw[p];
    const std::uint32_t v =
        direct ? rank_of[d]
               : static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), d) -
                                            distinct.begin());
    index[p] = static_cast<Index>(v);
    table.pairs[v] += 2;
  }
}

}  // namespace

DistanceTable compute_distances(const LocusCounts& counts, int n, int n_loci, int threads) {
  DistanceTable table;
  table.n = n;
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t count = DistanceTable::pair_count(rows);
  threads = std::max(1, std::min(threads, n));

  // The largest possible distance decides the width of the raw distances,
  // which are written straight into the index and ranked in place (a rank is
  // never above its distance) when they fit 16 or 32 bits.
  std::int64_t spread = 0;
  if (counts.narrow()) {
    // A plain loop, which the compiler vectorizes (minmax_element is not).
    std::uint8_t low = 255, high = 0;
    for (const std::uint8_t b : counts.bytes) {
      low = std::min(low, b);
      high = std::max(high, b);
    }
    if (!counts.bytes.empty()) spread = high - low;
  } else if (!counts.wide.empty()) {
    const auto [low, high] = std::minmax_element(counts.wide.begin(), counts.wide.end());
    spread = *high - *low;
  }
  const long double bound = static_cast<long double>(spread) * n_loci;
  if (bound < 65536.0L) {
    table.index16.assign(count, 0);
    pair_distances(counts, n, n_loci, threads, table.index16.data());
    rank_distances(table.index16.data(), table.index16.data(), table);
  } else if (bound < 4294967296.0L) {
    table.index32.assign(count, 0);
    pair_distances(counts, n, n_loci, threads, table.index32.data());
    rank_distances(table.index32.data(), table.index32.data(), table);
  } else {
    std::vector<std::uint64_t> raw(count, 0);
    pair_distances(counts, n, n_loci, threads, raw.data());
    table.index32.assign(count, 0);
    rank_distances(raw.data(), table.index32.data(), table);
  }
  return table;
}

}  // namespace strataperm
