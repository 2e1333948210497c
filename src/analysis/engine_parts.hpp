// What the fixed and the adaptive permutation tests of the engine share: the
// run prepared up to the first replicate.
#pragma once

#include <memory>
#include <vector>

#include "analysis/engine.hpp"
#include "analysis/within_group_permutation.hpp"

namespace strataperm {

struct PreparedRun {
  int n = 0;
  long offset = 0, m = 0;  // the markers tested: [offset, offset + m)
  int threads = 0;
  AnalysisResult result;   // fit, groups, S and the similarity counts so far
  std::vector<double> y;   // the centred trait
  GroupLists lists;
  std::unique_ptr<ReplicateDrawer> drawer;
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
