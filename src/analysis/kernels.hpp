// The exact inner loops of the analysis, each beside its plain twin.
//
// Every fast kernel computes the same values as its plain twin, bit for bit:
// the same operations on the same operands in the same order (the build never
// fuses a multiply and an add). The speed comes from layout, SIMD lanes
// across independent sums and cache blocking. The tests compare each pair on
// many random inputs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/within_group_permutation.hpp"

namespace strataperm {

// Manhattan distance of two rows of counts: the plain loop over 64-bit counts
// and the byte kernel (counts in bytes above a common base; SIMD sums of
// absolute byte differences). Integer sums, exact in any order.
std::uint64_t manhattan_distance(const std::int64_t* a, const std::int64_t* b, int length);
std::uint64_t manhattan_distance_bytes(const std::uint8_t* a, const std::uint8_t* b, int length);

// Byte distances of the pairs (i, j), i < j < n, of n rows of `length` counts
// (row i at counts + i * length), for the rows i in [row_begin, row_end):
// manhattan_distance_bytes of the two rows, written to the upper triangle
// packed row after row, out[i * n - i * (i + 1) / 2 + (j - i - 1)]. Nothing
// else is written. Raw is std::uint16_t, std::uint32_t or std::uint64_t, wide
// enough for every distance.
//
// manhattan_distances_bytes: register tiles of 3 x 4 or 4 x 4 pairs (each
// vector of bytes loaded from a row serves every pair of its tile), over
// blocks of kDistanceRowBlock rows and chunks of loci that keep the block's
// rows in cache; 64-byte AVX-512BW or 32-byte AVX2 sums of absolute
// differences where the host has them (chosen at run time), SSE2 otherwise.
// manhattan_distances_bytes_plain: one pair at a time.
// manhattan_distances_bytes_at_width: the tiles of one vector width in bytes,
// one of manhattan_distances_bytes_widths(): the widths this host runs, the
// widest (the one manhattan_distances_bytes uses) first; empty without SIMD.
template <typename Raw>
void manhattan_distances_bytes(const std::uint8_t* counts, int n, int length, int row_begin,
                               int row_end, Raw* out);
template <typename Raw>
void manhattan_distances_bytes_plain(const std::uint8_t* counts, int n, int length, int row_begin,
                                     int row_end, Raw* out);
template <typename Raw>
void manhattan_distances_bytes_at_width(int width, const std::uint8_t* counts, int n, int length,
                                        int row_begin, int row_end, Raw* out);
std::vector<int> manhattan_distances_bytes_widths();

// Rows of a block of manhattan_distances_bytes: ranges of this many rows
// (from a multiple of it) are the units to share out over threads.
constexpr int kDistanceRowBlock = 24;

// The instruction set of manhattan_distances_bytes on this host: "avx512bw",
// "avx2", "sse2" or "scalar".
const char* manhattan_distances_bytes_isa();

// Adjustment by list means of a block of `width` code columns for n
// individuals, row-major (codes[i * width + c]): every row i loses the mean
// over i's list of the unadjusted rows (members ascending, sum from 0.0, then
// divided by the list size); all means are formed before any row changes.
// A column of equal codes within a list becomes zeros.
//
// adjust_by_list_means: one sum per distinct list and column (SIMD lanes
// across the columns), so O(n x width) with a partition.
// adjust_by_list_means_plain: the definition, literally.
void adjust_by_list_means(double* codes, int n, int width, const GroupLists& lists);
void adjust_by_list_means_plain(double* codes, int n, int width, const GroupLists& lists);

// Sequential group-mean adjustment of a block of `width` code columns for n
// individuals, row-major (codes[i * width + c]): for i ascending, subtracts from row i the
// mean over i's list of the current rows (sum from 0.0 in ascending member
// order, then divided by the list size), so rows already adjusted enter the
// later rows' means. When the lists partition the individuals, the part of
// each sum over members already adjusted is the same running prefix for the
// whole group, so it is carried along instead of summed again.
//
// adjust_sequentially: with a partition, each group column in
// O(n + roundings x jumps) instead of O(n^2): the later members' codes are
// -1, 0 or 1, so most of their additions are exact and are made at once from
// integer prefix sums; only an addition that may round is made as a double
// (see adjust_group_column in kernels.cpp). Overlapping lists go through the
// vectorized sums. adjust_sequentially_vectorized: SIMD lanes across the
// columns, the shared running prefix of a partition's group carried along.
// adjust_sequentially_plain: the definition, literally.
void adjust_sequentially(double* codes, int n, int width, const GroupLists& lists);
void adjust_sequentially_vectorized(double* codes, int n, int width, const GroupLists& lists);
void adjust_sequentially_plain(double* codes, int n, int width, const GroupLists& lists);

// Permuted sums: out[c * stride + r] = sum over i ascending of
// codes[i * width + c] * y[replicate_index(i, r, n)], from 0.0, separate
// multiply and add, for c < width and r < stride (stride a multiple of 8).
void permuted_sums(const double* codes, const double* y, int n, int width, int stride,
                   double* out);
void permuted_sums_plain(const double* codes, const double* y, int n, int width, int stride,
                         double* out);

// The SIMD clones this build holds and the ones this host runs, in one line:
// "byte distances avx512bw/avx2/sse2 (this host: avx2); sums avx2/default
// (this host: avx2)". Which clone runs never changes a result.
std::string describe_kernels();

// The association statistic from the five sums of products, in its fixed
// order of evaluation: each product left to right, the first two terms added,
// then the third subtracted.
inline double association_statistic(double sum_zz, double sum_xx, double sum_xy, double sum_zy,
                                    double sum_xz) {
  return sum_zz * sum_xy * sum_xy + sum_xx * sum_zy * sum_zy - 2 * sum_xz * sum_zy * sum_xy;
}

}  // namespace strataperm
