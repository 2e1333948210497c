#include "analysis/kernels.hpp"
#include "analysis/distance_table.hpp"
#include "analysis/vector_lanes.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <cstdlib>
#include <vector>

#if defined(__SSE2__)
#include <immintrin.h>
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

// The most loci of a chunk of manhattan_distances_bytes: a block's rows of
// one chunk, up to 24 x 16 KiB, stay in the second-level cache while the
// tiles of the block pass over them (longer rows go in equal chunks).
constexpr std::size_t kDistanceChunk = 16384;

// Rows or columns of a register tile, at most.
constexpr int kTileSide = 4;

#if defined(__SSE2__)

// 64 zero bytes, then 64 bytes 0xFF: the vector of `width` bytes from
// kTailMask + 64 - width + t keeps the last t bytes of a vector.
constexpr std::array<std::uint8_t, 128> kTailMask = [] {
  std::array<std::uint8_t, 128> mask{};
  for (std::size_t k = 64; k < mask.size(); ++k) mask[k] = 0xFF;
  return mask;
}();

// Sums of absolute byte differences in vectors of one width, the operations
// the pair tiles are written in. They take and give vectors by reference and
// are inlined into a function of their own instruction set, so no vector
// crosses a call.
struct Sse2Bytes {
  using Vector = __m128i;
  static constexpr int kWidth = 16;
  static void clear(Vector& v) { v = _mm_setzero_si128(); }
  static void load(Vector& v, const std::uint8_t* p) {
    v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void keep(Vector& v, const Vector& mask) { v = _mm_and_si128(v, mask); }
  static void accumulate(Vector& total, const Vector& a, const Vector& b) {
    total = _mm_add_epi64(total, _mm_sad_epu8(a, b));
  }
  static std::uint64_t sum(const Vector& v) {
    alignas(16) std::uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return lanes[0] + lanes[1];
  }
};

struct Avx2Bytes {
  using Vector = __m256i;
  static constexpr int kWidth = 32;
  __attribute__((target("avx2"))) static void clear(Vector& v) { v = _mm256_setzero_si256(); }
  __attribute__((target("avx2"))) static void load(Vector& v, const std::uint8_t* p) {
    v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  __attribute__((target("avx2"))) static void keep(Vector& v, const Vector& mask) {
    v = _mm256_and_si256(v, mask);
  }
  __attribute__((target("avx2"))) static void accumulate(Vector& total, const Vector& a,
                                                         const Vector& b) {
    total = _mm256_add_epi64(total, _mm256_sad_epu8(a, b));
  }
  __attribute__((target("avx2"))) static std::uint64_t sum(const Vector& v) {
    alignas(32) std::uint64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), v);
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  }
};

struct Avx512Bytes {
  using Vector = __m512i;
  static constexpr int kWidth = 64;
  __attribute__((target("avx512bw"))) static void clear(Vector& v) { v = _mm512_setzero_si512(); }
  __attribute__((target("avx512bw"))) static void load(Vector& v, const std::uint8_t* p) {
    v = _mm512_loadu_si512(p);
  }
  __attribute__((target("avx512bw"))) static void keep(Vector& v, const Vector& mask) {
    v = _mm512_and_si512(v, mask);
  }
  __attribute__((target("avx512bw"))) static void accumulate(Vector& total, const Vector& a,
                                                             const Vector& b) {
    total = _mm512_add_epi64(total, _mm512_sad_epu8(a, b));
  }
  __attribute__((target("avx512bw"))) static std::uint64_t sum(const Vector& v) {
    alignas(64) std::uint64_t lanes[8];
    _mm512_store_si512(lanes, v);
    return ((lanes[0] + lanes[1]) + (lanes[2] + lanes[3])) + ((lanes[4] + lanes[5]) + (lanes[6] + lanes[7]));
  }
};

