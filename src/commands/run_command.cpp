#include "commands/run_command.hpp"

#include <unistd.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "study/streamed_markers.hpp"
#include "commands/study_choice_options.hpp"
#include "study/study_choices.hpp"
#include "study/study_plan.hpp"
#include "commands/options.hpp"
#include "core/errors.hpp"
#include "core/progress.hpp"
#include "core/parallel.hpp"
#include "io/association_table.hpp"
#include "io/checksum.hpp"
#include "io/cluster_file.hpp"
#include "io/output_file.hpp"
#include "io/shard_files.hpp"
#include "io/marker_table.hpp"
#include "io/results_writer.hpp"
#include "io/study_reader.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

namespace {

const char* const kCommand = "strataperm run";

const std::vector<OptionSpec> kRunOptions = {
    {"--threads", true, "N", "threads for the analysis (default: all cores; results do not depend on it)"},
    {"--progress", false, "", "report progress on standard error even when it is not a terminal"},
    {"--seed", true, "A,B,C",
     "the random generator's three seeds (default 3,1,1, the method's own)"},
    {"--out", true, "DIR",
     "the folder for the results (created when missing; with --bfile or --vcf it is needed, "
     "with a study folder the default is the study folder)"},
    {"--shard", true, "K/S",
     "only the K-th of S near-equal ranges of markers, into DIR/shards/K-of-S for "
     "'strataperm merge DIR'"},
    {"--adaptive", false, "",
     "adaptive permutation: each marker takes replicates until its P is clearly above alpha "
     "(see --adaptive-rule), at most --max-permutations"},
    {"--max-permutations", true, "N", "with --adaptive: replicates at most (default 1000000)"},
    {"--adaptive-rule", true, "MIN,ALPHA,BETA,INIT,SLOPE",
     "with --adaptive: first check after MIN replicates, stop when p +- z(1 - BETA/(2M)) sd "
     "excludes ALPHA, next check floor(SLOPE p + INIT) later (default 6,0,1e-4,1,0.001; the five "
     "may also follow as separate words)"},
    {"--adjustment", true, "means|sequential",
     "how the genotype codes are adjusted by group means: 'means' (default) subtracts each "
     "group's mean of the unadjusted codes, valid whatever the files' order and the groups' "
     "trait means; 'sequential' adjusts row by row in place, as first defined, to reproduce "
     "earlier results digit for digit"},
    {"--within", true, "FILE",
     "user-given groups in place of the structure test's: a cluster file, FID IID CLUSTER a "
     "line (IID CLUSTER for VCF input; for a study folder without individuals.tsv, one "
     "CLUSTER a line in the individuals' order)"},
    {"--chunk-replicates", true, "C",
     "replicates drawn and tested at a time (default: what fits 256 MiB; results do not "
     "depend on it)"},
    {"--help", false, "", "show this help"},
};

// The run options and the study choices, for the help and the parser.
std::vector<OptionSpec> run_options() {
  std::vector<OptionSpec> options = kRunOptions;
  options.insert(options.end() - 1, study_choice_options().begin(), study_choice_options().end());
  return options;
}

// Parses --seed A,B,C: each a whole number from 1 to below its generator's
// modulus (30269, 30307, 30323).
std::array<int, 3> parse_seeds(const std::string& text) {
  const std::string usage = "option '--seed' needs three whole numbers A,B,C with 1 <= A <= 30268, "
                            "1 <= B <= 30306 and 1 <= C <= 30322, not '" + text + "'";
  std::array<int, 3> seeds{};
  const int limits[3] = {30268, 30306, 30322};
  std::size_t start = 0;
  for (int k = 0; k < 3; ++k) {
    const std::size_t comma = k < 2 ? text.find(',', start) : text.size();
    if (comma == std::string::npos) throw UsageError(usage);
    const std::string part = text.substr(start, comma - start);
    if (!is_whole_number(part) || part.size() > 6) throw UsageError(usage);
    seeds[static_cast<std::size_t>(k)] = std::stoi(part);
    if (seeds[static_cast<std::size_t>(k)] < 1 || seeds[static_cast<std::size_t>(k)] > limits[k])
      throw UsageError(usage);
    start = comma + 1;
  }
  return seeds;
}

// Parses --shard K/S: 1 <= K <= S.
void parse_shard(const std::string& text, int& shard, int& shards) {
  const std::string usage =
      "option '--shard' needs K/S, the K-th of S shards, with 1 <= K <= S, not '" + text + "'";
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) throw UsageError(usage);
  const std::string k = text.substr(0, slash), s = text.substr(slash + 1);
  if (!is_whole_number(k) || !is_whole_number(s) || k.size() > 6 || s.size() > 6) throw UsageError(usage);
  shard = std::stoi(k);
  shards = std::stoi(s);
  if (shard < 1 || shard > shards) throw UsageError(usage);
}

