#include "commands/plot/plot_command.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "analysis/distance_table.hpp"
#include "analysis/structure_fit.hpp"
#include "commands/options.hpp"
#include "commands/plot/plot_layout.hpp"
#include "commands/plot/report_data.hpp"
#include "io/association_table.hpp"
#include "io/run_log.hpp"
#include "io/similarity_table.hpp"
#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "io/output_file.hpp"
#include "io/results_file.hpp"
#include "io/study_reader.hpp"

namespace strataperm {

namespace {

using namespace plot;

const std::vector<OptionSpec> kPlotOptions = {
    {"--out", true, "FILE",
     "write the report to FILE (default: RESULTS.report.svg beside the results file)"},
    {"--threads", true, "N",
     "threads for the similarities when they are computed again (default: all cores)"},
    {"--help", false, "", "show this help"},
};

// The absolute name of `folder` with links resolved (the name as given when
// it cannot be had).
std::string absolute_folder(const std::string& folder) {
  char resolved[PATH_MAX];
  return ::realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) : folder;
}

bool file_exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// True when the file at `a` was last changed after the one at `b`.
bool changed_after(const std::string& a, const std::string& b) {
  struct stat first, second;
  if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0) return false;
  if (first.st_mtim.tv_sec != second.st_mtim.tv_sec)
    return first.st_mtim.tv_sec > second.st_mtim.tv_sec;
  return first.st_mtim.tv_nsec > second.st_mtim.tv_nsec;
}

