#include "analysis/kernels.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

}  // namespace

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

}  // namespace strataperm