// A register tile of kRows x kCols pairs: sums[r * kCols + c] is the sum of
// |rows[r][l] - cols[c][l]| over the loci [begin, end) (end - begin a
// multiple of the width) and the `tail` loci from end on (tail < width). The
// tail is read as the last `tail` bytes of the vector that ends with it, the
// bytes before them (counted already) masked to zero in both rows, so it
// needs end + tail >= width. Each loaded vector of a row serves kCols pairs,
// each of a column kRows.
template <class Bytes, int kRows, int kCols>
inline void pair_tile(const std::uint8_t* const* rows, const std::uint8_t* const* cols,
                      std::size_t begin, std::size_t end, std::size_t tail, std::uint64_t* sums) {
  using Vector = typename Bytes::Vector;
  Vector total[kRows][kCols];
#pragma GCC unroll 16
  for (int r = 0; r < kRows; ++r)
#pragma GCC unroll 16
    for (int c = 0; c < kCols; ++c) Bytes::clear(total[r][c]);
  for (std::size_t l = begin; l < end; l += Bytes::kWidth) {
    Vector a[kRows], b[kCols];
#pragma GCC unroll 16
    for (int r = 0; r < kRows; ++r) Bytes::load(a[r], rows[r] + l);
#pragma GCC unroll 16
    for (int c = 0; c < kCols; ++c) Bytes::load(b[c], cols[c] + l);
#pragma GCC unroll 16
    for (int r = 0; r < kRows; ++r)
#pragma GCC unroll 16
      for (int c = 0; c < kCols; ++c) Bytes::accumulate(total[r][c], a[r], b[c]);
  }
  if (tail > 0) {
    const std::size_t at = end + tail - Bytes::kWidth;
    Vector mask, a[kRows], b[kCols];
    Bytes::load(mask, kTailMask.data() + 64 - Bytes::kWidth + tail);
    for (int r = 0; r < kRows; ++r) {
      Bytes::load(a[r], rows[r] + at);
      Bytes::keep(a[r], mask);
    }
    for (int c = 0; c < kCols; ++c) {
      Bytes::load(b[c], cols[c] + at);
      Bytes::keep(b[c], mask);
    }
    for (int r = 0; r < kRows; ++r)
      for (int c = 0; c < kCols; ++c) Bytes::accumulate(total[r][c], a[r], b[c]);
  }
  for (int r = 0; r < kRows; ++r)
    for (int c = 0; c < kCols; ++c) sums[r * kCols + c] = Bytes::sum(total[r][c]);
}

// The tiles of each instruction set. SSE2 and AVX2 (16 vector registers):
// 3 x 4 pairs, 12 totals, 3 row vectors and a temporary, most column vectors
// read from memory by the SAD itself. AVX-512 (32 registers): 4 x 4.
void pair_tile_sse2(const std::uint8_t* const* rows, const std::uint8_t* const* cols,
                    std::size_t begin, std::size_t end, std::size_t tail, std::uint64_t* sums) {
  pair_tile<Sse2Bytes, 3, 4>(rows, cols, begin, end, tail, sums);
}

__attribute__((target("avx2"), flatten)) void pair_tile_avx2(
    const std::uint8_t* const* rows, const std::uint8_t* const* cols, std::size_t begin,
    std::size_t end, std::size_t tail, std::uint64_t* sums) {
  pair_tile<Avx2Bytes, 3, 4>(rows, cols, begin, end, tail, sums);
}

__attribute__((target("avx512bw"), flatten)) void pair_tile_avx512(
    const std::uint8_t* const* rows, const std::uint8_t* const* cols, std::size_t begin,
    std::size_t end, std::size_t tail, std::uint64_t* sums) {
  pair_tile<Avx512Bytes, 4, 4>(rows, cols, begin, end, tail, sums);
}

#endif  // __SSE2__

struct PairTiles {
  void (*tile)(const std::uint8_t* const* rows, const std::uint8_t* const* cols, std::size_t begin,
               std::size_t end, std::size_t tail, std::uint64_t* sums);
  int rows, cols;  // pairs of a tile
  int width;       // bytes of a vector
  const char* isa;
};

// The tiles this host runs, the widest first.
const std::vector<PairTiles>& host_pair_tiles() {
  static const std::vector<PairTiles> tiles = [] {
    std::vector<PairTiles> out;
#if defined(__SSE2__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) out.push_back({pair_tile_avx512, 4, 4, 64, "avx512bw"});
    if (__builtin_cpu_supports("avx2")) out.push_back({pair_tile_avx2, 3, 4, 32, "avx2"});
    out.push_back({pair_tile_sse2, 3, 4, 16, "sse2"});
#endif
    return out;
  }();
  return tiles;
}