// The file name of `path` without its folder.
std::string base_name(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything the report is drawn from.
struct ReportInputs {
  Parameters parameters;  // the counts and the results file name
  Histogram histogram;
  StructureFit fit;
  MarkerResults results;
  MarkerMap map;
  std::vector<std::string> sources;  // where each part came from, for the page header
  bool emp1_plus_one = false;        // the logged run's EMP1 is (c + 1)/(R + 1)
};

// The P-values of the results file `name` of the folder, in table order.
MarkerResults results_file_p_values(const std::string& folder, const std::string& name,
                                    int n_markers) {
  const std::string results_path = path_in_study(folder, name);
  struct stat results_info;
  if (::stat(results_path.c_str(), &results_info) != 0 && errno == ENOENT) {
    throw InputError("no results file " + name + " in " + folder +
                     "; run 'strataperm run' there first");
  }
  std::vector<MarkerPValue> table;
  try {
    table = read_p_value_table(results_path, n_markers);
  } catch (const InputError& error) {
    throw InputError(std::string("cannot use the results file ") + error.what());
  }
  if (static_cast<int>(table.size()) != n_markers) {
    warn("the results file " + name + " lists " + std::to_string(table.size()) + " of the " +
         std::to_string(n_markers) + " markers; it may be from another run");
  }
  MarkerResults results;
  for (const MarkerPValue& entry : table) {
    MarkerResult m;
    m.marker = entry.marker;
    m.p = entry.p_value;
    results.markers.push_back(m);
  }
  return results;
}

// The similarities of the study folder's data, computed again, and the
// structure test on them.
void recompute_similarities(const std::string& folder, const Parameters& parameters, int threads,
                            ReportInputs& inputs) {
  SampleData data;
  read_study_data(folder, parameters, data);
  const DistanceTable distances = compute_distances(
      data.locus_count, parameters.n_individuals, parameters.n_loci, threads);
  data = SampleData();
  SameGroup same_group;
  inputs.fit = test_population_structure(distances, same_group);
  inputs.histogram = similarity_histogram(distances, 40);
}

// The run's log, when the report may use it: it is there and describes the
// run whose results file lies beside it. A study folder whose parameter.txt
// no longer matches the log, or whose results file is newer (a later plain
// run), is drawn from its data files and results file instead.
std::optional<LoggedRun> usable_log(const std::string& folder, bool has_parameters,
                                    const Parameters& parameters, const std::string& log_name) {
  const std::string log_path = path_in_study(folder, log_name);
  if (!file_exists(log_path)) return std::nullopt;
  LoggedRun run = read_run_log(log_path);
  if (!has_parameters) return run;
  const Parameters& logged = run.parameters;
  if (logged.output_file != parameters.output_file ||
      logged.n_individuals != parameters.n_individuals || logged.n_loci != parameters.n_loci ||
      logged.n_markers != parameters.n_markers ||
      logged.n_permutations != parameters.n_permutations) {
    warn(log_name + " describes another run than parameter.txt; the report is drawn from the "
         "data files and " + parameters.output_file);
    return std::nullopt;
  }
  if (changed_after(path_in_study(folder, parameters.output_file), log_path)) {
    warn(parameters.output_file + " is newer than " + log_name +
         " (a later plain run?); the report is drawn from the data files and " +
         parameters.output_file);
    return std::nullopt;
  }
  return run;
}

// Gathers what the report of `folder` shows: from the tables `strataperm
// run` writes beside the results file where they are, else from the study's
// data files (the similarities computed again) and the results file.
ReportInputs gather_inputs(const std::string& folder, int threads) {
  ReportInputs inputs;
  const bool has_parameters = file_exists(path_in_study(folder, "parameter.txt"));
  Parameters parameters;
  if (has_parameters) read_parameter_file(folder, parameters);
  const std::string log_name =
      has_parameters ? extras_path(parameters.output_file, ".log") : "results.log";
  const std::optional<LoggedRun> logged = usable_log(folder, has_parameters, parameters, log_name);
  if (!has_parameters && !logged) {
    throw InputError("neither parameter.txt nor " + log_name + " in " + folder +
                     ": give a study folder or the folder of a finished 'strataperm run'");
  }
  if (logged) parameters = logged->parameters;
  if (logged) inputs.emp1_plus_one = logged->emp1_counts_the_observed;
  inputs.parameters = parameters;
  const int m = parameters.n_markers;
  // The table the log names (RESULTS.tsv.gz after run --compress), never a
  // table of another form that an earlier run left.
  const std::string table_name =
      logged ? logged->table_file : extras_path(parameters.output_file, ".tsv");
  const std::string similarity_name = extras_path(parameters.output_file, ".similarity.tsv");
  const std::string table_path = path_in_study(folder, table_name);
  const std::string similarity_path = path_in_study(folder, similarity_name);

  // The P-values first: without them there is no report to make.
  if (logged && file_exists(table_path)) {
    const std::vector<AssociationRow> rows = read_association_rows(table_path, m);
    inputs.results.from_table = true;
    for (std::size_t k = 0; k < rows.size(); ++k) {
      MarkerResult r;
      static_cast<AssociationRow&>(r) = rows[k];
      r.marker = static_cast<int>(k) + 1;
      inputs.results.markers.push_back(std::move(r));
    }
    inputs.sources.push_back("P, EMP1, EMP2: " + base_name(table_name));
  } else {
    inputs.results = results_file_p_values(folder, parameters.output_file, m);
    inputs.sources.push_back("P-values: the results file " + base_name(parameters.output_file));
  }

  if (logged && file_exists(similarity_path)) {
    inputs.histogram =
        histogram_of_similarities(read_similarity_counts(similarity_path, parameters.n_individuals), 40);
    inputs.fit = logged->fit;
    inputs.sources.push_back("similarities: " + base_name(similarity_name) + "; fits: " +
                             base_name(log_name));
  } else if (has_parameters) {
    recompute_similarities(folder, parameters, threads, inputs);
    inputs.sources.push_back("similarities and fits computed again from the data files");
  } else {
    throw InputError("no " + similarity_name + " beside " + log_name + " in " + folder +
                     ": run 'strataperm run' again to write it");
  }

  if (inputs.results.from_table) {
    inputs.map = marker_map_of(inputs.results);
    if (!inputs.map.usable && has_parameters) inputs.map = read_marker_map(folder, m);
  } else {
    inputs.map = has_parameters ? read_marker_map(folder, m) : marker_map_of(inputs.results);
    // The ids and places of markers.tsv for the table of top hits.
    for (MarkerResult& r : inputs.results.markers) {
      const std::size_t j = static_cast<std::size_t>(r.marker);
      if (j < inputs.map.ids.size()) r.id = inputs.map.ids[j];
      if (j < inputs.map.placed.size() && inputs.map.placed[j]) {
        r.chromosome = inputs.map.places[j].chromosome;
        r.position = format("%.0f", inputs.map.places[j].position);
      }
    }
  }
  return inputs;
}

// Draws the whole report of the folder and writes it to `out` (empty for
// the default beside the results file).
void plot_study(const std::string& folder, const std::string& out, int threads) {
  const ReportInputs inputs = gather_inputs(folder, threads);
  const Parameters& parameters = inputs.parameters;
  PanelContext context;
  context.n_permutations = parameters.n_permutations;
  context.emp1_plus_one = inputs.emp1_plus_one;
  if (inputs.results.from_table) context.family_wise = family_wise_line(inputs.results, 0.05);

  const std::string title = "strataperm report: " + absolute_folder(folder);
  Document document(kPageWidth, 0.0, title);
  document.text(kFrameLeft - 60.0, 30.0, title,
                attr("font-size", "20") + attr("font-weight", "bold"));
  document.text(kFrameLeft - 60.0, 52.0,
                format("results file %s;  N = %d individuals,  L = %d background loci,  M = %d "
                       "markers,  R = %d permutations",
                       parameters.output_file.c_str(), parameters.n_individuals,
                       parameters.n_loci, parameters.n_markers, parameters.n_permutations),
                attr("fill", "#444444"));
  std::string sources;
  for (const std::string& source : inputs.sources)
    sources += (sources.empty() ? "" : ";  ") + source;
  document.text(kFrameLeft - 60.0, 70.0, "drawn from: " + sources,
                attr("class", "sources") + attr("font-size", "11") + attr("fill", "#444444"));
  double top = kHeaderHeight;
  top += draw_similarity_panel(document, top, inputs.histogram, inputs.fit);
  top += draw_qq_panel(document, top, inputs.results, context);
  if (inputs.map.usable)
    top += draw_manhattan_panel(document, top, inputs.map, inputs.results, context);
  else
    top += draw_note_panel(document, top, inputs.map.note);
  top += draw_top_hits_panel(document, top, inputs.results, 10);
  document.set_height(top + 10.0);

  const std::string target =
      out.empty() ? path_in_study(folder, extras_path(parameters.output_file, ".report.svg")) : out;
  {
    // The report never replaces a file it was drawn from.
    ProtectedInputs read;
    for (const std::string& name :
         {std::string("parameter.txt"), parameters.genotype_file, parameters.marker_file,
          parameters.output_file, std::string("markers.tsv"),
          extras_path(parameters.output_file, ".log"), extras_path(parameters.output_file, ".tsv"),
          extras_path(parameters.output_file, ".tsv.gz"),
          extras_path(parameters.output_file, ".similarity.tsv")})
      if (!name.empty()) read.add(path_in_study(folder, name));
    read.check(target);
  }
  OutputFile file(target);
  const std::string text = document.finish();
  std::fwrite(text.data(), 1, text.size(), file.stream());
  file.commit();
  std::printf("strataperm: wrote %s\n", target.c_str());
}

}  // namespace

