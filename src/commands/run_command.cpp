#include "commands/run_command.hpp"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "commands/options.hpp"
#include "core/errors.hpp"
#include "core/progress.hpp"
#include "io/association_table.hpp"
#include "io/marker_table.hpp"
#include "io/results_writer.hpp"
#include "io/study_reader.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

namespace {

const std::vector<OptionSpec> kRunOptions = {
    {"--threads", true, "N", "threads for the analysis (default: all cores; results do not depend on it)"},
    {"--progress", false, "", "report progress on standard error even when it is not a terminal"},
    {"--help", false, "", "show this help"},
};

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
  const std::string path = path_in_study(folder, "markers.tsv");
  if (::access(path.c_str(), F_OK) != 0) return {};
  try {
    auto info = std::make_shared<std::vector<MarkerInfo>>(read_marker_table(path, n_markers));
    return [info](long marker) {
      const MarkerInfo& m = (*info)[static_cast<std::size_t>(marker - 1)];
      return MarkerLabel{m.chromosome, m.position, m.id, m.allele2, m.allele1};
    };
  } catch (const InputError& error) {
    warn(std::string("markers.tsv not used: ") + error.what());
    return {};
  }
}

}  // namespace

int run_study(const RunOptions& options, AnalysisEngine engine) {
  StudyRun run(options.folder, options.progress);
  run.progress.stage("reading the study");
  read_parameters(options.folder, run.parameters, run.data);
  run.clock.lap("read");
  InMemoryMarkers markers(run.data, run.parameters.n_individuals, run.parameters.n_markers);
  const MarkerLabels labels =
      options.extras ? marker_labels_of(options.folder, run.parameters.n_markers) : MarkerLabels();
  return analyse_and_report(run, markers, labels, options, engine);
}

int analyse_and_report(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                       const RunOptions& options, AnalysisEngine engine) {
  const Parameters& parameters = run.parameters;
  const int m = parameters.n_markers;
  ResultArrays arrays(m);
  for (int i = 1; i <= m; ++i) arrays.marker_ids[i] = i;
  check_results_file(run.folder, parameters.output_file);
  std::unique_ptr<AssociationTable> table;
  if (options.extras) {
    table = std::make_unique<AssociationTable>(
        path_in_study(run.folder, extras_path(parameters.output_file, ".tsv")));
  }

  Progress& progress = run.progress;
  StageClock& clock = run.clock;
  progress.stage("similarity, structure test and permutation test");
  AnalysisOptions analysis;
  analysis.threads = options.threads;
  analysis.clock = &clock;
  analysis.progress = &progress;
  analysis.on_structure = [](const StructureFit& fit) {
    if (!fit.separated) {
      warn("the background loci separate no two individuals (every pairwise distance is 0); the "
           "sample is treated as one group");
    }
    print_verdict_block(fit);
  };
  if (table) {
    analysis.on_markers = [&table](long, std::span<const MarkerStatistics> block) {
      table->add(block);
    };
  }
  const AnalysisResult result = engine(parameters, run.data, markers, run.stream, analysis);
  run.data = SampleData();
  for (int j = 1; j <= m; ++j) arrays.p_values[j] = result.p_values[static_cast<std::size_t>(j - 1)];

  progress.stage("sorting and writing the results");
  print_marker_p_values(arrays.p_values, m);
  sort_with_index(arrays.p_values, arrays.marker_ids, m, run.stream);
  clock.lap("sort");
  std::fflush(stdout);
  write_results_file(run.folder, parameters.output_file, result.fit, arrays.marker_ids,
                     arrays.p_values, m);
  if (table) {
    table->write(parameters.n_individuals, parameters.n_permutations, result.sum_y2,
                 result.replicate_maxima, labels);
  }
  clock.lap("report");
  if (options.extras) {
    RunLog& log = run.log;
    log.finished = utc_now();
    log.threads = result.threads;
    log.parameters = parameters;
    log.fit = result.fit;
    log.groups = result.groups;
    log.stage_seconds = clock.laps();
    write_run_log(path_in_study(run.folder, extras_path(parameters.output_file, ".log")), log);
  }
  progress.stage("done");
  return 0;
}

int run_subcommand(const std::vector<std::string>& args, AnalysisEngine engine) {
  const ParsedArguments parsed = parse_arguments(args, kRunOptions, "strataperm run");
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm run [options] [STUDY_DIR]\n\n"
        "Runs the analysis of the study in STUDY_DIR (default: the current folder), which\n"
        "holds parameter.txt and the files it names. Standard output and the results file\n"
        "are those of a plain 'strataperm' run. Beside the results file it also writes\n"
        "RESULTS.log (version, times, counts, fitted models, group sizes, time per stage)\n"
        "and, when the folder holds markers.tsv (written by 'strataperm import'),\n"
        "RESULTS.named.tsv: the sorted P-values with marker ids and positions.\n\n"
        "options:\n%s",
        describe_options(kRunOptions).c_str());
    return 0;
  }
  RunOptions options;
  options.folder = study_folder_argument(parsed, "strataperm run");
  options.extras = true;
  options.progress = parsed.has("--progress") || ::isatty(2);
  options.threads = threads_option(parsed);
  check_study_folder(options.folder);
  return run_study(options, engine);
}

}  // namespace strataperm
