#include "driver/cli.hpp"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "driver/import.hpp"
#include "driver/options.hpp"
#include "driver/plot.hpp"
#include "driver/run.hpp"

namespace strataperm {

namespace {

constexpr int kUsageStatus = 2;

const char* const kGeneralHelp =
    "strataperm " STRATAPERM_VERSION
    ": within-group permutation test of marker-trait association\n"
    "in a sample that may mix two populations.\n"
    "\n"
    "usage:\n"
    "  strataperm                 run the study described by ./parameter.txt\n"
    "  strataperm run [STUDY_DIR] the same, in STUDY_DIR, with options\n"
    "  strataperm import ...      make a study folder from PLINK or VCF files\n"
    "  strataperm plot [STUDY_DIR] write an SVG report of a finished run\n"
    "  strataperm --help | --version\n"
    "\n"
    "'strataperm COMMAND --help' describes each command.\n";

const std::vector<OptionSpec> kRunOptions = {
    {"--threads", true, "N", "threads for the analysis (default: all cores; results do not depend on it)"},
    {"--progress", false, "", "report progress on standard error even when it is not a terminal"},
    {"--help", false, "", "show this help"},
};

int run_subcommand(const std::vector<std::string>& args) {
  const ParsedArguments parsed = parse_arguments(args, kRunOptions, "strataperm run");
  if (parsed.has("--help")) {
    std::printf(
        "usage: strataperm run [options] [STUDY_DIR]\n\n"
        "Runs the analysis of the study in STUDY_DIR (default: the current folder), which\n"
        "holds parameter.txt and the files it names. Standard output and the results file\n"
        "are those of a plain 'strataperm' run. Beside the results file it also writes\n"
        "RESULTS.log (version, times, counts, fitted models, group sizes, time per stage)\n"
        "and, when the folder holds markers.tsv (written by 'strataperm import'),\n"
        "RESULTS.named.tsv: the sorted P-values with marker ids and positions.\n\n"
        "options:\n%s",
        describe_options(kRunOptions).c_str());
    return 0;
  }
  const std::string folder = study_folder_argument(parsed, "strataperm run");
  RunSettings settings;
  settings.extras = true;
  settings.progress = parsed.has("--progress") || ::isatty(2);
  settings.threads = threads_option(parsed);
  if (!enter_study_folder(folder)) return 1;
  return run_study(run_analysis, settings);
}

}  // namespace

int run_command_line(int argc, char** argv) {
  if (argc <= 1) return run_study();
  const std::string command = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  try {
    if (command == "--version") {
      std::printf("strataperm %s\n", STRATAPERM_VERSION);
      return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
      std::printf("%s", kGeneralHelp);
      return 0;
    }
    if (command == "run") return run_subcommand(rest);
    if (command == "import") return run_import(rest);
    if (command == "plot") return run_plot(rest);
    throw UsageError("unknown command '" + command +
                     "'; the commands are run, import and plot (see 'strataperm --help')");
  } catch (const UsageError& error) {
    std::fprintf(stderr, "strataperm: %s\n", error.what());
    return kUsageStatus;
  }
}

}  // namespace strataperm
