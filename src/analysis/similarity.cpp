#include "analysis/similarity.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace strataperm {

std::uint64_t manhattan_distance(const std::int64_t* a, const std::int64_t* b, int length) {
  std::uint64_t d = 0;
  for (int l = 0; l < length; ++l) {
    const std::int64_t diff = a[l] - b[l];
    d += static_cast<std::uint64_t>(diff < 0 ? -diff : diff);
  }
  return d;
}

std::uint64_t manhattan_distance_bytes(const std::uint8_t* a, const std::uint8_t* b, int length) {
  std::uint64_t d = 0;
  int l = 0;
#if defined(__SSE2__)
  __m128i total = _mm_setzero_si128();
  for (; l + 16 <= length; l += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + l));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + l));
    total = _mm_add_epi64(total, _mm_sad_epu8(va, vb));
  }
  alignas(16) std::uint64_t lanes[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), total);
  d = lanes[0] + lanes[1];
#endif
  for (; l < length; ++l) d += static_cast<std::uint64_t>(std::abs(a[l] - b[l]));
  return d;
}

namespace {

// Runs body(t) for t = 0..threads-1, on threads - 1 extra threads.
template <typename Body>
void run_parallel(int threads, Body body) {
  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) workers.emplace_back(body, t);
  body(0);
  for (auto& worker : workers) worker.join();
}

}  // namespace

DistanceTable compute_distances(const std::vector<std::int64_t>& locus_count, int n, int n_loci,
                                int threads) {
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t loci = static_cast<std::size_t>(n_loci);
  std::int64_t lowest = 0, highest = 0;
  if (!locus_count.empty()) {
    const auto [lo, hi] = std::minmax_element(locus_count.begin(), locus_count.end());
    lowest = *lo;
    highest = *hi;
  }
  // Counts within a 256-wide window are shifted into bytes; |a - b| is unchanged.
  const bool bytes = highest - lowest <= 255 && highest >= lowest;
  std::vector<std::uint8_t> narrow;
  if (bytes) {
    narrow.resize(locus_count.size());
    for (std::size_t k = 0; k < locus_count.size(); ++k)
      narrow[k] = static_cast<std::uint8_t>(locus_count[k] - lowest);
  }

  // Upper triangle of raw distances, rows shared out round-robin.
  std::vector<std::uint64_t> raw(rows * rows, 0);
  threads = std::max(1, std::min(threads, n));
  run_parallel(threads, [&](int t) {
    for (std::size_t i = static_cast<std::size_t>(t); i < rows; i += static_cast<std::size_t>(threads)) {
      for (std::size_t j = i + 1; j < rows; ++j) {
        raw[i * rows + j] =
            bytes ? manhattan_distance_bytes(&narrow[i * loci], &narrow[j * loci], n_loci)
                  : manhattan_distance(&locus_count[i * loci], &locus_count[j * loci], n_loci);
      }
    }
  });
  narrow = {};

  // Distinct distances, ascending; 0 is always present (the diagonal).
  std::vector<std::uint64_t> distinct;
  std::uint64_t max_raw = 0;
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = i + 1; j < rows; ++j) max_raw = std::max(max_raw, raw[i * rows + j]);
  const bool direct = max_raw < (1u << 24);
  if (direct) {
    std::vector<char> seen(max_raw + 1, 0);
    seen[0] = 1;
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = i + 1; j < rows; ++j) seen[raw[i * rows + j]] = 1;
    for (std::uint64_t d = 0; d <= max_raw; ++d)
      if (seen[d]) distinct.push_back(d);
  } else {
    distinct.push_back(0);
    for (std::size_t i = 0; i < rows; ++i)
      for (std::size_t j = i + 1; j < rows; ++j) distinct.push_back(raw[i * rows + j]);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  }
  std::vector<std::uint32_t> rank_of;  // direct lookup when distances are small
  if (direct) {
    rank_of.assign(max_raw + 1, 0);
    for (std::size_t v = 0; v < distinct.size(); ++v) rank_of[distinct[v]] = static_cast<std::uint32_t>(v);
  }
  auto rank = [&](std::uint64_t d) -> std::uint32_t {
    if (direct) return rank_of[d];
    return static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), d) -
                                      distinct.begin());
  };

  DistanceTable table;
  table.n = n;
  table.distance.resize(distinct.size());
  for (std::size_t v = 0; v < distinct.size(); ++v) table.distance[v] = static_cast<double>(distinct[v]);
  table.pairs.assign(distinct.size(), 0);
  table.max_distance = static_cast<double>(max_raw);
  table.index.assign(rows * rows, 0);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = i + 1; j < rows; ++j) {
      const std::uint32_t v = rank(raw[i * rows + j]);
      table.index[i * rows + j] = v;
      table.index[j * rows + i] = v;
      table.pairs[v] += 2;
    }
  }
  return table;
}

}  // namespace strataperm
