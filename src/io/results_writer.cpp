#include "io/results_writer.hpp"

#include <ctime>

#include "core/errors.hpp"
#include "io/output_file.hpp"

namespace strataperm {

namespace {

const char* const kVerdictSecondLine =
    "The BIC corresponding to one group and two groups of the similarities are\n";

}  // namespace

void write_verdict_block(std::FILE* results, const StructureFit& fit) {
  if (fit.structure) {
    std::fprintf(results, "There exists population structure.\n%s", kVerdictSecondLine);
  } else {
    std::fprintf(results, "There does not exist population structure.\n%s", kVerdictSecondLine);
  }
  std::fprintf(results, "BIC(1)=%f  BIC(2)=%f.\n\n", fit.bic_one, fit.bic_two);
}

void print_verdict_block(const StructureFit& fit) {
  if (fit.structure) {
    std::printf("There exists population structure.\n%s", kVerdictSecondLine);
  } else {
    std::printf("There does not exist population structure\n%s", kVerdictSecondLine);
  }
  std::printf("BIC(1)=%f  BIC(2)=%f\n\n", fit.bic_one, fit.bic_two);
}

void print_marker_p_values(DoubleVector p_values, int n_markers) {
  for (int i = 1; i <= n_markers; ++i) std::printf("marker%-3d  P-value=%f\n", i, p_values[i]);
}

void write_p_value_table(std::FILE* results, IntVector marker_ids, DoubleVector p_values,
                         int n_markers) {
  std::fprintf(results, "marker#   P-value\n");
  for (int i = 1; i <= n_markers; ++i)
    std::fprintf(results, "%-5d    %7.5f\n", marker_ids[i], p_values[i]);
}

void check_results_file(const std::string& folder, const std::string& name) {
  if (!can_create_file(path_in_study(folder, name)))
    throw Error(Error::Category::cannot_open, "can't open file " + name);
}

void write_results_file(const std::string& folder, const std::string& name, const StructureFit& fit,
                        IntVector marker_ids, DoubleVector p_values, int n_markers) {
  OutputFile file(path_in_study(folder, name));
  write_verdict_block(file.stream(), fit);
  write_p_value_table(file.stream(), marker_ids, p_values, n_markers);
  file.commit();
}

std::string extras_path(const std::string& results_file, const std::string& suffix) {
  const std::size_t slash = results_file.find_last_of('/');
  const std::size_t dot = results_file.find_last_of('.');
  const bool has_extension =
      dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
  return (has_extension ? results_file.substr(0, dot) : results_file) + suffix;
}

std::string shell_words(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789_-+=/.,:@%") == std::string::npos;
    if (plain) {
      text += word;
      continue;
    }
    text += '\'';
    for (char c : word) {
      if (c == '\'') {
        text += "'\\''";
      } else {
        text += c;
      }
    }
    text += '\'';
  }
  return text;
}

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return text;
}

}  // namespace strataperm
