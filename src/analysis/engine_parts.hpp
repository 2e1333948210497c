// What the fixed and the adaptive permutation tests of the engine share: the
// run prepared up to the first replicate.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "analysis/engine.hpp"
#include "analysis/marker_blocks.hpp"
#include "analysis/within_group_permutation.hpp"

namespace strataperm {

// Hands finished blocks of markers on in marker order: a block that finishes
// early waits until every block before it is out. Thread-safe; the callback
// is called one block at a time.
class OrderedBlocks {
 public:
  OrderedBlocks(long offset, const AnalysisOptions& options) : offset_(offset), options_(options) {}
  // Block `b` is done with these statistics; `also` runs under the same lock.
  template <typename Also>
  void finish(long b, const std::vector<MarkerStatistics>& stats, Also also) {
    const std::lock_guard<std::mutex> hold(lock_);
    also();
    finished_.emplace(b, stats);
    for (auto next = finished_.find(next_); next != finished_.end(); next = finished_.find(next_)) {
      if (options_.on_markers) options_.on_markers(offset_ + next_ * kBlockMarkers, next->second);
      finished_.erase(next);
      ++next_;
    }
  }
  void finish(long b, const std::vector<MarkerStatistics>& stats) {
    finish(b, stats, [] {});
  }

 private:
  long offset_;
  const AnalysisOptions& options_;
  std::mutex lock_;
  long next_ = 0;
  std::map<long, std::vector<MarkerStatistics>> finished_;
};

struct PreparedRun {
  int n = 0;
  long offset = 0, m = 0;  // the markers tested: [offset, offset + m)
  int threads = 0;
  AnalysisResult result;   // fit, groups, S and the similarity counts so far
  std::vector<double> y;   // the centred trait (with covariates: its residual)
  GroupLists lists;
  Adjustment adjustment = Adjustment::means;
  std::optional<ReducedModel> model;  // with covariates
  std::unique_ptr<ReplicateDrawer> drawer;

  // Adjusts a block's codes (N x kWidth, `count` markers) before the sums:
  // with covariates their residuals on the reduced model, then the list
  // means where the lists do not partition the sample; without, adjust_codes.
  void adjust_block(double* codes, int count) const;
};

// Similarity, structure fit (on_structure is called), the centred trait and
// the same-group lists.
PreparedRun prepare_run(const Parameters& parameters, const SampleData& data,
                        const AnalysisOptions& options);

// The adaptive permutation test of the prepared run (see AnalysisOptions).
AnalysisResult run_adaptive(const Parameters& parameters, MarkerSource& markers,
                            RandomStream& stream, const AnalysisOptions& options,
                            PreparedRun& prepared);

}  // namespace strataperm
