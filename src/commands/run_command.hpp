// `strataperm` and `strataperm run`: read the study, analyse it, report.
//
// A study comes from a study folder (parameter.txt and the files it names) or
// straight from PLINK or VCF files (`run --bfile/--vcf ... --out DIR`), made
// by the same choices as `import` and streamed through the analysis: the
// console report and DIR/results.txt are then those of `import` with the same
// choices followed by a bare run.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "analysis/engine.hpp"
#include "commands/run_pipeline.hpp"
#include "commands/run_report.hpp"

namespace strataperm {

// The words after "run"; returns the exit status. Throws Error.
int run_subcommand(const std::vector<std::string>& args, AnalysisEngine engine = run_analysis);

}  // namespace strataperm
