// The markers of a run in blocks of 64: a block's additive codes fill
// columns 0..63 and its dominance codes columns 64..127 of a row-major
// N x 128 matrix.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/association.hpp"
#include "analysis/within_group_permutation.hpp"

namespace strataperm {

constexpr int kBlockMarkers = 64;
constexpr int kWidth = 2 * kBlockMarkers;

// Codes one block: x and z per class, a missing call the marker's mean codes
// over its calls. Fills each marker's called count and allele copies.
void code_block(const std::uint8_t* classes, int n, int count, double* codes,
                MarkerStatistics* statistics);

// How the additive and dominance codes are adjusted by the means of the
// individual's same-group list before the statistic is formed.
//  means:      every mean is formed from the unadjusted codes (member sums
//              ascending, from 0.0, divided by the list size) before any code
//              of the column changes; then each code loses its list's mean.
//              With lists that partition the sample the statistic is that of
//              a least-squares fit with one intercept per group.
//  sequential: rows adjusted in ascending order, in place, each row's mean
//              taken over the column as it stands (rows already adjusted
//              enter the later rows' means): the adjustment as first
//              specified, kept to reproduce its results digit for digit.
enum class Adjustment { means, sequential };

// "means" or "sequential".
const char* adjustment_name(Adjustment adjustment);

// Adjusts a block's codes (N x kWidth) by the lists' means in the chosen way
// (adjust_by_list_means or adjust_sequentially).
void adjust_codes(double* codes, int n, const GroupLists& lists, Adjustment adjustment);

// The observed sums of the block's markers after the adjustment (ascending
// individuals, from 0.0) and their statistics T_obs.
void observed_sums(const double* codes, const std::vector<double>& y, int count,
                   MarkerStatistics* statistics);

}  // namespace strataperm
