#include "commands/plot/plot_command.hpp"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/distance_table.hpp"
#include "analysis/structure_fit.hpp"
#include "commands/options.hpp"
#include "commands/plot/plot_layout.hpp"
#include "commands/plot/report_data.hpp"
#include "core/errors.hpp"
#include "core/parallel.hpp"
#include "io/output_file.hpp"
#include "io/results_writer.hpp"
#include "io/study_reader.hpp"

namespace strataperm {

namespace {

using namespace plot;

const std::vector<OptionSpec> kPlotOptions = {
    {"--out", true, "FILE",
     "write the report to FILE (default: RESULTS.report.svg beside the results file)"},
    {"--threads", true, "N", "threads for the similarities (default: all cores)"},
    {"--help", false, "", "show this help"},
};

// The absolute name of `folder` with links resolved (the name as given when
// it cannot be had).
std::string absolute_folder(const std::string& folder) {
  char resolved[PATH_MAX];
  return ::realpath(folder.c_str(), resolved) != nullptr ? std::string(resolved) : folder;
}

// Draws the whole report of the study in `folder` and writes it to `out`
// (empty for the default beside the results file).
void plot_study(const std::string& folder, const std::string& out, int threads) {
  Parameters parameters;
  read_parameter_file(folder, parameters);

  // The P-values first: without them there is no report to make.
  const std::string results_path = path_in_study(folder, parameters.output_file);
  struct stat results_info;
  if (::stat(results_path.c_str(), &results_info) != 0 && errno == ENOENT) {
    throw InputError("no results file " + parameters.output_file + " in " + folder +
                     "; run 'strataperm run' there first");
  }
  std::vector<MarkerPValue> table;
  try {
    table = read_p_value_table(results_path, parameters.n_markers);
  } catch (const InputError& error) {
    throw InputError(std::string("cannot use the results file ") + error.what());
  }
  if (static_cast<int>(table.size()) != parameters.n_markers) {
    warn("the results file " + parameters.output_file + " lists " + std::to_string(table.size()) +
         " of the " + std::to_string(parameters.n_markers) + " markers; it may be from another run");
  }

  Histogram histogram;
  StructureFit fit;
  {
    SampleData data;
    read_study_data(folder, parameters, data);
    const DistanceTable distances = compute_distances(
        data.locus_count, parameters.n_individuals, parameters.n_loci, threads);
    data = SampleData();
    std::vector<std::uint8_t> same_group;
    fit = test_population_structure(distances, same_group);
    histogram = similarity_histogram(distances, 40);
  }

  const double floor = 1.0 / (2.0 * parameters.n_permutations);
  int zeros = 0;
  for (const MarkerPValue& entry : table) zeros += entry.p_value == 0.0 ? 1 : 0;
  const MarkerMap markers = read_marker_map(folder, parameters.n_markers);

  const std::string title = "strataperm report: " + absolute_folder(folder);
  const double page_height =
      kHeaderHeight + 2.0 * kPanelHeight + (markers.usable ? kPanelHeight : kNoteHeight) + 10.0;
  Document document(kPageWidth, page_height, title);
  document.text(kFrameLeft - 60.0, 30.0, title,
                attr("font-size", "20") + attr("font-weight", "bold"));
  document.text(kFrameLeft - 60.0, 52.0,
                format("results file %s;  N = %d individuals,  L = %d background loci,  M = %d "
                       "markers,  R = %d permutations",
                       parameters.output_file.c_str(), parameters.n_individuals,
                       parameters.n_loci, parameters.n_markers, parameters.n_permutations),
                attr("fill", "#444444"));
  double top = kHeaderHeight;
  draw_similarity_panel(document, top, histogram, fit);
  top += kPanelHeight;
  draw_qq_panel(document, top, table, parameters.n_permutations, floor, zeros);
  top += kPanelHeight;
  if (markers.usable)
    draw_manhattan_panel(document, top, markers, table, floor);
  else
    draw_note_panel(document, top, markers.note);

  const std::string target =
      out.empty() ? path_in_study(folder, extras_path(parameters.output_file, ".report.svg")) : out;
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
        "usage: strataperm plot [options] [STUDY_DIR]\n\n"
        "Writes an SVG report of the finished run of the study in STUDY_DIR (default: the\n"
        "current folder): the histogram of the pairwise similarities with the fitted\n"
        "normal and two-component mixture and both BIC values, a QQ plot of the P-values\n"
        "read from the results file, and, when the folder holds markers.tsv, a Manhattan\n"
        "plot. The similarities are computed again from the data files; the P-values are\n"
        "those of the results file, so run 'strataperm run' first.\n\n"
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