// Where pair (i, j), i < j, of n rows lies in the packed upper triangle.
inline std::size_t packed_pair(std::size_t i, std::size_t j, std::size_t n) {
  return DistanceTable::row_start(i, n) + (j - i - 1);
}

}  // namespace

std::string describe_kernels() {
  std::string built, running;
#if defined(__SSE2__)
  built = "avx512bw/avx2/sse2";
  running = host_pair_tiles().front().isa;
#else
  built = running = "plain";
#endif
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2");
  return "byte distances " + built + " (this host: " + running + "); sums avx2/default (this host: " +
         (avx2 ? "avx2" : "default") + ")";
}

template <typename Raw>
void manhattan_distances_bytes_plain(const std::uint8_t* counts, int n, int length, int row_begin,
                                     int row_end, Raw* out) {
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t loci = static_cast<std::size_t>(length);
  for (std::size_t i = static_cast<std::size_t>(row_begin); i < static_cast<std::size_t>(row_end); ++i)
    for (std::size_t j = i + 1; j < rows; ++j)
      out[packed_pair(i, j, rows)] =
          static_cast<Raw>(manhattan_distance_bytes(counts + i * loci, counts + j * loci, length));
}

namespace {

// manhattan_distances_bytes with the given tiles (rows of fewer loci than a
// vector go one pair at a time).
template <typename Raw>
void blocked_distances(const PairTiles& tiles, const std::uint8_t* counts, int n, int length,
                       int row_begin, int row_end, Raw* out) {
  if (length < tiles.width) {
    manhattan_distances_bytes_plain(counts, n, length, row_begin, row_end, out);
    return;
  }
  const std::size_t rows = static_cast<std::size_t>(n);
  const std::size_t loci = static_cast<std::size_t>(length);
  const std::size_t width = static_cast<std::size_t>(tiles.width);
  const std::size_t full = loci - loci % width;  // loci in whole vectors
  const std::size_t tail = loci - full;
  const std::size_t chunks = (full + kDistanceChunk - 1) / kDistanceChunk;
  const std::size_t chunk = (full / width + chunks - 1) / chunks * width;
  const int tile_rows = tiles.rows, tile_cols = tiles.cols;
  const std::uint8_t* row_at[kTileSide];
  const std::uint8_t* col_at[kTileSide];
  std::uint64_t sums[kTileSide * kTileSide];
  // Each block of rows goes over its columns a chunk of loci at a time, a
  // tile of columns against every tile of the block's rows; the first chunk
  // writes each pair's sum, the later ones add to it.
  for (int b0 = row_begin; b0 < row_end; b0 += kDistanceRowBlock) {
    const int b1 = std::min(row_end, b0 + kDistanceRowBlock);
    for (std::size_t l0 = 0; l0 < full; l0 += chunk) {
      const std::size_t l1 = std::min(full, l0 + chunk);
      const std::size_t chunk_tail = l1 == full ? tail : 0;
      for (int j0 = b0 + 1; j0 < n; j0 += tile_cols) {
        const int j_end = std::min(n, j0 + tile_cols);
        // Columns past the last row repeat it, rows past the block's end its
        // first row (their sums are not written).
        for (int c = 0; c < tile_cols; ++c)
          col_at[c] = counts + static_cast<std::size_t>(std::min(j0 + c, n - 1)) * loci;
        for (int r0 = b0; r0 < b1 && r0 < j_end - 1; r0 += tile_rows) {
          for (int r = 0; r < tile_rows; ++r)
            row_at[r] = counts + static_cast<std::size_t>(r0 + r < b1 ? r0 + r : b0) * loci;
          tiles.tile(row_at, col_at, l0, l1, chunk_tail, sums);
          for (int r = 0; r < tile_rows && r0 + r < b1; ++r) {
            const std::size_t i = static_cast<std::size_t>(r0 + r);
            for (int j = std::max(j0, r0 + r + 1); j < j_end; ++j) {
              Raw& d = out[packed_pair(i, static_cast<std::size_t>(j), rows)];
              const std::uint64_t s = sums[r * tile_cols + (j - j0)];
              d = static_cast<Raw>(l0 == 0 ? s : d + s);
            }
          }
        }
      }
    }
  }
}

}  // namespace