// Parses --adaptive-rule MIN,ALPHA,BETA,INIT,SLOPE into `rule`.
void parse_adaptive_rule(const std::string& text, AdaptiveRule& rule) {
  const std::string usage = "option '--adaptive-rule' needs MIN,ALPHA,BETA,INIT,SLOPE (a whole "
                            "MIN >= 1, 0 <= ALPHA < 1, 0 < BETA < 1, INIT >= 0, SLOPE >= 0, "
                            "INIT + SLOPE > 0), not '" + text + "'";
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 5 || !is_whole_number(parts[0]) || parts[0].size() > 9) throw UsageError(usage);
  double values[4];
  for (int k = 0; k < 4; ++k) {
    char* end = nullptr;
    values[k] = std::strtod(parts[static_cast<std::size_t>(k + 1)].c_str(), &end);
    if (parts[static_cast<std::size_t>(k + 1)].empty() || *end != '\0' || !std::isfinite(values[k]))
      throw UsageError(usage);
  }
  rule.min = std::stoll(parts[0]);
  rule.alpha = values[0];
  rule.beta = values[1];
  rule.init = values[2];
  rule.slope = values[3];
  if (rule.min < 1 || !(rule.alpha >= 0.0 && rule.alpha < 1.0) || !(rule.beta > 0.0 && rule.beta < 1.0) ||
      rule.init < 0.0 || rule.slope < 0.0 || !(rule.init + rule.slope > 0.0))
    throw UsageError(usage);
}

std::string describe_rule(const AdaptiveRule& rule) {
  char text[160];
  std::snprintf(text, sizeof text, "min %lld, alpha %g, beta %g, init %g, slope %g, at most %lld",
                static_cast<long long>(rule.min), rule.alpha, rule.beta, rule.init, rule.slope,
                static_cast<long long>(rule.max));
  return text;
}

std::string seeds_text(const std::array<int, 3>& seeds) {
  return std::to_string(seeds[0]) + "," + std::to_string(seeds[1]) + "," + std::to_string(seeds[2]);
}

// The files a study folder's run reads, with their checksums, for the log.
void log_study_folder_inputs(StudyRun& run, const std::string& study) {
  const Parameters& p = run.parameters;
  for (const std::string& name : {std::string("parameter.txt"), p.genotype_file, p.marker_file,
                                  std::string("markers.tsv")}) {
    const std::string path = path_in_study(study, name);
    if (::access(path.c_str(), F_OK) == 0) run.log.inputs.emplace_back(path, md5_of_file(path));
  }
  if (::access(path_in_study(study, "background_ids.txt").c_str(), F_OK) == 0)
    run.log.background_ids_file = path_in_study(study, "background_ids.txt");
}

// The two run-long result vectors, released when the run ends whichever way
// it returns.
struct ResultArrays {
  int n_markers = 0;
  IntVector marker_ids;
  DoubleVector p_values;

