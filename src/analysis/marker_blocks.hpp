// The markers of a run in blocks of 64: a block's additive codes fill
// columns 0..63 and its dominance codes columns 64..127 of a row-major
// N x 128 matrix.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/association.hpp"

namespace strataperm {

constexpr int kBlockMarkers = 64;
constexpr int kWidth = 2 * kBlockMarkers;

// Codes one block: x and z per class, a missing call the marker's mean codes
// over its calls. Fills each marker's called count and allele copies.
void code_block(const std::uint8_t* classes, int n, int count, double* codes,
                MarkerStatistics* statistics);

// The observed sums of the block's markers after the adjustment (ascending
// individuals, from 0.0) and their statistics T_obs.
void observed_sums(const double* codes, const std::vector<double>& y, int count,
                   MarkerStatistics* statistics);

}  // namespace strataperm
