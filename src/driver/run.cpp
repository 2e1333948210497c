#include "driver/run.hpp"

#include <cstdio>

#include "analysis/permutation_test.hpp"
#include "driver/input.hpp"
#include "driver/report.hpp"
#include "driver/run_context.hpp"
#include "numerics/random.hpp"
#include "numerics/sorting.hpp"

namespace strataperm {

int run_study() {
  RandomStream stream;
  seed_random_stream(stream);

  Parameters parameters;
  SampleData data;
  read_parameters(parameters, data);
  const int m = parameters.n_markers;

  IntVector marker_ids = ivector(1, m);
  for (int i = 1; i <= m; ++i) marker_ids[i] = i;
  DoubleVector p_values = dvector(1, m);

  ResultsFile results(parameters.output_file);
  run_analysis(parameters, data, p_values, results.stream(), stream);

  print_marker_p_values(p_values, m);
  sort_with_index(p_values, marker_ids, m, stream);
  write_p_value_table(results.stream(), marker_ids, p_values, m);
  std::fflush(stdout);
  return results.commit();
}

}  // namespace strataperm