  explicit ResultArrays(int m) : n_markers(m), marker_ids(ivector(1, m)), p_values(dvector(1, m)) {}
  ResultArrays(const ResultArrays&) = delete;
  ResultArrays& operator=(const ResultArrays&) = delete;
  ~ResultArrays() {
    free_dvector(p_values, 1, n_markers);
    free_ivector(marker_ids, 1, n_markers);
  }
};

// The labels of the markers from markers.tsv beside the study, when it is
// usable; a malformed one is a warning.
MarkerLabels marker_labels_of(const std::string& folder, int n_markers) {
  std::optional<std::vector<MarkerInfo>> table = usable_marker_table(folder, n_markers, "");
  if (!table) return {};
  auto info = std::make_shared<std::vector<MarkerInfo>>(std::move(*table));
  return [info](long marker) {
    const MarkerInfo& m = (*info)[static_cast<std::size_t>(marker - 1)];
    return MarkerLabel{m.chromosome, m.position, m.id, m.allele2, m.allele1};
  };
}

}  // namespace

StudyRun::StudyRun(const RunOptions& options)
    : folder(options.out_folder.empty() ? options.folder : options.out_folder),
      progress(options.progress, options.progress_in_place) {
  seed_random_stream(stream);
  stream.s1 = options.seeds[0];
  stream.s2 = options.seeds[1];
  stream.s3 = options.seeds[2];
  log.started = utc_now();
  log.command_line = options.command_line;
  log.seeds = seeds_text(options.seeds);
  log.groups_from = options.within_file;
  if (options.adaptive) {
    max_permutations = options.adaptive->max;
    rule_text = describe_rule(*options.adaptive);
  }
}

// The names the run writes: the results file, and with the extras the files
// named after it.
std::vector<std::string> run_outputs(const std::string& folder, const std::string& results_file,
                                     bool extras) {
  std::vector<std::string> outputs = {path_in_study(folder, results_file)};
  if (extras)
    for (const char* suffix : {".tsv", ".log", ".similarity.tsv"})
      outputs.push_back(path_in_study(folder, extras_path(results_file, suffix)));
  return outputs;
}

namespace {

// --within: the groups of the study's individuals from the cluster file, its
// checksum in the log.
void read_within_groups(StudyRun& run, const RunOptions& options, ClusterMatch match,
                        const std::vector<IndividualKey>& study,
                        const std::vector<IndividualKey>& left_out, bool unknown_passed_over) {
  if (options.within_file.empty()) return;
  Clusters clusters =
      read_clusters(options.within_file, match, study, left_out, unknown_passed_over);
  if (clusters.passed_over > 0) {
    warn(options.within_file + ": " + std::to_string(clusters.passed_over) + " line" +
         (clusters.passed_over == 1 ? "" : "s") + " naming no individual of the study passed over, " +
         "the first on " + clusters.first_passed_over);
  }
  run.clusters = std::move(clusters.of);
  run.log.inputs.emplace_back(options.within_file, md5_of_file(options.within_file));
}

}  // namespace

int run_study(const RunOptions& options, AnalysisEngine engine) {
  StudyRun run(options);
  run.progress.stage("reading the study");
  read_parameters(options.folder, run.parameters, run.data);
  run.clock.lap("read");
  {
    ProtectedInputs inputs;
    for (const std::string& name : {std::string("parameter.txt"), run.parameters.genotype_file,
                                    run.parameters.marker_file, std::string("markers.tsv"),
                                    std::string("background_ids.txt")})
      inputs.add(path_in_study(options.folder, name));
    if (!options.within_file.empty()) inputs.add(options.within_file);
    for (const std::string& output :
         run_outputs(run.folder, run.parameters.output_file, options.extras))
      inputs.check(output);
  }
  if (options.extras) log_study_folder_inputs(run, options.folder);
  if (!options.within_file.empty()) {
    // Ids from the study's individuals.tsv when it has one, else the order.
    const std::string table = path_in_study(options.folder, "individuals.tsv");
    std::vector<IndividualKey> study;
    ClusterMatch match = ClusterMatch::order;
    if (::access(table.c_str(), F_OK) == 0) {
      study = read_individual_table(table);
      if (static_cast<long>(study.size()) != run.parameters.n_individuals) {
        throw InputError(table + ": lists " + std::to_string(study.size()) +
                         " individuals, the study has " +
                         std::to_string(run.parameters.n_individuals));
      }
      match = ClusterMatch::family_and_individual;
    } else {
      study.resize(static_cast<std::size_t>(run.parameters.n_individuals));
    }
    read_within_groups(run, options, match, study, {}, match != ClusterMatch::order);
  }
  if (run.folder != options.folder) {
    std::error_code error;
    std::filesystem::create_directories(run.folder, error);
    if (error) throw OutputError(run.folder + ": cannot create the folder: " + error.message());
  }
  InMemoryMarkers markers(run.data, run.parameters.n_individuals, run.parameters.n_markers);
  const MarkerLabels labels = options.extras || options.shards > 0
                                  ? marker_labels_of(options.folder, run.parameters.n_markers)
                                  : MarkerLabels();
  return analyse_and_report(run, markers, labels, options, engine);
}

