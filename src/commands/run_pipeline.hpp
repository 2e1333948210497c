// The run's pipelines: a study folder read whole, or a study made from
// PLINK/VCF files and streamed; then the analysis and its reports, or one
// shard's files.
#pragma once

#include <string>

#include "analysis/engine.hpp"
#include "commands/run_report.hpp"
#include "study/study_choices.hpp"

namespace strataperm {

// Runs the analysis of the study folder `options.folder` with `engine` and
// returns the exit status. Throws Error for every problem (the caller
// reports it).
int run_study(const RunOptions& options, AnalysisEngine engine = run_analysis);

// The part of every run after reading: checks that the results file can be
// written, analyses, prints the console report, writes the results file and,
// with `options.extras`, RESULTS.tsv and RESULTS.log. Returns the exit status.
int analyse_and_report(StudyRun& run, MarkerSource& markers, const MarkerLabels& labels,
                       const RunOptions& options, AnalysisEngine engine);

// `run --bfile/--vcf`: the study the choices make, streamed from the files,
// its results in options.folder. Returns the exit status; throws Error.
int run_genotype_study(const StudyChoices& choices, const RunOptions& options,
                       AnalysisEngine engine);

}  // namespace strataperm
