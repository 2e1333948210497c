// The command line: no arguments runs the study in the current folder exactly
// as always; otherwise a subcommand (run, import, plot) or --help/--version.
// Every error of every command ends here, in one handler.
#pragma once

#include "analysis/engine.hpp"

namespace strataperm {

// The exit status of a command that completed, files and all, while its
// standard output was closed before the console report was out.
inline constexpr int kCutReportStatus = 3;

// Runs the command line with the given analysis engine and returns the
// process exit status: 0 done, 1 a failure (input, output, memory), 2 a
// command line that cannot be used, 3 done but the console report cut short.
int run_command_line(int argc, char** argv, AnalysisEngine engine = run_analysis);

}  // namespace strataperm
