// The command line: no arguments runs the study in the current folder exactly
// as always; otherwise a subcommand (run, import, plot) or --help/--version.
#pragma once

namespace strataperm {

int run_command_line(int argc, char** argv);

}  // namespace strataperm
