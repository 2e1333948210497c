#include "commands/run_pipeline.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "core/progress.hpp"
#include "io/association_table.hpp"
#include "io/checksum.hpp"
#include "io/cluster_file.hpp"
#include "io/covariate_table.hpp"
#include "io/marker_table.hpp"
#include "io/output_file.hpp"
#include "io/results_file.hpp"
#include "io/shard_files.hpp"
#include "io/study_reader.hpp"
#include "study/streamed_markers.hpp"
#include "study/study_plan.hpp"

namespace strataperm {

namespace {

// The files a study folder's run reads, with their checksums, for the log.
void log_study_folder_inputs(StudyRun& run, const std::string& study) {
  const Parameters& p = run.parameters;
  for (const std::string& name : {std::string("parameter.txt"), p.genotype_file, p.marker_file,
                                  std::string("markers.tsv")}) {
    const std::string path = path_in_study(study, name);
    if (::access(path.c_str(), F_OK) == 0) run.record.inputs.emplace_back(path, md5_of_file(path));
  }
  if (::access(path_in_study(study, "background_ids.txt").c_str(), F_OK) == 0)
    run.record.background_ids_file = path_in_study(study, "background_ids.txt");
}

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

// The names the run writes: the results file, and with the extras the files
// named after it.
std::vector<std::string> run_outputs(const std::string& folder, const std::string& results_file,
                                     bool extras) {
  std::vector<std::string> outputs = {path_in_study(folder, results_file)};
  if (extras)
    for (const char* suffix : {".tsv", ".tsv.gz", ".tsv.gz.tbi", ".log", ".similarity.tsv"})
      outputs.push_back(path_in_study(folder, extras_path(results_file, suffix)));
  return outputs;
}

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
  run.record.inputs.emplace_back(options.within_file, md5_of_file(options.within_file));
}

// --covar for a study folder: the covariates of its individuals (matched by
// individuals.tsv when `study` holds ids, else in order), its checksum in the
// log. A study folder's individuals cannot be left out, so each needs all
// its covariates.
void read_study_covariates(StudyRun& run, const RunOptions& options, CovariateMatch match,
                           const std::vector<IndividualKey>& study) {
  const CovariateTable table = read_covariate_table(options.covar_file, options.covar_names, match);
  const std::size_t k = table.names.size();
  std::vector<double>& values = run.covariates.values;
  values.reserve(study.size() * k);
  if (match == CovariateMatch::order && table.ordered.size() != study.size()) {
    throw InputError(Error::Category::inconsistent_input,
                     options.covar_file + ": holds " + std::to_string(table.ordered.size()) +
                         " individuals' covariates, the study has " + std::to_string(study.size()) +
                         " individuals (one line each, in their order)");
  }
  for (std::size_t i = 0; i < study.size(); ++i) {
    const CovariateRow* row = nullptr;
    std::string who = "individual " + std::to_string(i + 1);
    if (match == CovariateMatch::order) {
      row = &table.ordered[i];
    } else {
      who = "individual " + study[i].family_id + " " + study[i].individual_id;
      row = table.find(study[i].family_id, study[i].individual_id);
      if (row == nullptr)
        throw InputError(Error::Category::inconsistent_input,
                         options.covar_file + ": no line for " + who + " of the study");
    }
    for (std::size_t c = 0; c < k; ++c) {
      if (!row->values[c]) {
        throw InputError(Error::Category::inconsistent_input,
                         options.covar_file + ", line " + std::to_string(row->line) + ": " + who +
                             " has no value of covariate '" + table.names[c] +
                             "'; a study folder's individuals cannot be left out, so each needs "
                             "every covariate");
      }
      values.push_back(*row->values[c]);
    }
  }
  run.covariates.names = table.names;
  run.covariates.source = options.covar_file;
  run.record.covariates = table.names;
  run.record.inputs.emplace_back(options.covar_file, md5_of_file(options.covar_file));
}

// The options of the engine for this run: threads, chunks, clock, progress,
// and the first estimates of the counted stages on this kind of machine (the
// replicates' draws, the markers' multiply-adds on all threads) for the time
// left of the whole run until each stage shows its own pace.
AnalysisOptions engine_options(StudyRun& run, const RunOptions& options, long markers) {
  const EngineCost cost = expected_engine_cost(run.parameters.n_individuals, markers,
                                                run.parameters.n_permutations,
                                                thread_count(options.threads), options.adjustment);
  run.progress.expect("replicate", cost.replicate_seconds);
  run.progress.expect("marker", cost.marker_seconds);
  AnalysisOptions analysis;
  analysis.adjustment = options.adjustment;
  analysis.clusters = run.clusters;
  analysis.covariates = run.covariates;
  analysis.threads = options.threads;
  analysis.chunk_replicates = options.chunk_replicates;
  analysis.clock = &run.clock;
  analysis.progress = &run.progress;
  if (options.adaptive) analysis.adaptive = &*options.adaptive;
  return analysis;
}

// `--shard K/S`: the whole run's draws, the shard's markers, its folder.
int analyse_shard(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                  const RunOptions& options, AnalysisEngine engine) {
  const Parameters& parameters = run.parameters;
  const MarkerRange range = shard_range(parameters.n_markers, options.shard, options.shards);
  ShardManifest manifest;
  manifest.record = run.record;
  manifest.record.parameters = parameters;
  manifest.shards = options.shards;
  manifest.shard = options.shard;
  manifest.range = range;
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
    manifest.replicates_drawn = result.replicates_drawn;
  }
  manifest.record.fit = result.fit;
  manifest.record.groups = result.groups;
  manifest.record.adjustment = result.adjustment;
  manifest.record.model_rank = result.model_rank;
  manifest.sum_y2 = result.sum_y2;
  manifest.distinct_lists = result.distinct_lists;
  manifest.stream_after = run.stream;
  manifest.structure_checksum =
      structure_checksum(result.fit, result.groups, result.similarity_counts);
  run.clock.lap("report");
  manifest.record.stage_seconds = run.clock.laps();
  manifest.record.finished = utc_now();
  manifest.record.threads = result.threads;
  writer.finish(manifest, result.replicate_maxima, result.similarity_counts, run.background_ids);
  run.progress.stage("done: " + folder);
  return 0;
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
    if (!options.covar_file.empty()) inputs.add(options.covar_file);
    for (const std::string& output :
         run_outputs(run.folder, run.parameters.output_file, options.extras))
      inputs.check(output);
  }
  if (options.extras) {
    log_study_folder_inputs(run, options.folder);
    run.clock.lap("checksums");
  }
  if (!options.within_file.empty() || !options.covar_file.empty()) {
    // Ids from the study's individuals.tsv when it has one, else the order.
    const std::string table = path_in_study(options.folder, "individuals.tsv");
    std::vector<IndividualKey> study;
    const bool with_ids = ::access(table.c_str(), F_OK) == 0;
    if (with_ids) {
      study = read_individual_table(table);
      if (static_cast<long>(study.size()) != run.parameters.n_individuals) {
        throw InputError(table + ": lists " + std::to_string(study.size()) +
                         " individuals, the study has " +
                         std::to_string(run.parameters.n_individuals));
      }
    } else {
      study.resize(static_cast<std::size_t>(run.parameters.n_individuals));
    }
    read_within_groups(run, options,
                       with_ids ? ClusterMatch::family_and_individual : ClusterMatch::order, study,
                       {}, with_ids);
    if (!options.covar_file.empty())
      read_study_covariates(run, options,
                            with_ids ? CovariateMatch::family_and_individual : CovariateMatch::order,
                            study);
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

int analyse_and_report(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                       const RunOptions& options, AnalysisEngine engine) {
  if (options.shards > 0) return analyse_shard(run, markers, labels, options, engine);
  const Parameters& parameters = run.parameters;
  check_results_file(run.folder, parameters.output_file);
  std::unique_ptr<AssociationTable> table;
  if (options.extras) {
    table = std::make_unique<AssociationTable>(
        path_in_study(run.folder, extras_path(parameters.output_file, ".tsv")), options.compress);
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
  for (const std::string& path : plan_inputs(plan)) run.record.inputs.emplace_back(path, md5_of_file(path));
  run.clock.lap("checksums");
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
        run.record.study_lines.push_back(lines.substr(start, end - start));
        start = end == std::string::npos ? lines.size() : end + 1;
      }
    }
  }
  run.background_ids = background_ids(plan);
  if (!choices.covar.empty()) {
    run.covariates.values = plan.kept.covariates;
    run.covariates.names = plan.kept.covariate_names;
    run.covariates.source = choices.covar;
    run.record.covariates = plan.kept.covariate_names;
  }
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

}  // namespace strataperm
