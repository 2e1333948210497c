#include "driver/run.hpp"

#include <chrono>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "analysis/permutation_test.hpp"
#include "driver/input.hpp"
#include "driver/report.hpp"
#include "driver/run_context.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

namespace {

// The two run-long result vectors, released when the run ends whichever way
// it returns.
struct ResultArrays {
  int n_markers = 0;
  IntVector marker_ids;
  DoubleVector p_values;

  ResultArrays() = default;
  ResultArrays(const ResultArrays&) = delete;
  ResultArrays& operator=(const ResultArrays&) = delete;
  ~ResultArrays() {
    if (p_values) free_dvector(p_values, 1, n_markers);
    if (marker_ids) free_ivector(marker_ids, 1, n_markers);
  }
};

bool stage_times_requested() {
  const char* value = std::getenv("STRATAPERM_STAGE_TIMES");
  return value != nullptr && value[0] != '\0' && value[0] != '0';
}

double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Progress on standard error: a line per stage, and for the long stages the
// count done with an estimate of the time left, at most about once a second.
class ProgressReporter {
 public:
  explicit ProgressReporter(bool enabled) : enabled_(enabled) {}
  void stage(const char* text) {
    if (enabled_) std::fprintf(stderr, "strataperm: %s\n", text);
  }
  void advance(const char* stage, long done, long total) {
    if (!enabled_) return;
    const double now = seconds_now();
    if (stage != current_) {
      current_ = stage;
      stage_start_ = now;
      last_ = 0.0;
    }
    if (done < total && now - last_ < 1.0) return;
    last_ = now;
    const double elapsed = now - stage_start_;
    const double left = done > 0 ? elapsed * static_cast<double>(total - done) / done : 0.0;
    const char* unit = std::string(stage) == "replicates" ? "replicate" : "marker";
    std::fprintf(stderr, "strataperm: %s %ld of %ld, about %.0f s left\n", unit, done, total, left);
  }

 private:
  bool enabled_;
  std::string current_;
  double stage_start_ = 0.0;
  double last_ = 0.0;
};

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return text;
}

// RESULTS.log: what was run, when, on what, and what the structure test found.
void write_run_log(const std::string& path, const Parameters& p, const StructureFit& fit,
                   const AnalysisReport& report, const std::string& started,
                   const std::vector<std::pair<std::string, double>>& stages) {
  std::FILE* log = std::fopen(path.c_str(), "w");
  if (log == nullptr) {
    std::fprintf(stderr, "strataperm: warning: could not write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return;
  }
  std::fprintf(log, "strataperm %s\n", STRATAPERM_VERSION);
  std::fprintf(log, "started\t%s\nfinished\t%s\nthreads\t%d\n", started.c_str(), utc_now().c_str(),
               report.threads);
  std::fprintf(log, "genotype_file\t%s\nmarker_file\t%s\nresults_file\t%s\n",
               p.genotype_file.c_str(), p.marker_file.c_str(), p.output_file.c_str());
  std::fprintf(log, "individuals\t%d\nbackground_loci\t%d\nmarkers\t%d\npermutations\t%d\n",
               p.n_individuals, p.n_loci, p.n_markers, p.n_permutations);
  std::fprintf(log, "one_group\tmean=%.10g variance=%.10g BIC=%f\n", fit.mean, fit.variance,
               fit.bic_one);
  std::fprintf(log,
               "two_groups\tcomponent1 mean=%.10g variance=%.10g weight=%.10g; component0 "
               "mean=%.10g variance=%.10g weight=%.10g; BIC=%f; assignment passes=%d\n",
               fit.mean1, fit.variance1, fit.weight1, fit.mean0, fit.variance0, fit.weight0,
               fit.bic_two, fit.passes);
  std::fprintf(log, "verdict\t%s\n", fit.structure ? "population structure" : "no population structure");
  if (report.lists_partition) {
    std::fprintf(log, "groups\t%zu (sizes", report.group_sizes.size());
    for (int size : report.group_sizes) std::fprintf(log, " %d", size);
    std::fprintf(log, ")\n");
  } else {
    std::fprintf(log, "groups\toverlapping same-group lists, %d to %d members\n",
                 report.smallest_list, report.largest_list);
  }
  for (const auto& [stage, seconds] : stages) std::fprintf(log, "seconds_%s\t%.3f\n", stage.c_str(), seconds);
  std::fclose(log);
}

int run_study_or_throw(AnalysisEngine engine, const RunSettings& settings) {
  RandomStream stream;
  seed_random_stream(stream);
  const std::string started = utc_now();
  ProgressReporter progress(settings.progress);
  AnalysisReport report;
  EngineOptions options;
  options.threads = settings.threads;
  options.report_stage_times = stage_times_requested();
  options.report = &report;
  if (settings.progress) {
    options.progress = [&progress](const char* stage, long done, long total) {
      progress.advance(stage, done, total);
    };
  }
  std::vector<std::pair<std::string, double>> stages;
  double start = seconds_now();
  auto lap = [&](const char* stage) {
    const double now = seconds_now();
    if (options.report_stage_times) std::fprintf(stderr, "stage %s %.3f\n", stage, now - start);
    stages.emplace_back(stage, now - start);
    start = now;
  };

  progress.stage("reading the study");
  Parameters parameters;
  SampleData data;
  try {
    read_parameters(parameters, data);
  } catch (const InputError& error) {
    report_input_error(error);
    return 1;
  }
  lap("read");
  const int m = parameters.n_markers;

  std::vector<MarkerInfo> marker_info;
  bool named = false;
  if (settings.extras && ::access("markers.tsv", F_OK) == 0) {
    std::string reason;
    named = read_marker_table("markers.tsv", m, marker_info, reason);
    if (!named) {
      std::fprintf(stderr, "strataperm: warning: markers.tsv not used: %s\n", reason.c_str());
    }
  }

  ResultArrays arrays;
  arrays.n_markers = m;
  arrays.marker_ids = ivector(1, m);
  for (int i = 1; i <= m; ++i) arrays.marker_ids[i] = i;
  arrays.p_values = dvector(1, m);

  ResultsFile results(parameters.output_file);
  progress.stage("similarity, structure test and permutation test");
  const StructureFit fit = engine(parameters, data, arrays.p_values, results.stream(), stream, options);
  data = SampleData();
  lap("analysis");
  for (const auto& stage : report.stage_seconds) stages.push_back(stage);

  progress.stage("sorting and writing the results");
  print_marker_p_values(arrays.p_values, m);
  sort_with_index(arrays.p_values, arrays.marker_ids, m, stream);
  lap("sort");
  write_p_value_table(results.stream(), arrays.marker_ids, arrays.p_values, m);
  std::fflush(stdout);
  const int status = results.commit();
  lap("report");
  if (status == 0 && settings.extras) {
    if (named) {
      const std::string path = extras_path(parameters.output_file, ".named.tsv");
      if (!write_named_table(path, arrays.marker_ids, arrays.p_values, m, marker_info))
        std::fprintf(stderr, "strataperm: warning: could not write %s\n", path.c_str());
    }
    write_run_log(extras_path(parameters.output_file, ".log"), parameters, fit, report, started,
                  stages);
  }
  progress.stage("done");
  return status;
}

}  // namespace

int run_study(AnalysisEngine engine, const RunSettings& settings) {
  try {
    return run_study_or_throw(engine, settings);
  } catch (const std::bad_alloc&) {
    run_time_error("allocation failure: not enough memory for a study of this size");
  } catch (const std::length_error&) {
    run_time_error("allocation failure: not enough memory for a study of this size");
  }
}

}  // namespace strataperm