namespace {

// The options of the engine for this run: threads, chunks, clock, progress,
// and the first estimates of the counted stages on this kind of machine (the
// replicates' draws, the markers' multiply-adds on all threads) for the time
// left of the whole run until each stage shows its own pace.
AnalysisOptions engine_options(StudyRun& run, const RunOptions& options, long markers) {
  const double n = run.parameters.n_individuals, mk = static_cast<double>(markers),
               r = run.parameters.n_permutations;
  run.progress.expect("replicate", 4e-8 * n * r);
  run.progress.expect("marker", (2.0 * n * mk * r + 0.5 * n * n * mk / 64.0) /
                                    (4e9 * thread_count(options.threads)));
  AnalysisOptions analysis;
  analysis.adjustment = options.adjustment;
  analysis.clusters = run.clusters;
  analysis.threads = options.threads;
  analysis.chunk_replicates = options.chunk_replicates;
  analysis.clock = &run.clock;
  analysis.progress = &run.progress;
  if (options.adaptive) analysis.adaptive = &*options.adaptive;
  return analysis;
}

void warn_if_inseparable(const StructureFit& fit) {
  if (!fit.separated) {
    warn("the background loci separate no two individuals (every pairwise distance is 0); the "
         "sample is treated as one group");
  }
}

// `--shard K/S`: the whole run's draws, the shard's markers, its folder.
int analyse_shard(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                  const RunOptions& options, AnalysisEngine engine) {
  const Parameters& parameters = run.parameters;
  const MarkerRange range = shard_range(parameters.n_markers, options.shard, options.shards);
  ShardManifest manifest;
  manifest.n = parameters.n_individuals;
  manifest.l = parameters.n_loci;
  manifest.m = parameters.n_markers;
  manifest.r = parameters.n_permutations;
  manifest.shards = options.shards;
  manifest.shard = options.shard;
  manifest.range = range;
  manifest.seeds = run.log.seeds;
  manifest.results_file = parameters.output_file;
  manifest.genotype_file = parameters.genotype_file;
  manifest.marker_file = parameters.marker_file;
  manifest.command_line = options.command_line;
  manifest.choices = options.choices;
  manifest.inputs = run.log.inputs;
  manifest.study_lines = run.log.study_lines;
  const std::string folder =
      path_in_study(run.folder, "shards/" + shard_name(options.shard, options.shards));
  ShardWriter writer(folder, manifest);

  run.progress.stage("similarity, structure test and permutation test of shard " +
                     shard_name(options.shard, options.shards) + " (markers " +
                     std::to_string(range.first + 1) + " to " +
                     std::to_string(range.first + range.count) + ")");
  AnalysisOptions analysis = engine_options(run, options, range.count);
  analysis.first_marker = range.first;
  analysis.marker_count = range.count;
  analysis.on_structure = warn_if_inseparable;
  // An adaptive run knows each marker's P only at the end: its rows wait.
  std::vector<MarkerStatistics> waiting;
  analysis.on_markers = [&](long first, std::span<const MarkerStatistics> block) {
    if (options.adaptive) {
      waiting.insert(waiting.end(), block.begin(), block.end());
    } else {
      writer.add(first, block, labels);
    }
  };
  const AnalysisResult result = engine(parameters, run.data, markers, run.stream, analysis);
  run.data = SampleData();
  if (options.adaptive) {
    for (std::size_t k = 0; k < waiting.size(); ++k) {
      waiting[k].p_value = result.p_values[k];
      waiting[k].exceed = result.exceed[k];
    }
    writer.add(range.first, waiting, labels, result.replicates_used.data());
    manifest.adaptive = run.rule_text;
    manifest.replicates_drawn = result.replicates_drawn;
  }
  manifest.fit = result.fit;
  manifest.groups = result.groups;
  manifest.sum_y2 = result.sum_y2;
  manifest.adjustment = result.adjustment;
  manifest.distinct_lists = result.distinct_lists;
  manifest.groups_from = options.within_file;
  manifest.stream_after = run.stream;
  manifest.structure_checksum =
      structure_checksum(result.fit, result.groups, result.similarity_counts);
  run.clock.lap("report");
  manifest.stage_seconds = run.clock.laps();
  writer.finish(manifest, result.replicate_maxima, result.similarity_counts, run.background_ids);
  run.progress.stage("done: " + folder);
  return 0;
}

}  // namespace

