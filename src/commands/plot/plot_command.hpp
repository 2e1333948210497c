// `strataperm plot`: an SVG report of a study's structure fit and P-values.
#pragma once

#include <string>
#include <vector>

namespace strataperm {

// Runs the subcommand on the words after "plot"; returns the exit status.
// Throws Error for every problem (UsageError for a command line that cannot
// be used).
int run_plot(const std::vector<std::string>& args);

}  // namespace strataperm
