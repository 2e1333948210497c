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

void write_similarity_table(const std::string& path,
                            const std::vector<std::pair<double, std::int64_t>>& counts) {
  OutputFile file(path);
  std::fprintf(file.stream(), "#SIMILARITY\tPAIRS\n");
  for (const auto& [similarity, pairs] : counts)
    std::fprintf(file.stream(), "%.17g\t%lld\n", similarity, static_cast<long long>(pairs));
  file.commit();
}

std::string utc_now() {
  const std::time_t t = std::time(nullptr);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&t));
  return text;
}

void write_run_log(const std::string& path, const RunLog& run) {
  OutputFile file(path);
  std::FILE* log = file.stream();
  const Parameters& p = run.parameters;
  const StructureFit& fit = run.fit;
  std::fprintf(log, "strataperm %s\n", STRATAPERM_VERSION);
  if (!run.command_line.empty()) std::fprintf(log, "command\t%s\n", run.command_line.c_str());
  std::fprintf(log, "started\t%s\nfinished\t%s\nthreads\t%d\n", run.started.c_str(),
               run.finished.c_str(), run.threads);
  if (!run.seeds.empty()) std::fprintf(log, "seeds\t%s\n", run.seeds.c_str());
  for (const auto& [path, md5] : run.inputs)
    std::fprintf(log, "input\t%s\tmd5 %s\n", path.c_str(), md5.c_str());
  for (const std::string& line : run.study_lines) std::fprintf(log, "study\t%s\n", line.c_str());
  if (!run.background_ids_file.empty())
    std::fprintf(log, "background_ids\t%s\n", run.background_ids_file.c_str());
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
  std::fprintf(log, "verdict\t%s\n",
               fit.structure ? "population structure" : "no population structure");
  if (!run.adjustment.empty()) {
    std::fprintf(log, "adjustment\t%s\n",
                 run.adjustment == "means"
                     ? "means (codes less the means of the unadjusted codes over each list)"
                     : "sequential (codes adjusted row by row in place, as first defined)");
  }
  std::fprintf(log, "groups_from\t%s\n",
               run.groups_from.empty() ? "the structure test" : run.groups_from.c_str());
  if (run.groups.lists_partition) {
    std::fprintf(log, "groups\t%zu (sizes", run.groups.group_sizes.size());
    for (int size : run.groups.group_sizes) std::fprintf(log, " %d", size);
    std::fprintf(log, ")\n");
  } else {
    std::fprintf(log, "groups\toverlapping same-group lists, %d to %d members\n",
                 run.groups.smallest_list, run.groups.largest_list);
  }
  for (const auto& [stage, seconds] : run.stage_seconds)
    std::fprintf(log, "seconds_%s\t%.3f\n", stage.c_str(), seconds);
  file.commit();
}

}  // namespace strataperm