void report_results(StudyRun& run, const AnalysisResult& result, AssociationTable* table,
                    const MarkerLabels& labels, bool extras) {
  const Parameters& parameters = run.parameters;
  const int m = parameters.n_markers;
  ResultArrays arrays(m);
  for (int i = 1; i <= m; ++i) {
    arrays.marker_ids[i] = i;
    arrays.p_values[i] = result.p_values[static_cast<std::size_t>(i - 1)];
  }
  run.progress.stage("sorting and writing the results");
  print_marker_p_values(arrays.p_values, m);
  sort_with_index(arrays.p_values, arrays.marker_ids, m, run.stream);
  run.clock.lap("sort");
  std::fflush(stdout);
  write_results_file(run.folder, parameters.output_file, result.fit, arrays.marker_ids,
                     arrays.p_values, m);
  if (table != nullptr) {
    const TableModel model = table_model(result.adjustment, parameters.n_individuals,
                                         result.sum_y2, result.distinct_lists);
    if (!result.replicates_used.empty()) {
      table->write_adaptive(model, run.max_permutations, result.p_values, result.exceed,
                            result.replicates_used, labels);
    } else {
      table->write(model, parameters.n_permutations, result.replicate_maxima, labels);
    }
  }
  run.clock.lap("report");
  if (extras) {
    if (!run.background_ids.empty()) {
      const std::string list = path_in_study(run.folder, "background_ids.txt");
      OutputFile file(list);
      std::fprintf(file.stream(),
                   "# the %zu background loci of this study, in genome order: a list for "
                   "--background-ids\n",
                   run.background_ids.size());
      for (const std::string& id : run.background_ids) std::fprintf(file.stream(), "%s\n", id.c_str());
      file.commit();
      run.log.background_ids_file = list;
    }
    RunLog& log = run.log;
    if (!result.replicates_used.empty()) {
      // The rule, and how many replicates the markers took.
      std::vector<std::int64_t> np = result.replicates_used;
      std::sort(np.begin(), np.end());
      const auto at = [&np](double q) {
        return np[static_cast<std::size_t>(q * static_cast<double>(np.size() - 1) + 0.5)];
      };
      log.study_lines.push_back("adaptive permutation: " + run.rule_text);
      log.study_lines.push_back(
          "replicates per marker (NP): min " + std::to_string(np.front()) + ", quartiles " +
          std::to_string(at(0.25)) + " " + std::to_string(at(0.5)) + " " + std::to_string(at(0.75)) +
          ", max " + std::to_string(np.back()) + "; " + std::to_string(result.replicates_drawn) +
          " replicates drawn");
    }
    log.finished = utc_now();
    log.threads = result.threads;
    log.parameters = parameters;
    log.fit = result.fit;
    log.groups = result.groups;
    log.adjustment = adjustment_name(result.adjustment);
    if (log.stage_seconds.empty()) log.stage_seconds = run.clock.laps();
    write_similarity_table(
        path_in_study(run.folder, extras_path(parameters.output_file, ".similarity.tsv")),
        result.similarity_counts);
    write_run_log(path_in_study(run.folder, extras_path(parameters.output_file, ".log")), log);
  }
  run.progress.stage("done");
}

