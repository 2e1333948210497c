// The analysis driver: similarity, structure test, and the within-group
// permutation test of every marker.
//
// Per marker, the additive and dominance codes are adjusted by group means
// row by row (rows already adjusted feed the later rows' means), the trait is
// centred, the observed statistic is formed from five sums of products, and R
// replicates move trait values only within same-group lists. All of it is the
// same arithmetic, in the same order, as the plain definition; the speed comes
// from layout, SIMD lanes across independent markers and replicates, threads
// across marker blocks, and order-statistic bookkeeping for the draws.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/structure_test.hpp"
#include "driver/run_context.hpp"
#include "numerics/arrays.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// What a run reports beyond its results: time per stage and the groups found.
struct AnalysisReport {
  std::vector<std::pair<std::string, double>> stage_seconds;
  int threads = 0;
  bool lists_partition = true;   // same-group lists split the sample into groups
  std::vector<int> group_sizes;  // when they do, in order of each group's first member
  int smallest_list = 0, largest_list = 0;
};

// Called with a stage name ("replicates", "markers"), the work done and the
// total; from the calling thread only.
using ProgressCallback = std::function<void(const char* stage, long done, long total)>;

// The number of threads to use: `requested`, or all cores when it is 0.
int thread_count(int requested);

struct EngineOptions {
  int threads = 0;                  // 0: all cores
  bool report_stage_times = false;  // "stage NAME SECONDS" lines on standard error
  ProgressCallback progress;        // optional
  AnalysisReport* report = nullptr;  // optional: filled when given
};

// Same-group lists: members of individual i (0-based, ascending) are
// members[offset[i] .. offset[i + 1]).
// When the lists partition the individuals into groups (every member of a list
// has that same list), `group` numbers each individual's group and
// `position` gives its place in its own list; otherwise both are empty.
struct GroupLists {
  std::vector<std::int64_t> offset;
  std::vector<int> members;
  std::vector<int> group;
  std::vector<int> position;
  int groups = 0;
  int size(int i) const { return static_cast<int>(offset[i + 1] - offset[i]); }
  bool partitions() const { return !group.empty(); }
};
GroupLists build_group_lists(const std::vector<std::uint8_t>& same_group, int n);

// Draws the donors of one replicate: individuals are served in visit order
// (0-based); each takes a uniformly drawn donor among the members of its list
// not yet taken in this replicate (one draw: q = trunc(u * count + 1.0)), or
// keeps its own value when none is left (no draw). Candidates are counted and
// selected over bitsets, which gives the very same choices as scanning the
// list in order.
class DonorSampler {
 public:
  DonorSampler(const std::vector<std::uint8_t>& same_group, int n);
  // donor[i] (0-based) receives the individual whose trait i takes.
  void assign(const std::vector<int>& visit_order, std::vector<int>& donor, RandomStream& stream);

 private:
  int n_;
  std::size_t words_;
  std::vector<std::uint64_t> lists_;  // n rows of `words_` words
  std::vector<std::uint64_t> taken_;
};

// Kernels over a block of `width` code columns for n individuals, row-major
// (codes[i * width + c]). Each has a plain counterpart with the same contract,
// used by the tests.
//
// adjust_by_group_means: for i ascending, subtracts from row i the mean over
// i's list of the current rows (sum from 0.0 in ascending member order, then
// divided by the list size). When the lists partition the individuals, the
// part of each sum over members already adjusted is the same running prefix
// for the whole group, so it is carried along instead of summed again.
void adjust_by_group_means(double* codes, int n, int width, const GroupLists& lists);
void adjust_by_group_means_plain(double* codes, int n, int width, const GroupLists& lists);
//
// permuted_sums: out[c * stride + r] = sum over i ascending of
// codes[i * width + c] * y[replicate_index(i, r, n)], from 0.0, separate
// multiply and add, for c < width and r < stride (stride a multiple of 8).
// The replicate traits lie in panels of 8 replicates, each panel row by row.
inline std::size_t replicate_index(int i, int r, int n) {
  return (static_cast<std::size_t>(r / 8) * static_cast<std::size_t>(n) + static_cast<std::size_t>(i)) * 8 +
         static_cast<std::size_t>(r % 8);
}
void permuted_sums(const double* codes, const double* y, int n, int width, int stride,
                   double* out);
void permuted_sums_plain(const double* codes, const double* y, int n, int width, int stride,
                         double* out);

// The association statistic from the five sums of products, in its fixed
// order of evaluation.
inline double association_statistic(double sum_zz, double sum_xx, double sum_xy, double sum_zy,
                                    double sum_xz) {
  return sum_zz * sum_xy * sum_xy + sum_xx * sum_zy * sum_zy - 2 * sum_xz * sum_zy * sum_xy;
}

// Runs the whole analysis. Writes the verdict block to `results` and standard
// output, and leaves each marker's empirical P-value in p_values[1..M]. Draws,
// per replicate: N for the visit order, then one per served position with a
// candidate. The result does not depend on the number of threads.
// Memory: 4 N^2 (distances) + N^2 (classification, list bitsets) bytes,
// 8 N R for the replicate traits, and per thread a block of N x 64 codes.
StructureFit run_analysis(const Parameters& parameters, const SampleData& data,
                          DoubleVector p_values, std::FILE* results, RandomStream& stream,
                          const EngineOptions& options = {});

}  // namespace strataperm
