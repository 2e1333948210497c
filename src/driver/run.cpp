#include "driver/run.hpp"

#include <cstdio>

#include "analysis/permutation_test.hpp"
#include "driver/input.hpp"
#include "driver/report.hpp"
#include "driver/run_context.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

namespace {

// The run-long arrays: the sample data and the two result vectors, released
// when the run ends whichever way it returns.
struct RunArrays {
  const Parameters& parameters;
  SampleData data;
  bool have_data = false;
  IntVector marker_ids;
  DoubleVector p_values;

  explicit RunArrays(const Parameters& p) : parameters(p) {}
  RunArrays(const RunArrays&) = delete;
  RunArrays& operator=(const RunArrays&) = delete;
  ~RunArrays() {
    if (p_values) free_dvector(p_values, 1, parameters.n_markers);
    if (marker_ids) free_ivector(marker_ids, 1, parameters.n_markers);
    if (have_data) free_sample_data(parameters, data);
  }
};

}  // namespace

int run_study() {
  RandomStream stream;
  seed_random_stream(stream);

  Parameters parameters;
  RunArrays arrays(parameters);
  try {
    read_parameter_file("parameter.txt", parameters);
    allocate_sample_data(parameters, arrays.data);
    arrays.have_data = true;
    read_genotype_file(parameters, arrays.data);
    read_marker_file(parameters, arrays.data);
  } catch (const InputError& error) {
    report_input_error(error);
    return 1;
  }
  const int m = parameters.n_markers;

  arrays.marker_ids = ivector(1, m);
  for (int i = 1; i <= m; ++i) arrays.marker_ids[i] = i;
  arrays.p_values = dvector(1, m);

  ResultsFile results(parameters.output_file);
  run_analysis(parameters, arrays.data, arrays.p_values, results.stream(), stream);

  print_marker_p_values(arrays.p_values, m);
  sort_with_index(arrays.p_values, arrays.marker_ids, m, stream);
  write_p_value_table(results.stream(), arrays.marker_ids, arrays.p_values, m);
  std::fflush(stdout);
  return results.commit();
}

}  // namespace strataperm