int analyse_and_report(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                       const RunOptions& options, AnalysisEngine engine) {
  if (options.shards > 0) return analyse_shard(run, markers, labels, options, engine);
  const Parameters& parameters = run.parameters;
  check_results_file(run.folder, parameters.output_file);
  std::unique_ptr<AssociationTable> table;
  if (options.extras) {
    table = std::make_unique<AssociationTable>(
        path_in_study(run.folder, extras_path(parameters.output_file, ".tsv")));
  }
  run.progress.stage("similarity, structure test and permutation test");
  AnalysisOptions analysis = engine_options(run, options, parameters.n_markers);
  analysis.on_structure = [](const StructureFit& fit) {
    warn_if_inseparable(fit);
    print_verdict_block(fit);
  };
  if (table) {
    analysis.on_markers = [&table](long, std::span<const MarkerStatistics> block) {
      table->add(block);
    };
  }
  const AnalysisResult result = engine(parameters, run.data, markers, run.stream, analysis);
  run.data = SampleData();
  report_results(run, result, table.get(), labels, options.extras);
  return 0;
}

namespace {

// `run --bfile/--vcf`: the study made by the choices, streamed.
int run_genotype_study(const StudyChoices& choices, const RunOptions& options,
                       AnalysisEngine engine) {
  std::error_code error;
  std::filesystem::create_directories(options.folder, error);
  if (error) throw OutputError(options.folder + ": cannot create the folder: " + error.message());
  StudyRun run(options);
  run.progress.expect("SNP read", 0.0);
  const StudyPlan plan = plan_study(choices, run.progress);
  warn_about_choices(plan);
  Parameters& parameters = run.parameters;
  parameters.genotype_file = plan.input->path;
  parameters.marker_file = plan.input->path;
  parameters.output_file = "results.txt";
  parameters.n_permutations = choices.permutations;
  parameters.n_loci = static_cast<int>(plan.choice.background.size());
  parameters.n_markers = static_cast<int>(plan.choice.markers.size());
  parameters.n_individuals = static_cast<int>(plan.n());
  const std::vector<std::int8_t> background = read_calls(plan, plan.choice.background, run.progress);
  run.data.locus_count = LocusCounts();
  run.data.locus_count.bytes.reserve(background.size());
  for (std::int8_t call : background) {
    if (call == kMissingCall) throw InputError(plan.input->path + ": the file changed while it was read");
    run.data.locus_count.bytes.push_back(static_cast<std::uint8_t>(call));
  }
  run.data.trait = plan.kept.trait;
  run.clock.lap("read");
  {
    ProtectedInputs inputs;
    for (const std::string& path : plan_inputs(plan)) inputs.add(path);
    if (!options.within_file.empty()) inputs.add(options.within_file);
    std::vector<std::string> outputs = run_outputs(options.folder, "results.txt", options.extras);
    outputs.push_back(path_in_study(options.folder, "background_ids.txt"));
    for (const std::string& output : outputs) inputs.check(output);
  }

  // What the log records of the study, and the background list beside it.
  for (const std::string& path : plan_inputs(plan)) run.log.inputs.emplace_back(path, md5_of_file(path));
  {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* summary = ::open_memstream(&text, &size);
    if (summary != nullptr) {
      std::fprintf(summary, "from %s\n", plan.input->description.c_str());
      print_plan_summary(summary, plan);
      std::fclose(summary);
      std::string lines(text, size);
      std::free(text);
      for (std::size_t start = 0; start < lines.size();) {
        const std::size_t end = lines.find('\n', start);
        run.log.study_lines.push_back(lines.substr(start, end - start));
        start = end == std::string::npos ? lines.size() : end + 1;
      }
    }
  }
  run.background_ids = background_ids(plan);
  {
    std::vector<IndividualKey> study, left_out;
    std::vector<char> kept(plan.input->samples.size(), 0);
    for (std::size_t r = 0; r < plan.n(); ++r) {
      const GenotypedSample& sample = plan.input->samples[plan.kept.sample_index[r]];
      study.push_back(IndividualKey{plan.kept.family_id[r], sample.individual_id});
      kept[plan.kept.sample_index[r]] = 1;
    }
    for (std::size_t k = 0; k < kept.size(); ++k)
      if (!kept[k])
        left_out.push_back(IndividualKey{plan.input->samples[k].family_id,
                                         plan.input->samples[k].individual_id});
    read_within_groups(run, options, plan.input->is_vcf ? ClusterMatch::individual
                                                        : ClusterMatch::family_and_individual,
                       study, left_out, false);
  }

  StreamedMarkers markers(plan);
  const MarkerLabels labels = [&plan](long marker) {
    const std::size_t v = plan.choice.markers[static_cast<std::size_t>(marker - 1)];
    return MarkerLabel{plan.variants().chromosome(v), std::to_string(plan.variants().position(v)),
                       std::string(plan.variants().id(v)), std::string(plan.variants().allele2(v)),
                       std::string(plan.variants().allele1(v))};
  };
  return analyse_and_report(run, markers, labels, options, engine);
}

}  // namespace

