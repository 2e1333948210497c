// The whole batch run: read, analyse, report.
#pragma once

namespace strataperm {

// Runs the analysis of the study described by "parameter.txt" in the current
// directory and returns the process exit status.
int run_study();

}  // namespace strataperm
