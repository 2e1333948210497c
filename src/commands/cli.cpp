#include "commands/cli.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/kernels.hpp"
#include "commands/import/import_command.hpp"
#include "commands/merge_command.hpp"
#include "commands/plot/plot_command.hpp"
#include "commands/run_command.hpp"
#include "core/errors.hpp"
#include "strataperm_commit.hpp"  // STRATAPERM_COMMIT, written by the build

namespace strataperm {

namespace {

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
    "  strataperm merge DIR       merge the shards of a run (run ... --shard K/S)\n"
    "  strataperm --help | --version\n"
    "\n"
    "'strataperm COMMAND --help' describes each command.\n";

int dispatch(int argc, char** argv, AnalysisEngine engine) {
  if (argc <= 1) return run_study(RunOptions{}, engine);
  const std::string command = argv[1];
  const std::vector<std::string> rest(argv + 2, argv + argc);
  if (command == "--version") {
    // The version, the commit built from ("unknown" outside a git checkout)
    // and the SIMD kernels built beside the ones this host runs.
    std::printf("strataperm %s\ncommit %s\nkernels: %s\n", STRATAPERM_VERSION, STRATAPERM_COMMIT,
                describe_kernels().c_str());
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s", kGeneralHelp);
    return 0;
  }
  if (command == "run") return run_subcommand(rest, engine);
  if (command == "import") return run_import(rest);
  if (command == "plot") return run_plot(rest);
  if (command == "merge") return run_merge(rest);
  throw UsageError("unknown command '" + command +
                   "'; the commands are run, import, merge and plot (see 'strataperm --help')");
}

// After a command that went well: whether all of its standard output got
// out. A reader that closed it early (`strataperm run | head`) cuts the console
// report, never the files: the run completes and says so.
int check_standard_output(int status) {
  errno = 0;
  const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  if (status != 0 || !failed) return status;
  std::fprintf(stderr,
               "strataperm: the console report was cut short: standard output was closed before "
               "it was complete (%s); the output files are complete\n",
               std::strerror(errno != 0 ? errno : EPIPE));
  return kCutReportStatus;
}

}  // namespace

int run_command_line(int argc, char** argv, AnalysisEngine engine) {
  // A closed standard output is an error of the writes to it, not the end of
  // the process: the run goes on and its files are written whole.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return check_standard_output(dispatch(argc, argv, engine));
  } catch (const Error& error) {
    return report_error(error);
  } catch (const std::exception& error) {
    // Memory exhaustion takes the allocation-failure report; anything else
    // that escaped a command (a file-system error, say) is one line.
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr ||
        dynamic_cast<const std::length_error*>(&error) != nullptr) {
      report_memory_exhausted();
    }
    return report_error(Error(Error::Category::output, error.what()));
  }
}

}  // namespace strataperm