template <typename Raw>
void manhattan_distances_bytes(const std::uint8_t* counts, int n, int length, int row_begin,
                               int row_end, Raw* out) {
  const std::vector<PairTiles>& tiles = host_pair_tiles();
  if (tiles.empty()) {
    manhattan_distances_bytes_plain(counts, n, length, row_begin, row_end, out);
    return;
  }
  blocked_distances(tiles.front(), counts, n, length, row_begin, row_end, out);
}

template <typename Raw>
void manhattan_distances_bytes_at_width(int width, const std::uint8_t* counts, int n, int length,
                                        int row_begin, int row_end, Raw* out) {
  for (const PairTiles& tiles : host_pair_tiles())
    if (tiles.width == width) {
      blocked_distances(tiles, counts, n, length, row_begin, row_end, out);
      return;
    }
  std::abort();  // not a width of this host
}

std::vector<int> manhattan_distances_bytes_widths() {
  std::vector<int> widths;
  for (const PairTiles& tiles : host_pair_tiles()) widths.push_back(tiles.width);
  return widths;
}

template void manhattan_distances_bytes_plain(const std::uint8_t*, int, int, int, int, std::uint16_t*);
template void manhattan_distances_bytes_plain(const std::uint8_t*, int, int, int, int, std::uint32_t*);
template void manhattan_distances_bytes_plain(const std::uint8_t*, int, int, int, int, std::uint64_t*);
template void manhattan_distances_bytes(const std::uint8_t*, int, int, int, int, std::uint16_t*);
template void manhattan_distances_bytes(const std::uint8_t*, int, int, int, int, std::uint32_t*);
template void manhattan_distances_bytes(const std::uint8_t*, int, int, int, int, std::uint64_t*);
template void manhattan_distances_bytes_at_width(int, const std::uint8_t*, int, int, int, int, std::uint16_t*);
template void manhattan_distances_bytes_at_width(int, const std::uint8_t*, int, int, int, int, std::uint32_t*);
template void manhattan_distances_bytes_at_width(int, const std::uint8_t*, int, int, int, int, std::uint64_t*);

const char* manhattan_distances_bytes_isa() {
  const std::vector<PairTiles>& tiles = host_pair_tiles();
  return tiles.empty() ? "scalar" : tiles.front().isa;
}

void adjust_by_list_means_plain(double* codes, int n, int width, const GroupLists& lists) {
  const std::size_t w = static_cast<std::size_t>(width);
  std::vector<double> mean(static_cast<std::size_t>(n) * w);
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < width; ++c) {
      double total = 0.0;
      for (int m = 0; m < lists.size(i); ++m)
        total += codes[static_cast<std::size_t>(lists.list(i)[m]) * w + c];
      mean[static_cast<std::size_t>(i) * w + c] = total / static_cast<double>(lists.size(i));
    }
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < width; ++c) {
      double& code = codes[static_cast<std::size_t>(i) * w + c];
      code = code - mean[static_cast<std::size_t>(i) * w + c];
    }
}

namespace {

// means[0 .. width) = the mean of the rows `members[0 .. count)` (ascending
// members, sum from 0.0, divided by count), four columns a lane.
__attribute__((target_clones("avx2", "default"))) void list_mean(
    const double* codes, int width, const int* members, int count, double* means) {
  const double size = static_cast<double>(count);
  const Lanes4 w = {size, size, size, size};
  int c = 0;
  for (; c + 32 <= width; c += 32) {
    Lanes4 a[8];
    for (int k = 0; k < 8; ++k) a[k] = Lanes4{0.0, 0.0, 0.0, 0.0};
    for (int m = 0; m < count; ++m) {
      const double* row = codes + static_cast<std::size_t>(members[m]) * width + c;
      for (int k = 0; k < 8; ++k) a[k] += LOAD4(row + 4 * k);
    }
    for (int k = 0; k < 8; ++k) STORE4(means + c + 4 * k, a[k] / w);
  }
  for (; c < width; ++c) {
    double total = 0.0;
    for (int m = 0; m < count; ++m) total += codes[static_cast<std::size_t>(members[m]) * width + c];
    means[c] = total / size;
  }
}

__attribute__((target_clones("avx2", "default"))) void subtract_row(double* row, const double* means,
                                                                     int width) {
  for (int c = 0; c < width; ++c) row[c] = row[c] - means[c];
}

}  // namespace

