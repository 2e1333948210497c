#include "commands/merge_command.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "commands/options.hpp"
#include "commands/run_report.hpp"
#include "core/errors.hpp"
#include "io/output_file.hpp"
#include "io/results_file.hpp"
#include "io/shard_files.hpp"

namespace strataperm {

namespace {

namespace fs = std::filesystem;

const char* const kCommand = "strataperm merge";

const std::vector<OptionSpec> kMergeOptions = {
    {"--progress", false, "", "report progress on standard error"},
    {"--help", false, "", "show this help"},
};

// The shards of DIR/shards, checked to be all there and of one run.
std::vector<Shard> read_shards(const std::string& folder) {
  const fs::path shards_folder = fs::path(folder) / "shards";
  std::error_code error;
  if (!fs::is_directory(shards_folder, error)) {
    throw InputError(shards_folder.string() + ": no such folder; run 'strataperm run ... --shard K/S' "
                     "for each shard first");
  }
  std::map<int, std::map<int, std::string>> by_count;  // S -> K -> folder
  for (const auto& entry : fs::directory_iterator(shards_folder)) {
    const std::string name = entry.path().filename().string();
    int k = 0, s = 0;
    if (parse_shard_name(name, k, s)) {
      by_count[s][k] = entry.path().string();
    }
  }
  if (by_count.empty()) {
    throw InputError(shards_folder.string() + ": holds no shard folder K-of-S");
  }
  if (by_count.size() > 1) {
    std::string counts;
    for (const auto& [s, shards] : by_count) counts += (counts.empty() ? "" : ", ") + std::to_string(s);
    throw InputError(shards_folder.string() + ": holds shards of runs split " + counts +
                     " ways; keep the shards of one run only");
  }
  const int s = by_count.begin()->first;
  const std::map<int, std::string>& folders = by_count.begin()->second;
  for (int k = 1; k <= s; ++k) {
    if (folders.count(k) == 0) {
      throw InputError((shards_folder / shard_name(k, s)).string() + " is missing: run the same "
                       "command with --shard " + std::to_string(k) + "/" + std::to_string(s));
    }
    if (!fs::exists(fs::path(folders.at(k)) / "manifest.txt")) {
      throw InputError(folders.at(k) + " is unfinished (it has no manifest.txt): run its shard again");
    }
  }
  std::vector<Shard> shards;
  for (int k = 1; k <= s; ++k) shards.push_back(read_shard(folders.at(k)));

  // One run: the same study, choices, inputs, draws and structure fit.
  const ShardManifest& first = shards[0].manifest;
  for (const Shard& shard : shards) {
    const ShardManifest& m = shard.manifest;
    const RunRecord& run = m.record;
    const RunRecord& first_run = first.record;
    const auto differs = [&](const std::string& what) {
      throw InputError(shard.folder + ": belongs to another run than " + shards[0].folder + " (" +
                       what + " differ)");
    };
    if (m.version != first.version) differs("the program versions");
    const Parameters& p = run.parameters;
    const Parameters& first_p = first_run.parameters;
    if (p.n_individuals != first_p.n_individuals || p.n_loci != first_p.n_loci ||
        p.n_markers != first_p.n_markers || p.n_permutations != first_p.n_permutations)
      differs("the counts N, L, M, R");
    if (m.shards != s || m.shard != static_cast<int>(&shard - &shards[0]) + 1)
      differs("the shard numbers");
    if (run.seeds != first_run.seeds) differs("the seeds");
    if (run.choices != first_run.choices) differs("the choices of the study");
    if (p.output_file != first_p.output_file) differs("the results file names");
    if (run.inputs != first_run.inputs) differs("the inputs or their checksums");
    if (m.structure_checksum != first.structure_checksum) differs("the structure fits");
    if (std::memcmp(&m.sum_y2, &first.sum_y2, sizeof m.sum_y2) != 0) differs("the traits");
    if (run.rule.has_value() != first_run.rule.has_value() ||
        (run.rule && describe_rule(*run.rule) != describe_rule(*first_run.rule)))
      differs("the adaptive rules");
    // A fixed run's shards all draw the R replicates; an adaptive run's
    // shards each stop after their own last replicate.
    if (!run.rule &&
        (m.stream_after.s1 != first.stream_after.s1 || m.stream_after.s2 != first.stream_after.s2 ||
         m.stream_after.s3 != first.stream_after.s3 || m.stream_after.draws != first.stream_after.draws))
      differs("the replicate draws");
    const MarkerRange expected = shard_range(p.n_markers, m.shard, s);
    if (m.range.first != expected.first || m.range.count != expected.count)
      differs("the marker ranges");
  }
  return shards;
}

}  // namespace

int run_merge(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args, kMergeOptions, kCommand);
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm merge [options] DIR\n\n"
        "Merges the shards DIR/shards/K-of-S/ that 'strataperm run ... --shard K/S' wrote\n"
        "into exactly what the whole run writes: the console report, the results file\n"
        "(its final sort goes on drawing where the last replicate left the stream),\n"
        "RESULTS.tsv, RESULTS.similarity.tsv, RESULTS.log and, for PLINK/VCF input,\n"
        "background_ids.txt, in DIR. All S shards must be there and of one run; otherwise\n"
        "nothing is written. Shards run with --compress give RESULTS.tsv.gz (and its\n"
        "tabix index RESULTS.tsv.gz.tbi when the markers are in genome order), as the\n"
        "whole run with --compress does.\n\noptions:\n%s",
        describe_options(kMergeOptions).c_str());
    return 0;
  }
  if (parsed.positional.size() != 1)
    throw UsageError(std::string("'") + kCommand + "' takes one folder (see '" + kCommand + " --help')");
  const std::string folder = parsed.positional[0];
  check_study_folder(folder);
  const std::vector<Shard> shards = read_shards(folder);
  const ShardManifest& first = shards[0].manifest;

  RunOptions options;
  options.folder = folder;
  options.progress = parsed.has("--progress");
  options.extras = true;
  options.command_line = shell_words({"strataperm", "merge", folder});
  StudyRun run(options);
  // The run's record, as the shards carry it, but for the command, the start
  // and the stage times, which are the merge's own.
  {
    const RunRecord merge = run.record;
    run.record = first.record;
    run.record.command_line = merge.command_line;
    run.record.started = merge.started;
    run.record.stage_seconds.clear();
  }
  const Parameters& parameters = run.parameters = first.record.parameters;
  // The stream after the run's last replicate: that of the shard that went
  // furthest (an adaptive run's shards stop at different replicates).
  const ShardManifest* furthest = &first;
  for (const Shard& shard : shards)
    if (shard.manifest.replicates_drawn > furthest->replicates_drawn) furthest = &shard.manifest;
  run.stream = furthest->stream_after;
  for (const Shard& shard : shards)
    run.record.study_lines.push_back("shard " + shard.folder + ": " + shard.manifest.record.command_line);
  run.background_ids = shards[0].background_ids;

  // Nothing the merge writes may replace an input of the run.
  {
    ProtectedInputs inputs;
    for (const auto& [path, md5] : run.record.inputs) inputs.add(path);
    for (const char* suffix : {"", ".tsv", ".tsv.gz", ".tsv.gz.tbi", ".log", ".similarity.tsv"}) {
      inputs.check(path_in_study(folder, *suffix ? extras_path(parameters.output_file, suffix)
                                                 : parameters.output_file));
    }
    inputs.check(path_in_study(folder, "background_ids.txt"));
  }
  check_results_file(folder, parameters.output_file);

  AnalysisResult result;
  result.fit = first.record.fit;
  result.groups = first.record.groups;
  result.sum_y2 = first.sum_y2;
  result.adjustment = first.record.adjustment;
  result.distinct_lists = first.distinct_lists;
  result.covariate_count = static_cast<int>(first.record.covariates.size());
  result.model_rank = first.record.model_rank;
  result.similarity_counts = shards[0].similarity;
  result.replicate_maxima = shards[0].replicate_maxima;
  for (const Shard& shard : shards) {
    for (std::size_t rep = 0; rep < result.replicate_maxima.size(); ++rep)
      result.replicate_maxima[rep] = std::max(result.replicate_maxima[rep], shard.replicate_maxima[rep]);
    for (const MarkerStatistics& marker : shard.markers) {
      result.p_values.push_back(marker.p_value);
      result.exceed.push_back(marker.exceed);
    }
    result.replicates_used.insert(result.replicates_used.end(), shard.np.begin(), shard.np.end());
  }
  result.replicates_drawn = furthest->replicates_drawn;

  warn_if_inseparable(result.fit);
  print_verdict_block(result.fit);
  // Compressed when the shards' run was (--compress): the manifests carry it.
  AssociationTable table(path_in_study(folder, extras_path(parameters.output_file, ".tsv")),
                         first.record.compressed_table);
  for (const Shard& shard : shards) table.add(shard.markers);
  const MarkerLabels labels = [&shards](long marker) {
    for (const Shard& shard : shards) {
      const long k = marker - 1 - shard.manifest.range.first;
      if (k >= 0 && k < shard.manifest.range.count) {
        MarkerLabel label = shard.labels[static_cast<std::size_t>(k)];
        if (label.id == ".") label.id.clear();  // numbered by the table
        return label;
      }
    }
    return MarkerLabel();
  };
  report_results(run, result, &table, labels, true);
  return 0;
}

}  // namespace strataperm
