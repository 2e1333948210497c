// The files of one shard of a run (`strataperm run ... --shard K/S`), from
// which `strataperm merge` makes exactly what the whole run writes.
//
// A shard folder DIR/shards/K-of-S/ holds
//   manifest.txt    "key<TAB>value" lines: what the shard belongs to (version,
//                   N, L, M, R, S, K, seeds, the results file's name, every
//                   input with its MD5, a checksum of the structure fit and
//                   the same-group lists, the random stream after the last
//                   replicate) and what the merged outputs need of the run (the
//                   fit, the group summary, S, the log's study lines);
//   marker_statistics.tsv  one line per marker of the shard's range, in marker order:
//                   its number, its label, and its statistics (called, copies,
//                   the sums, T_obs and the permutation P, reals as the hex of
//                   their bits, so they read back exactly, then the count c);
//   maxima.txt      for each replicate, the largest ratio over the shard's
//                   markers (hex bits), R lines;
//   similarity.tsv  the distinct similarities and their pair counts;
//   background_ids.txt, when the run chose its background loci.
// Shard K of S tests the markers [floor((K-1) M / S), floor(K M / S)).
#pragma once

#include <array>
#include <memory>
#include <span>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "analysis/association.hpp"
#include "analysis/structure_fit.hpp"
#include "analysis/within_group_permutation.hpp"
#include "core/study.hpp"
#include "io/association_table.hpp"
#include "io/output_file.hpp"
#include "io/run_log.hpp"
#include "numerics/random.hpp"

namespace strataperm {

// The range of shard `k` of `s` over `m` markers: [first, first + count).
struct MarkerRange {
  long first = 0, count = 0;
};
MarkerRange shard_range(long m, int k, int s);

struct ShardManifest {
  std::string version = STRATAPERM_VERSION;
  // The run the shard belongs to: command, choices, seeds, inputs, study
  // lines, counts and file names, fit, groups, adjustment, rule, stage times.
  RunRecord record;
  int shards = 0, shard = 0;
  MarkerRange range;
  double sum_y2 = 0.0;        // S
  int distinct_lists = 1;     // G
  RandomStream stream_after;  // the stream after the last replicate
  std::int64_t replicates_drawn = 0;  // adaptive runs: the largest NP of the shard
  std::string structure_checksum;
};

// The name of shard k of s: "K-of-S".
std::string shard_name(int k, int s);
// Whether `name` is the name of a shard (exactly as shard_name writes it,
// 1 <= K <= S); sets k and s.
bool parse_shard_name(const std::string& name, int& k, int& s);

// A checksum of what the structure stage decided (fit, decisions, group
// summary, similarity counts), the same in every shard of one run.
std::string structure_checksum(const StructureFit& fit, const GroupSummary& groups,
                               const std::vector<std::pair<double, std::int64_t>>& similarity);

// Writes one shard's folder (through OutputFile, the manifest last). Throws
// OutputError.
class ShardWriter {
 public:
  ShardWriter(std::string folder, const ShardManifest& manifest);
  // The next markers' statistics and labels (`labels` may be empty), in
  // order; `np`, in adaptive runs, their replicates.
  void add(long first, std::span<const MarkerStatistics> markers, const MarkerLabels& labels,
           const std::int64_t* np = nullptr);
  // Everything else; writes the manifest last, so that a shard without one
  // is unfinished.
  void finish(const ShardManifest& manifest, const std::vector<double>& replicate_maxima,
              const std::vector<std::pair<double, std::int64_t>>& similarity,
              const std::vector<std::string>& background_ids);

 private:
  std::string folder_;
  std::unique_ptr<OutputFile> markers_;
};

// One shard as read back.
struct Shard {
  std::string folder;
  ShardManifest manifest;
  std::vector<MarkerStatistics> markers;
  std::vector<MarkerLabel> labels;
  std::vector<std::int64_t> np;  // adaptive runs
  std::vector<double> replicate_maxima;
  std::vector<std::pair<double, std::int64_t>> similarity;
  std::vector<std::string> background_ids;
  bool has_background_ids = false;
};

// Reads the shard folder; throws InputError naming the file and line.
Shard read_shard(const std::string& folder);

}  // namespace strataperm