void adjust_by_list_means(double* codes, int n, int width, const GroupLists& lists) {
  const std::size_t w = static_cast<std::size_t>(width);
  thread_local std::vector<double> means;
  if (lists.partitions()) {
    // A group's members are the individuals with its list: its mean, then
    // its members' rows, while the mean is still in cache.
    means.resize(w);
    for (int i = 0; i < n; ++i) {
      if (lists.owner[i] != i) continue;
      const int* members = lists.list(i);
      list_mean(codes, width, members, lists.size(i), means.data());
      for (int m = 0; m < lists.size(i); ++m)
        subtract_row(codes + static_cast<std::size_t>(members[m]) * w, means.data(), width);
    }
    return;
  }
  // Every distinct list's mean first, at its owner, from the unadjusted rows;
  // then each row loses its list's mean.
  means.resize(static_cast<std::size_t>(n) * w);
  for (int i = 0; i < n; ++i)
    if (lists.owner[i] == i)
      list_mean(codes, width, lists.list(i), lists.size(i), &means[static_cast<std::size_t>(i) * w]);
  for (int i = 0; i < n; ++i)
    subtract_row(codes + static_cast<std::size_t>(i) * w,
                 &means[static_cast<std::size_t>(lists.owner[i]) * w], width);
}

void adjust_sequentially_plain(double* codes, int n, int width, const GroupLists& lists) {
  std::vector<double> total(static_cast<std::size_t>(width));
  for (int i = 0; i < n; ++i) {
    std::fill(total.begin(), total.end(), 0.0);
    for (int m = 0; m < lists.size(i); ++m) {
      const double* row = codes + static_cast<std::size_t>(lists.list(i)[m]) * width;
      for (int c = 0; c < width; ++c) total[c] += row[c];
    }
    const double weight = static_cast<double>(lists.size(i));
    double* row = codes + static_cast<std::size_t>(i) * width;
    for (int c = 0; c < width; ++c) row[c] = row[c] - total[c] / weight;
  }
}

