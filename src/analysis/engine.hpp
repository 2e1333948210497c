// One run of the analysis: similarity, structure fit, within-group
// permutation test of every marker. Orchestration only; the stages live in
// distance_table, structure_fit, within_group_permutation and kernels.
//
// Per marker, the additive and dominance codes are adjusted by the means of
// each same-group list (see Adjustment), the trait is centred, the observed
// statistic is formed from five sums of products, and R replicates move trait
// values only within same-group lists (the structure fit's, or groups the
// user gives). All of it is the
// same arithmetic, in the same order, as the plain definition; the speed comes
// from layout, SIMD lanes across independent markers and replicates, threads
// across marker blocks, and order-statistic bookkeeping for the draws.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <span>
#include <vector>

#include "analysis/adaptive_rule.hpp"
#include "analysis/association.hpp"
#include "analysis/covariate_model.hpp"
#include "analysis/marker_blocks.hpp"
#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/progress.hpp"
#include "core/study.hpp"
#include "numerics/random.hpp"

namespace strataperm {

struct AnalysisOptions {
  Adjustment adjustment = Adjustment::means;
  // Groups given by the user: clusters[i] numbers individual i's group
  // (0-based individuals, any non-negative numbers). When not empty, the
  // same-group lists come from it instead of the structure fit's
  // classification (the structure test still runs and is reported).
  std::vector<int> clusters;
  // Covariates (when their names are not empty): the trait and the codes
  // are residualized on the reduced model (see covariate_model.hpp) before
  // the adjustment by list means, which then applies only to lists that do
  // not partition the sample. Not with the sequential adjustment.
  Covariates covariates;
  int threads = 0;               // 0: all cores; the results never depend on it
  int chunk_replicates = 0;      // replicates drawn at a time (0: by a memory budget); nor on it
  // The markers to test: marker_count of them (-1: all the rest) from
  // first_marker (0-based); the others are not read. The replicates are all
  // drawn whatever the range, so the stream ends where a whole run's does.
  long first_marker = 0;
  long marker_count = -1;
  // Adaptive permutation (when given): each marker takes replicates, drawn
  // one after another on the one stream, until the rule stops it or
  // rule->max; its P is its count over its own replicates (see
  // adaptive_rule.hpp). The replicate maxima are then not computed.
  const AdaptiveRule* adaptive = nullptr;
  StageClock* clock = nullptr;   // optional: laps "similarity", "structure", "replicates", "markers"
  Progress* progress = nullptr;  // optional: replicates and markers done
  // Called once the structure fit is known, before the permutation test
  // starts (the report prints the verdict there).
  std::function<void(const StructureFit&)> on_structure;
  // Called with each finished run of markers, markers[k] being marker
  // first + k + 1 (of the whole study), in marker order, one call at a time
  // (from any thread).
  std::function<void(long first, std::span<const MarkerStatistics> markers)> on_markers;
};

struct AnalysisResult {
  StructureFit fit;
  GroupSummary groups;
  std::vector<double> p_values;  // [j - 1 - first_marker]: the empirical P-value of marker j
  int threads = 0;               // threads used
  Adjustment adjustment = Adjustment::means;
  // For the table and the family-wise P-values: S, and for each replicate r
  // the largest, over the markers that are not degenerate, of
  // T_r / (Delta * S_r), where S_r is S of the traits the individuals
  // received in replicate r (-infinity when no ratio is a number). With the
  // `means` adjustment S is the trait's sum of squares within the lists:
  // sum over i ascending, from 0.0, of e*e with e = y_i - ybar_i, ybar_i the
  // mean of the centred trait over i's list (members ascending, from 0.0,
  // divided by their count); with `sequential`, the sum of y_i*y_i. With
  // covariates y is the trait's residual on the reduced model, and when the
  // lists partition the sample S is its sum of squares (i ascending, from
  // 0.0), as is each S_r of the permuted residuals.
  double sum_y2 = 0.0;
  // The number of distinct same-group lists (the number of groups when they
  // partition the sample): the fit's residual degrees of freedom are
  // N - 2 - distinct_lists with the `means` adjustment (N - 3 with
  // `sequential`).
  int distinct_lists = 1;
  // With covariates: their number K (the residual degrees of freedom are
  // then N - 2 - distinct_lists - K) and the rank of the reduced model.
  int covariate_count = 0;
  int model_rank = 0;
  std::vector<double> replicate_maxima;
  // The distinct pairwise similarities, ascending, with the number of
  // unordered pairs at each (for plotting the structure fit).
  std::vector<std::pair<double, std::int64_t>> similarity_counts;
  // Adaptive runs: each marker's replicates (NP), and the replicates drawn in
  // all (the largest NP; the stream is left after that replicate).
  std::vector<std::int64_t> replicates_used;
  std::vector<double> exceed;  // each marker's count c over its NP replicates
  std::int64_t replicates_drawn = 0;
};

// Runs the whole analysis on the study, the candidate markers read from
// `markers` block by block. The stream must be the run's one
// stream, seeded; it is advanced by, per replicate, N draws for the visit
// order and one per served position with a candidate (the final sort goes on
// from there). The result does not depend on the number of threads.
//
// A missing call takes the marker's mean additive code and mean dominance code
// over its called individuals (sums in ascending individual order, divided by
// the called count); then the group-mean adjustment runs as for any marker.
// Memory: 4 N^2 (distances) + N^2 (classification, list bitsets) bytes,
// a chunk of C replicates' traits (8 N C bytes; C chosen so that this is at
// most 256 MiB) and per thread a block of N x 128 codes, its permuted sums
// (8 x 128 C bytes) and C replicate maxima; 16 M bytes of counts and 8 R of
// replicate maxima. The markers are never all held at once: with more than
// one chunk they are read again for each.
AnalysisResult run_analysis(const Parameters& parameters, const SampleData& data,
                            MarkerSource& markers, RandomStream& stream,
                            const AnalysisOptions& options = {});

// A first estimate of the counted stages' seconds on this kind of machine,
// for the progress report until each stage shows its own pace: the
// replicates' draws (about 40 ns an individual) and the markers' work on all
// threads (2 N M R multiply-adds, and with the sequential adjustment its
// N^2 M / 128 additions, at about 4e9 a second a thread).
struct EngineCost {
  double replicate_seconds = 0.0, marker_seconds = 0.0;
};
EngineCost expected_engine_cost(int n_individuals, long markers, int n_permutations, int threads,
                                Adjustment adjustment);

// An analysis engine with the contract of run_analysis (the literal reference
// engine is another).
using AnalysisEngine = AnalysisResult (*)(const Parameters&, const SampleData&, MarkerSource&,
                                          RandomStream&, const AnalysisOptions&);

}  // namespace strataperm
