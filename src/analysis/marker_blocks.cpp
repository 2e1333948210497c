#include "analysis/marker_blocks.hpp"

#include "analysis/kernels.hpp"
#include "core/study.hpp"

namespace strataperm {

// The sums of the codes are whole numbers, so forming them as integers gives
// the very doubles an ascending sum from 0.0 gives.
void code_block(const std::uint8_t* classes, int n, int count, double* codes,
                MarkerStatistics* statistics) {
  const std::size_t rows = static_cast<std::size_t>(n);
  double missing_x[kBlockMarkers], missing_z[kBlockMarkers];
  for (int c = 0; c < kBlockMarkers; ++c) {
    missing_x[c] = 0.0;
    missing_z[c] = 0.0;
  }
  for (int c = 0; c < count; ++c) {
    std::int64_t n0 = 0, n1 = 0, n2 = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      const std::uint8_t k = classes[i * kBlockMarkers + c];
      n0 += k == kSumZero;
      n1 += k == kHeterozygous;
      n2 += k == kSumTwo;
    }
    const std::int64_t called = n0 + n1 + n2;
    statistics[c].called = static_cast<int>(called);
    statistics[c].copies = 2 * n2 + n1;
    if (called < static_cast<std::int64_t>(rows) && called > 0) {
      missing_x[c] = static_cast<double>(n2 - n0) / static_cast<double>(called);
      missing_z[c] = static_cast<double>(n1) / static_cast<double>(called);
    }
  }
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint8_t* cls = &classes[i * kBlockMarkers];
    double* row = &codes[i * kWidth];
    for (int c = 0; c < kBlockMarkers; ++c) {
      // Columns past the block's markers are coded as heterozygotes; nothing
      // reads their results.
      const int k = c < count ? static_cast<int>(cls[c]) : static_cast<int>(kHeterozygous);
      row[c] = k == kSumTwo ? 1.0 : k == kSumZero ? -1.0 : k == kMissing ? missing_x[c] : 0.0;
      row[kBlockMarkers + c] = k == kHeterozygous ? 1.0 : k == kMissing ? missing_z[c] : 0.0;
    }
  }
}

const char* adjustment_name(Adjustment adjustment) {
  return adjustment == Adjustment::means ? "means" : "sequential";
}

void adjust_codes(double* codes, int n, const GroupLists& lists, Adjustment adjustment) {
  if (adjustment == Adjustment::means) {
    adjust_by_list_means(codes, n, kWidth, lists);
  } else {
    adjust_sequentially(codes, n, kWidth, lists);
  }
}

void observed_sums(const double* codes, const std::vector<double>& y, int count,
                   MarkerStatistics* statistics) {
  double zz[kBlockMarkers], xx[kBlockMarkers], xy[kBlockMarkers], zy[kBlockMarkers],
      xz[kBlockMarkers];
  for (int c = 0; c < kBlockMarkers; ++c) zz[c] = xx[c] = xy[c] = zy[c] = xz[c] = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    const double* row = &codes[i * kWidth];
    const double yi = y[i];
    for (int c = 0; c < kBlockMarkers; ++c) {
      const double x = row[c];
      const double z = row[kBlockMarkers + c];
      zz[c] += z * z;
      xx[c] += x * x;
      xy[c] += x * yi;
      zy[c] += z * yi;
      xz[c] += z * x;
    }
  }
  for (int c = 0; c < count; ++c) {
    MarkerStatistics& s = statistics[c];
    s.sum_zz = zz[c];
    s.sum_xx = xx[c];
    s.sum_xy = xy[c];
    s.sum_zy = zy[c];
    s.sum_xz = xz[c];
    s.t_observed = association_statistic(zz[c], xx[c], xy[c], zy[c], xz[c]);
  }
}

}  // namespace strataperm