namespace {

// The vectorized adjustment of the rows whose list has fewer than
// `below_size` members (the others are left as they are).
__attribute__((target_clones("avx2", "default"))) void adjust_rows_vectorized(
    double* codes, int n, int width, const GroupLists& lists, int below_size) {
  // With a partition, prefix[g] holds the running sum, from 0.0 in ascending
  // order, of the adjusted rows of group g so far: exactly the first terms of
  // the next group member's sum.
  std::vector<double> prefix;
  if (lists.partitions()) prefix.assign(static_cast<std::size_t>(lists.groups) * width, 0.0);
  for (int i = 0; i < n; ++i) {
    const int count = lists.size(i);
    if (count >= below_size) continue;
    const int* members = lists.list(i);
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

}  // namespace

void adjust_sequentially_vectorized(double* codes, int n, int width, const GroupLists& lists) {
  adjust_rows_vectorized(codes, n, width, lists, std::numeric_limits<int>::max());
}

namespace {

// Groups from this size on are adjusted by jumps (see adjust_sequentially).
constexpr int kJumpingGroupSize = 1500;

// The integers w for which v + w is exact, as a closed range [low, high]
// (possibly not holding 0, when v is an integer beyond 2^53). v + w is a
// multiple of 2^q, q the exponent of v's lowest set bit (0 for an integer),
// and so exact whenever |v + w| < 2^(53 + q). The ends are computed in
// integers, in units of 2^q.
struct ExactRange {
  std::int64_t low, high;
};

ExactRange exact_range(double v) {
  constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7ff);
  std::uint64_t significand = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased != 0) significand |= std::uint64_t{1} << 52;
  const int exponent = biased == 0 ? -1074 : biased - 1075;  // v = significand * 2^exponent
  ExactRange range;
  if (significand == 0 || exponent + __builtin_ctzll(significand) >= 0) {
    // An integer (or 0): exact while |v + w| < 2^53.
    if (!(std::fabs(v) < 4e18)) return ExactRange{1, 0};  // no w is safe
    const auto k = static_cast<std::int64_t>(v);
    range.high = kTwo53 - k - 1;
    range.low = -kTwo53 - k + 1;
    return range;
  }
  // v = odd * 2^q with q < 0: in units of 2^q the range's ends are 2^53 - odd
  // and -2^53 - odd; w, an integer, must lie strictly inside.
  const int zeros = __builtin_ctzll(significand);
  const int q = exponent + zeros;
  const auto odd = static_cast<std::int64_t>(significand >> zeros) * ((bits >> 63) ? -1 : 1);
  const std::int64_t above = kTwo53 - odd;   // > 0
  const std::int64_t below = -kTwo53 - odd;  // < 0
  const int shift = -q;
  if (shift >= 62) {
    range.high = 0;  // 0 < above * 2^q < 1
    range.low = 0;
  } else {
    const std::int64_t unit = std::int64_t{1} << shift;
    range.high = ((above + unit - 1) >> shift) - 1;  // ceil(above / unit) - 1 (above > 0)
    range.low = (below >> shift) + 1;                // floor(below / unit) + 1
  }
  return range;
}

inline bool is_unit_code(double c) { return c == 0.0 || c == 1.0 || c == -1.0; }

// Scratch of one group column: the members' codes in member order, their
// integer prefix sums, and range maxima and minima of the prefix sums for
// windows of 2^k (a sparse table: level k at [k * (n + 1) + j] covers
// prefix[j .. j + 2^k - 1]).
struct GroupScratch {
  std::vector<double> code;
  std::vector<std::int32_t> prefix;   // [t]: sum of the unit codes before t
  std::vector<std::int32_t> run_end;  // [t]: the first t' >= t whose code is not a unit code (or n)
  std::vector<std::int32_t> high, low;
  int levels = 0;
};

void build_sparse_table(GroupScratch& g, int n) {
  const std::size_t row = static_cast<std::size_t>(n) + 1;
  g.levels = 1;
  while ((1 << g.levels) <= n) ++g.levels;
  g.high.resize(row * static_cast<std::size_t>(g.levels));
  g.low.resize(row * static_cast<std::size_t>(g.levels));
  std::copy(g.prefix.begin(), g.prefix.begin() + static_cast<std::ptrdiff_t>(row), g.high.begin());
  std::copy(g.prefix.begin(), g.prefix.begin() + static_cast<std::ptrdiff_t>(row), g.low.begin());
  for (int k = 1; k < g.levels; ++k) {
    const std::size_t half = std::size_t{1} << (k - 1);
    const std::int32_t* hp = &g.high[(static_cast<std::size_t>(k) - 1) * row];
    const std::int32_t* lp = &g.low[(static_cast<std::size_t>(k) - 1) * row];
    std::int32_t* h = &g.high[static_cast<std::size_t>(k) * row];
    std::int32_t* l = &g.low[static_cast<std::size_t>(k) * row];
    const std::size_t last = row - (half << 1);  // windows that fit
    for (std::size_t j = 0; j <= last; ++j) {
      h[j] = std::max(hp[j], hp[j + half]);
      l[j] = std::min(lp[j], lp[j + half]);
    }
  }
}

// The group-mean adjustment of one column of a group (members m_0 < m_1 <
// ..., n of them), in member order. Member p's sum is the running prefix P
// of the adjusted members before it, then its own code and the later
// members' codes added one at a time. Where those codes are -1, 0 or 1,
// every addition whose result stays in the running value's exact range (see
// exact_range) is exact, so a stretch of them is added at once from the
// integer prefix sums; only an addition that may round (the running value
// reaching a magnitude it has not reached before) or a code that is not a
// unit is made as a double. The first addition that may round is found in
// O(log n) from the sparse table of the prefix sums. The sum is therefore bit
// for bit the sequential one.
void adjust_group_column(double* codes, int width, const int* members, int n, int column,
                         GroupScratch& g) {
  const std::size_t w = static_cast<std::size_t>(width);
  g.code.resize(static_cast<std::size_t>(n));
  g.prefix.resize(static_cast<std::size_t>(n) + 1);
  g.run_end.resize(static_cast<std::size_t>(n));
  g.prefix[0] = 0;
  for (int t = 0; t < n; ++t) {
    const double c = codes[static_cast<std::size_t>(members[t]) * w + static_cast<std::size_t>(column)];
    g.code[static_cast<std::size_t>(t)] = c;
    g.prefix[static_cast<std::size_t>(t) + 1] =
        g.prefix[static_cast<std::size_t>(t)] + (is_unit_code(c) ? static_cast<std::int32_t>(c) : 0);
  }
  for (int t = n - 1, end = n; t >= 0; --t) {
    if (!is_unit_code(g.code[static_cast<std::size_t>(t)])) end = t;
    g.run_end[static_cast<std::size_t>(t)] = is_unit_code(g.code[static_cast<std::size_t>(t)]) ? end : t;
  }
  build_sparse_table(g, n);
  const std::size_t row = static_cast<std::size_t>(n) + 1;
  // Whether prefix[a .. b] all lie in [lo, hi].
  const auto inside = [&](int a, int b, std::int64_t lo, std::int64_t hi) {
    int k = 31 - __builtin_clz(static_cast<unsigned>(b - a + 1));
    const std::size_t at = static_cast<std::size_t>(k) * row;
    const std::size_t second = static_cast<std::size_t>(b - (1 << k) + 1);
    return std::max(g.high[at + static_cast<std::size_t>(a)], g.high[at + second]) <= hi &&
           std::min(g.low[at + static_cast<std::size_t>(a)], g.low[at + second]) >= lo;
  };

  const double size = static_cast<double>(n);
  double running = 0.0;  // the adjusted members so far, summed from 0.0
  for (int p = 0; p < n; ++p) {
    double v = running;
    for (int t = p; t < n;) {
      const double c = g.code[static_cast<std::size_t>(t)];
      if (!is_unit_code(c)) {
        v = v + c;
        ++t;
        continue;
      }
      const int end = g.run_end[static_cast<std::size_t>(t)];
      const std::int64_t base = g.prefix[static_cast<std::size_t>(t)];
      const ExactRange range = exact_range(v);
      const std::int64_t lo = base + range.low, hi = base + range.high;
      if (inside(t + 1, end, lo, hi)) {
        v = v + static_cast<double>(g.prefix[static_cast<std::size_t>(end)] - base);
        t = end;
        continue;
      }
      // The first prefix index j in (t, end] outside [lo, hi]: skip every
      // window of 2^k that lies inside, largest first.
      int j = t + 1;
      for (int k = g.levels - 1; k >= 0; --k) {
        if (j + (1 << k) - 1 > end) continue;
        const std::size_t at = static_cast<std::size_t>(k) * row + static_cast<std::size_t>(j);
        if (g.high[at] <= hi && g.low[at] >= lo) j += 1 << k;
      }
      v = v + static_cast<double>(g.prefix[static_cast<std::size_t>(j) - 1] - base);
      v = v + g.code[static_cast<std::size_t>(j) - 1];
      t = j;
    }
    double& target = codes[static_cast<std::size_t>(members[p]) * w + static_cast<std::size_t>(column)];
    target = target - v / size;
    running = running + target;
  }
}

}  // namespace

void adjust_sequentially(double* codes, int n, int width, const GroupLists& lists) {
  if (!lists.partitions()) {
    adjust_sequentially_vectorized(codes, n, width, lists);
    return;
  }
  // Small groups go faster through the vectorized sums (n^2 / 2 additions
  // four at a time) than through the jumps (a few dozen scalar steps a member):
  // both give the same bits, so each group takes the quicker one.
  bool small_groups = false;
  thread_local GroupScratch scratch;
  for (int leader = 0; leader < n; ++leader) {
    if (lists.list(leader)[0] != leader) continue;  // one pass per group
    const int size = lists.size(leader);
    if (size < kJumpingGroupSize) {
      small_groups = true;
      continue;
    }
    for (int column = 0; column < width; ++column)
      adjust_group_column(codes, width, lists.list(leader), size, column, scratch);
  }
  if (small_groups) adjust_rows_vectorized(codes, n, width, lists, kJumpingGroupSize);
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

}  // namespace strataperm
