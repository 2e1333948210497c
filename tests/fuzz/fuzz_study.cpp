// libFuzzer target for the input readers and, on small studies that read
// cleanly, the whole analysis and the final sort.
//
// The input holds the three files separated by NUL bytes: parameter.txt,
// then the genotype file, then the trait-and-marker file. Study sizes are
// capped so every run is quick; allocation is then never the limit.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/engine.hpp"
#include "core/errors.hpp"
#include "io/study_reader.hpp"
#include "numerics/sorting.hpp"

using namespace strataperm;

namespace {

std::vector<std::string> split_files(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> parts(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 3) {
      parts.emplace_back();
    } else {
      parts.back().push_back(static_cast<char>(data[i]));
    }
  }
  parts.resize(3);
  return parts;
}

// An in-memory FILE over `text`; an empty text reads as a lone line break,
// which the readers treat the same (nothing after the header line).
std::FILE* open_text(std::string& text) {
  if (text.empty()) text.assign(1, '\n');
  return fmemopen(text.data(), text.size(), "r");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Standard output stays quiet; the fuzzer reports on standard error.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> files = split_files(data, size);
  if (files[0].empty()) return 0;
  Parameters parameters;
  {
    std::FILE* file = open_text(files[0]);
    if (file == nullptr) return 0;
    try {
      read_parameter_stream(file, "parameter.txt", parameters);
    } catch (const InputError&) {
      std::fclose(file);
      return 0;
    }
    std::fclose(file);
  }
  const std::int64_t n = parameters.n_individuals;
  if (n > 48 || n * parameters.n_loci > 4096 || n * parameters.n_markers > 4096 ||
      parameters.n_permutations > 3) {
    return 0;
  }

  SampleData sample;
  allocate_sample_data(parameters, sample);
  bool read = true;
  for (int which = 1; which <= 2 && read; ++which) {
    std::FILE* file = open_text(files[which]);
    if (file == nullptr) {
      read = false;
      break;
    }
    try {
      if (which == 1) {
        read_genotype_stream(file, parameters, sample);
      } else {
        read_marker_stream(file, parameters, sample);
      }
    } catch (const InputError&) {
      read = false;
    }
    std::fclose(file);
  }
  if (read) {
    const int m = parameters.n_markers;
    RandomStream stream;
    seed_random_stream(stream);
    DoubleVector p_values = dvector(1, m);
    IntVector marker_ids = ivector(1, m);
    for (int j = 1; j <= m; ++j) marker_ids[j] = j;
    AnalysisOptions options;
    options.threads = 1;
    InMemoryMarkers markers(sample, parameters.n_individuals, m);
    const AnalysisResult result = run_analysis(parameters, sample, markers, stream, options);
    for (int j = 1; j <= m; ++j) p_values[j] = result.p_values[static_cast<std::size_t>(j - 1)];
    sort_with_index(p_values, marker_ids, m, stream);
    for (int j = 1; j <= m; ++j) {
      if (!(p_values[j] >= 0.0 && p_values[j] <= 1.0)) __builtin_trap();
    }
    free_ivector(marker_ids, 1, m);
    free_dvector(p_values, 1, m);
  }
  return 0;
}
