#include "commands/run_report.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "core/errors.hpp"
#include "io/id_lists.hpp"
#include "io/output_file.hpp"
#include "io/results_file.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

namespace {

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

}  // namespace

StudyRun::StudyRun(const RunOptions& options)
    : folder(options.out_folder.empty() ? options.folder : options.out_folder),
      progress(options.progress, options.progress_in_place) {
  seed_random_stream(stream);
  stream.s1 = options.seeds[0];
  stream.s2 = options.seeds[1];
  stream.s3 = options.seeds[2];
  record.started = utc_now();
  record.command_line = options.command_line;
  record.choices = options.choices;
  record.seeds = options.seeds;
  record.adjustment = options.adjustment;
  record.groups_from = options.within_file;
  record.covariates_from = options.covar_file;
  record.rule = options.adaptive;
  record.compressed_table = options.compress;
}

void warn_if_inseparable(const StructureFit& fit) {
  if (!fit.separated) {
    warn("the background loci separate no two individuals (every pairwise distance is 0); the "
         "sample is treated as one group");
  }
}

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
                                         result.sum_y2, result.distinct_lists,
                                         result.covariate_count);
    if (!result.replicates_used.empty()) {
      const std::int64_t max_permutations = run.record.rule ? run.record.rule->max : 0;
      table->write_adaptive(model, max_permutations, result.p_values, result.exceed,
                            result.replicates_used, labels);
    } else {
      table->write(model, parameters.n_permutations, result.replicate_maxima, labels);
    }
    if (run.record.compressed_table) {
      if (table->why_no_index().empty()) {
        run.record.table_index = extras_path(parameters.output_file, ".tsv.gz.tbi");
      } else {
        warn(table->written() + " gets no tabix index: " + table->why_no_index());
        run.record.table_index = "none (" + table->why_no_index() + ")";
      }
    }
  }
  run.clock.lap("report");
  if (extras) {
    if (!run.background_ids.empty()) {
      const std::string list = path_in_study(run.folder, "background_ids.txt");
      OutputFile file(list);
      write_background_id_list(file.stream(), run.background_ids);
      file.commit();
      run.record.background_ids_file = list;
    }
    RunRecord& log = run.record;
    if (!result.replicates_used.empty()) {
      // The rule, and how many replicates the markers took.
      std::vector<std::int64_t> np = result.replicates_used;
      std::sort(np.begin(), np.end());
      const auto at = [&np](double q) {
        return np[static_cast<std::size_t>(q * static_cast<double>(np.size() - 1) + 0.5)];
      };
      if (log.rule) log.study_lines.push_back("adaptive permutation: " + describe_rule(*log.rule));
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
    log.adjustment = result.adjustment;
    log.model_rank = result.model_rank;
    if (log.stage_seconds.empty()) log.stage_seconds = run.clock.laps();
    write_similarity_table(
        path_in_study(run.folder, extras_path(parameters.output_file, ".similarity.tsv")),
        result.similarity_counts);
    write_run_log(path_in_study(run.folder, extras_path(parameters.output_file, ".log")), log);
  }
  run.progress.stage("done");
}

}  // namespace strataperm
