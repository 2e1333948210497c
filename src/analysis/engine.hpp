// One run of the analysis: similarity, structure fit, within-group
// permutation test of every marker. Orchestration only; the stages live in
// distance_table, structure_fit, within_group_permutation and kernels.
//
// Per marker, the additive and dominance codes are adjusted by group means
// row by row (rows already adjusted feed the later rows' means), the trait is
// centred, the observed statistic is formed from five sums of products, and R
// replicates move trait values only within same-group lists. All of it is the
// same arithmetic, in the same order, as the plain definition; the speed comes
// from layout, SIMD lanes across independent markers and replicates, threads
// across marker blocks, and order-statistic bookkeeping for the draws.
#pragma once

#include <functional>
#include <vector>

#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/progress.hpp"
#include "core/study.hpp"
#include "numerics/random.hpp"

namespace strataperm {

struct AnalysisOptions {
  int threads = 0;               // 0: all cores; the results never depend on it
  StageClock* clock = nullptr;   // optional: laps "similarity", "structure", "replicates", "markers"
  Progress* progress = nullptr;  // optional: replicates and markers done
  // Called once the structure fit is known, before the permutation test
  // starts (the report prints the verdict there).
  std::function<void(const StructureFit&)> on_structure;
};

struct AnalysisResult {
  StructureFit fit;
  GroupSummary groups;
  std::vector<double> p_values;  // [j - 1]: the empirical P-value of marker j
  int threads = 0;               // threads used
};

// Runs the whole analysis on the study. The stream must be the run's one
// stream, seeded; it is advanced by, per replicate, N draws for the visit
// order and one per served position with a candidate (the final sort goes on
// from there). The result does not depend on the number of threads.
// Memory: 4 N^2 (distances) + N^2 (classification, list bitsets) bytes,
// 8 N R for the replicate traits, and per thread a block of N x 128 codes.
AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            RandomStream& stream, const AnalysisOptions& options = {});

// An analysis engine with the contract of run_analysis (the literal reference
// engine is another).
using AnalysisEngine = AnalysisResult (*)(const Parameters&, const SampleData&, RandomStream&,
                                          const AnalysisOptions&);

}  // namespace strataperm
