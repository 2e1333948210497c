#include "driver/run.hpp"

#include <chrono>
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

int run_study_or_throw(AnalysisEngine engine, const RunSettings& settings) {
  RandomStream stream;
  seed_random_stream(stream);
  EngineOptions options;
  options.threads = settings.threads;
  options.report_stage_times = stage_times_requested();
  double start = seconds_now();
  auto lap = [&](const char* stage) {
    const double now = seconds_now();
    if (options.report_stage_times) std::fprintf(stderr, "stage %s %.3f\n", stage, now - start);
    start = now;
  };

  Parameters parameters;
  SampleData data;
  try {
    read_parameter_file("parameter.txt", parameters);
    allocate_sample_data(parameters, data);
    read_genotype_file(parameters, data);
    read_marker_file(parameters, data);
  } catch (const InputError& error) {
    report_input_error(error);
    return 1;
  }
  lap("read");
  const int m = parameters.n_markers;

  ResultArrays arrays;
  arrays.n_markers = m;
  arrays.marker_ids = ivector(1, m);
  for (int i = 1; i <= m; ++i) arrays.marker_ids[i] = i;
  arrays.p_values = dvector(1, m);

  ResultsFile results(parameters.output_file);
  engine(parameters, data, arrays.p_values, results.stream(), stream, options);
  data = SampleData();
  lap("analysis");

  print_marker_p_values(arrays.p_values, m);
  sort_with_index(arrays.p_values, arrays.marker_ids, m, stream);
  lap("sort");
  write_p_value_table(results.stream(), arrays.marker_ids, arrays.p_values, m);
  std::fflush(stdout);
  const int status = results.commit();
  lap("report");
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