int run_subcommand(const std::vector<std::string>& given, AnalysisEngine engine) {
  // "--adaptive-rule MIN ALPHA BETA INIT SLOPE" as five words, as plink
  // takes it, is the same as one word of the five joined by commas.
  std::vector<std::string> args;
  for (std::size_t k = 0; k < given.size(); ++k) {
    args.push_back(given[k]);
    if (given[k] == "--adaptive-rule" && k + 5 < given.size()) {
      bool words = true;
      for (std::size_t w = 1; words && w <= 5; ++w)
        words = k + w < given.size() && !given[k + w].empty() && given[k + w].rfind("--", 0) != 0 &&
                given[k + w].find(',') == std::string::npos;
      if (words) {
        args.push_back(given[k + 1] + "," + given[k + 2] + "," + given[k + 3] + "," + given[k + 4] +
                       "," + given[k + 5]);
        k += 5;
      }
    }
  }
  const std::vector<OptionSpec> option_table = run_options();
  const ParsedArguments parsed = parse_arguments(args, option_table, kCommand);
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm run [options] [STUDY_DIR]\n"
        "       strataperm run (--bfile PREFIX | --vcf FILE) [--pheno FILE] --out DIR [options]\n\n"
        "Runs the analysis of the study in STUDY_DIR (default: the current folder), which\n"
        "holds parameter.txt and the files it names, or of the study that PLINK binary\n"
        "files or a VCF/BCF file make with the choices of 'strataperm import' (its help\n"
        "describes them), read straight from those files, with the results in DIR.\n"
        "Standard output and the results file are those of a plain 'strataperm' run on\n"
        "that study. Beside the results file RESULTS (results.txt unless parameter.txt\n"
        "names another) it also writes RESULTS.tsv, with the extension replaced: one line\n"
        "per marker with its effect sizes, F test, asymptotic P, permutation P (EMP1)\n"
        "and family-wise P (EMP2); and RESULTS.log: the command, seeds, input checksums,\n"
        "times, counts, fitted models, group sizes and time per stage. With --bfile or\n"
        "--vcf, DIR/background_ids.txt lists the background loci chosen.\n\n"
        "With --shard K/S the run draws all R replicates but tests only the K-th of S\n"
        "contiguous ranges of markers and writes what 'strataperm merge DIR' needs to\n"
        "DIR/shards/K-of-S/ (DIR: --out, or the study folder); merge then writes exactly\n"
        "what the whole run writes.\n\n"
        "options:\n%s",
        describe_options(option_table).c_str());
    return 0;
  }
  RunOptions options;
  options.extras = true;
  options.progress_in_place = ::isatty(2) != 0;
  options.progress = parsed.has("--progress") || options.progress_in_place;
  options.threads = threads_option(parsed);
  if (parsed.has("--chunk-replicates")) {
    options.chunk_replicates =
        parse_count_option("--chunk-replicates", parsed.value("--chunk-replicates"), 1, 1 << 24);
  }
  if (parsed.has("--seed")) options.seeds = parse_seeds(parsed.value("--seed"));
  if (parsed.has("--adjustment")) {
    const std::string& adjustment = parsed.value("--adjustment");
    if (adjustment == "means") {
      options.adjustment = Adjustment::means;
    } else if (adjustment == "sequential") {
      options.adjustment = Adjustment::sequential;
    } else {
      throw UsageError("option '--adjustment' takes 'means' or 'sequential', not '" + adjustment + "'");
    }
  }
  if (parsed.has("--within")) {
    options.within_file = parsed.value("--within");
    if (options.within_file.empty()) throw UsageError("option '--within' needs a cluster file");
  }
  if (parsed.has("--shard")) parse_shard(parsed.value("--shard"), options.shard, options.shards);
  std::vector<std::string> words = {"strataperm", "run"};
  words.insert(words.end(), args.begin(), args.end());
  options.command_line = shell_words(words);
  {
    // The options that make the study (what shards of one run share).
    std::vector<std::string> choices;
    for (const auto& [name, value] : parsed.values) {
      if (name == "--shard" || name == "--threads" || name == "--progress" ||
          name == "--chunk-replicates" || name == "--out")
        continue;
      choices.push_back(value.empty() ? name : name + "=" + value);
    }
    options.choices = shell_words(choices);
  }
  const std::string hint = std::string(" (see '") + kCommand + " --help')";
  if (parsed.has("--adaptive")) {
    AdaptiveRule rule;
    if (parsed.has("--adaptive-rule")) parse_adaptive_rule(parsed.value("--adaptive-rule"), rule);
    if (parsed.has("--max-permutations")) {
      rule.max = parse_count_option("--max-permutations", parsed.value("--max-permutations"), 1,
                                    2000000000);
    }
    options.adaptive = rule;
  } else if (parsed.has("--adaptive-rule") || parsed.has("--max-permutations")) {
    throw UsageError("options '--adaptive-rule' and '--max-permutations' go with --adaptive" + hint);
  }
  if (parsed.has("--bfile") || parsed.has("--vcf")) {
    if (!parsed.positional.empty()) {
      throw UsageError("with --bfile or --vcf, 'strataperm run' takes no study folder; give the "
                       "folder for the results with --out" + hint);
    }
    if (!parsed.has("--out") || parsed.value("--out").empty())
      throw UsageError("give the folder for the results with --out" + hint);
    const StudyChoices choices = study_choices_from(parsed, kCommand);
    options.folder = parsed.value("--out");
    return run_genotype_study(choices, options, engine);
  }
  for (const OptionSpec& option : study_choice_options()) {
    if (parsed.has(option.name)) {
      throw UsageError("option '" + option.name +
                       "' goes with --bfile or --vcf; a study folder names its files in "
                       "parameter.txt" + hint);
    }
  }
  options.folder = study_folder_argument(parsed, kCommand);
  if (parsed.has("--out")) {
    options.out_folder = parsed.value("--out");
    if (options.out_folder.empty()) throw UsageError("option '--out' needs a folder");
  }
  check_study_folder(options.folder);
  return run_study(options, engine);
}

}  // namespace strataperm
