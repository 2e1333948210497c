#include "io/run_log.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "core/errors.hpp"
#include "analysis/kernels.hpp"
#include "io/output_file.hpp"
#include "io/record_reader.hpp"
#include "io/results_file.hpp"

namespace strataperm {

std::string seeds_text(const std::array<int, 3>& seeds) {
  return std::to_string(seeds[0]) + "," + std::to_string(seeds[1]) + "," + std::to_string(seeds[2]);
}

std::string describe_rule(const AdaptiveRule& rule) {
  char text[160];
  std::snprintf(text, sizeof text, "min %lld, alpha %g, beta %g, init %g, slope %g, at most %lld",
                static_cast<long long>(rule.min), rule.alpha, rule.beta, rule.init, rule.slope,
                static_cast<long long>(rule.max));
  return text;
}

void write_run_log(const std::string& path, const RunRecord& run) {
  OutputFile file(path);
  std::fprintf(file.stream(), "strataperm %s\n", STRATAPERM_VERSION);
  write_run_record(file.stream(), run);
  file.commit();
}

void write_run_record(std::FILE* log, const RunRecord& run) {
  const Parameters& p = run.parameters;
  const StructureFit& fit = run.fit;
  if (!run.command_line.empty()) std::fprintf(log, "command\t%s\n", run.command_line.c_str());
  std::fprintf(log, "started\t%s\nfinished\t%s\nthreads\t%d\n", run.started.c_str(),
               run.finished.c_str(), run.threads);
  // The clones of the writing host: the same results on any host.
  std::fprintf(log, "kernels\t%s\n", describe_kernels().c_str());
  std::fprintf(log, "seeds\t%s\n", seeds_text(run.seeds).c_str());
  for (const auto& [path, md5] : run.inputs)
    std::fprintf(log, "input\t%s\tmd5 %s\n", path.c_str(), md5.c_str());
  for (const std::string& line : run.study_lines) std::fprintf(log, "study\t%s\n", line.c_str());
  if (!run.background_ids_file.empty())
    std::fprintf(log, "background_ids\t%s\n", run.background_ids_file.c_str());
  std::fprintf(log, "genotype_file\t%s\nmarker_file\t%s\nresults_file\t%s\n",
               p.genotype_file.c_str(), p.marker_file.c_str(), p.output_file.c_str());
  std::fprintf(log, "table_file\t%s\n",
               extras_path(p.output_file, run.compressed_table ? ".tsv.gz" : ".tsv").c_str());
  if (!run.table_index.empty()) std::fprintf(log, "table_index\t%s\n", run.table_index.c_str());
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
  std::fprintf(log, "adjustment\t%s\n",
               run.adjustment == Adjustment::means
                   ? "means (codes less the means of the unadjusted codes over each list)"
                   : "sequential (codes adjusted row by row in place, as first defined)");
  std::fprintf(log, "groups_from\t%s\n",
               run.groups_from.empty() ? "the structure test" : run.groups_from.c_str());
  if (!run.covariates_from.empty()) {
    std::fprintf(log, "covariates_from\t%s\ncovariates\t", run.covariates_from.c_str());
    for (std::size_t k = 0; k < run.covariates.size(); ++k)
      std::fprintf(log, "%s%s", k > 0 ? " " : "", run.covariates[k].c_str());
    const int indicators = run.model_rank - 1 - static_cast<int>(run.covariates.size());
    std::fprintf(log, "\nmodel_rank\t%d (intercept, %zu covariate%s, %d group indicator%s)\n",
                 run.model_rank, run.covariates.size(), run.covariates.size() == 1 ? "" : "s",
                 indicators, indicators == 1 ? "" : "s");
  }
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
}

bool read_run_record_line(const std::string& key, const std::string& value, RunRecord& run,
                          const RecordReader& reader) {
  Parameters& p = run.parameters;
  const auto count = [&](int& target) {
    long long v = 0;
    if (!parse_count_field(value, 0, v)) reader.fail("'" + key + "' is not a whole number");
    target = static_cast<int>(v);
  };
  if (key == "command") {
    run.command_line = value;
  } else if (key == "seeds") {
    if (!scan_whole(value, "%d,%d,%d%n", 3, &run.seeds[0], &run.seeds[1], &run.seeds[2]))
      reader.fail("'seeds' is not A,B,C");
  } else if (key == "input") {
    const std::size_t tab = value.rfind('\t');
    if (tab == std::string::npos || value.compare(tab + 1, 4, "md5 ") != 0)
      reader.fail("an input needs a path and 'md5 CHECKSUM'");
    run.inputs.emplace_back(value.substr(0, tab), value.substr(tab + 5));
  } else if (key == "study") {
    run.study_lines.push_back(value);
  } else if (key == "background_ids") {
    run.background_ids_file = value;
  } else if (key == "genotype_file") {
    p.genotype_file = value;
  } else if (key == "marker_file") {
    p.marker_file = value;
  } else if (key == "results_file") {
    p.output_file = value;
  } else if (key == "table_file") {
    run.compressed_table = value.size() > 3 && value.compare(value.size() - 3, 3, ".gz") == 0;
  } else if (key == "table_index") {
    run.table_index = value;
  } else if (key == "individuals") {
    count(p.n_individuals);
  } else if (key == "background_loci") {
    count(p.n_loci);
  } else if (key == "markers") {
    count(p.n_markers);
  } else if (key == "permutations") {
    count(p.n_permutations);
  } else if (key == "adjustment") {
    if (value.rfind("means", 0) == 0) {
      run.adjustment = Adjustment::means;
    } else if (value.rfind("sequential", 0) == 0) {
      run.adjustment = Adjustment::sequential;
    } else {
      reader.fail("'adjustment' is neither 'means' nor 'sequential'");
    }
  } else if (key == "groups_from") {
    run.groups_from = value == "the structure test" ? std::string() : value;
  } else if (key == "covariates_from") {
    run.covariates_from = value;
  } else if (key == "covariates") {
    run.covariates = split_fields(value);
  } else if (key == "model_rank") {
    if (!scan_whole(value.substr(0, value.find(' ')), "%d%n", 1, &run.model_rank))
      reader.fail("'model_rank' does not start with a whole number");
  } else if (key.rfind("seconds_", 0) == 0) {
    run.stage_seconds.emplace_back(key.substr(8), std::atof(value.c_str()));
  } else if (key == "started") {
    run.started = value;
  } else if (key == "finished") {
    run.finished = value;
  } else if (key == "threads") {
    count(run.threads);
  } else {
    // The fit, the verdict and the groups as the log words them: a reader
    // that needs them exactly keeps them elsewhere (a shard's manifest does).
    return key == "one_group" || key == "two_groups" || key == "verdict" || key == "groups" ||
           key == "kernels";
  }
  return true;
}

LoggedRun read_run_log(const std::string& path) {
  RecordReader reader(path);
  std::string line;
  if (!reader.next_line(line) || line.rfind("strataperm ", 0) != 0)
    throw InputError(path + ": it does not start with the 'strataperm VERSION' line of a run log");
  // The first line of each key the report needs, with its line number.
  static const char* const kKeys[] = {"results_file", "individuals", "background_loci",
                                      "markers",      "permutations", "one_group",
                                      "two_groups",   "verdict"};
  std::map<std::string, std::pair<std::string, long long>> found;
  std::string adjustment;
  std::optional<std::pair<std::string, long long>> table_file;
  while (reader.next_line(line)) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos || tab == 0) reader.fail("the line is not 'KEY<TAB>VALUE'");
    const std::string key = line.substr(0, tab);
    for (const char* wanted : kKeys)
      if (key == wanted) found.emplace(key, std::make_pair(line.substr(tab + 1), reader.line_number()));
    if (key == "adjustment") adjustment = line.substr(tab + 1);
    if (key == "table_file" && !table_file)
      table_file = std::make_pair(line.substr(tab + 1), reader.line_number());
  }
  for (const char* wanted : kKeys) {
    if (found.count(wanted) == 0)
      throw InputError(path + ": it has no '" + wanted +
                       "' line; it is not the log of a finished 'strataperm run'");
  }
  const auto where = [&](const char* key) {
    return path + ", line " + std::to_string(found.at(key).second) + ": ";
  };
  LoggedRun run;
  Parameters& p = run.parameters;
  p.output_file = found.at("results_file").first;
  if (p.output_file.empty()) throw InputError(where("results_file") + "the results file name is empty");
  const std::pair<const char*, int*> counts[] = {{"individuals", &p.n_individuals},
                                                 {"background_loci", &p.n_loci},
                                                 {"markers", &p.n_markers},
                                                 {"permutations", &p.n_permutations}};
  for (const auto& [key, target] : counts) {
    long long value = 0;
    if (!parse_count_field(found.at(key).first, 1, value))
      throw InputError(where(key) + "'" + key + "' is not a whole number from 1 up");
    *target = static_cast<int>(value);
  }

  StructureFit& fit = run.fit;
  if (!scan_whole(found.at("one_group").first, "mean=%lf variance=%lf BIC=%lf%n", 3, &fit.mean,
                  &fit.variance, &fit.bic_one))
    throw InputError(where("one_group") + "'one_group' is not 'mean=M variance=V BIC=B'");
  if (!scan_whole(found.at("two_groups").first,
                  "component1 mean=%lf variance=%lf weight=%lf; component0 mean=%lf "
                  "variance=%lf weight=%lf; BIC=%lf; assignment passes=%d%n",
                  8, &fit.mean1, &fit.variance1, &fit.weight1, &fit.mean0, &fit.variance0,
                  &fit.weight0, &fit.bic_two, &fit.passes))
    throw InputError(where("two_groups") +
                     "'two_groups' is not 'component1 mean=M variance=V weight=W; component0 "
                     "mean=M variance=V weight=W; BIC=B; assignment passes=K'");
  const std::string& verdict = found.at("verdict").first;
  if (verdict != "population structure" && verdict != "no population structure")
    throw InputError(where("verdict") +
                     "'verdict' is neither 'population structure' nor 'no population structure'");
  fit.structure = verdict == "population structure";
  fit.separated = !std::isnan(fit.bic_one);
  run.emp1_counts_the_observed = adjustment.rfind("means", 0) == 0;
  const std::string plain_table = extras_path(p.output_file, ".tsv");
  run.table_file = plain_table;
  if (table_file) {
    if (table_file->first != plain_table && table_file->first != plain_table + ".gz")
      throw InputError(path + ", line " + std::to_string(table_file->second) + ": 'table_file' " +
                       table_file->first + " is neither " + plain_table + " nor " + plain_table +
                       ".gz, the tables of results file " + p.output_file);
    run.table_file = table_file->first;
  }
  return run;
}

}  // namespace strataperm
