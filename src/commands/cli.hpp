// The command line: no arguments runs the study in the current folder exactly
// as always; otherwise a subcommand (run, import, plot) or --help/--version.
// Every error of every command ends here, in one handler.
#pragma once

#include "analysis/engine.hpp"

namespace strataperm {

// Runs the command line with the given analysis engine and returns the
// process exit status.
int run_command_line(int argc, char** argv, AnalysisEngine engine = run_analysis);

}  // namespace strataperm
