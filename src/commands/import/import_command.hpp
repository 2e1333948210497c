// `strataperm import`: writes a ready study folder from PLINK or VCF files.
#pragma once

#include <string>
#include <vector>

namespace strataperm {

// Runs the subcommand on the words after "import"; returns the exit status.
// Throws Error for every problem (UsageError for a command line that cannot
// be used).
int run_import(const std::vector<std::string>& args);

}  // namespace strataperm