int run_plot(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args, kPlotOptions, "strataperm plot");
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm plot [options] [DIR]\n\n"
        "Writes an SVG report of a finished run. DIR (default: the current folder) is a\n"
        "study folder (parameter.txt and its files) or the --out folder of 'strataperm run\n"
        "--bfile/--vcf' (results.log, no parameter.txt). The report shows:\n"
        "  - the pairwise similarities at the background loci as a histogram on a log\n"
        "    count axis, log10(1 + pairs), with the fitted normal, the two components\n"
        "    and their mixture, both BIC values and the verdict;\n"
        "  - a QQ plot of the asymptotic P-values, with the permutation P-values (EMP1)\n"
        "    as a lighter series and the genomic inflation lambda = median(-2 ln P) /\n"
        "    (2 ln 2);\n"
        "  - a Manhattan plot (positions in Mb when all markers lie on one chromosome)\n"
        "    with the Bonferroni line 0.05/M and the genome-wide line where the\n"
        "    family-wise P-value EMP2 is 0.05;\n"
        "  - the ten markers with the smallest P: id, place, P, EMP1, EMP2 and effects;\n"
        "and says where R is too small for EMP1 or EMP2 to reach a line.\n"
        "Everything is read from RESULTS.log, RESULTS.tsv and RESULTS.similarity.tsv,\n"
        "which 'strataperm run' writes beside the results file (RESULTS.tsv.gz, the\n"
        "table the log names, after 'run --compress'); nothing is computed\n"
        "again. A study folder that only a plain run has seen lacks them: its\n"
        "similarities are then computed again from the data files, the P-values are\n"
        "the permutation P-values of the results file (no EMP2 line), and the\n"
        "Manhattan plot needs markers.tsv.\n\n"
        "options:\n%s",
        describe_options(kPlotOptions).c_str());
    return 0;
  }
  const std::string folder = study_folder_argument(parsed, "strataperm plot");
  const int threads = thread_count(threads_option(parsed));
  std::string out;
  if (parsed.has("--out")) {
    out = parsed.value("--out");
    if (out.empty()) throw UsageError("option '--out' needs a file name");
  }
  check_study_folder(folder);
  plot_study(folder, out, threads);
  return 0;
}

}  // namespace strataperm
