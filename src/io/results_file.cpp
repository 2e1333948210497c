#include "io/results_file.hpp"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "core/errors.hpp"
#include "io/output_file.hpp"
#include "io/record_reader.hpp"

namespace strataperm {

namespace {

// Removes trailing white space (including a carriage return).
std::string trim_right(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

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

std::vector<MarkerPValue> read_p_value_table(const std::string& path, int n_markers) {
  std::vector<std::string> lines;
  {
    RecordReader reader(path);
    for (std::string line; reader.next_line(line);) lines.push_back(std::move(line));
  }
  std::vector<MarkerPValue> table;
  const auto fail = [&](const std::string& reason) { throw InputError(path + ": " + reason); };

  std::size_t header = lines.size();
  for (std::size_t k = 0; k < lines.size(); ++k)
    if (lines[k].rfind("marker#", 0) == 0) header = k;
  if (header == lines.size()) fail("it holds no 'marker#   P-value' table");
  std::vector<bool> seen(static_cast<std::size_t>(n_markers) + 1, false);
  for (std::size_t k = header + 1; k < lines.size(); ++k) {
    const std::string line = trim_right(lines[k]);
    if (line.empty()) break;
    const std::string where = "line " + std::to_string(k + 1);
    char* end = nullptr;
    const long marker = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str()) fail(where + " is not 'marker P-value'");
    const char* rest = end;
    const double p_value = std::strtod(rest, &end);
    if (end == rest || *end != '\0') fail(where + " is not 'marker P-value'");
    if (marker < 1 || marker > n_markers) fail(where + ": marker " + std::to_string(marker) + " is not from 1 to " +
               std::to_string(n_markers));
    if (!(p_value >= 0.0 && p_value <= 1.0)) fail(where + ": the P-value is not in [0, 1]");
    if (seen[static_cast<std::size_t>(marker)]) fail(where + ": marker " + std::to_string(marker) + " appears twice");
    seen[static_cast<std::size_t>(marker)] = true;
    table.push_back({static_cast<int>(marker), p_value});
  }
  if (table.empty()) fail("its P-value table is empty");
  return table;
}

}  // namespace strataperm
